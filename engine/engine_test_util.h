// Helpers shared by the engine's tests: a TMPDIR for the scope, a snapshot
// of a directory tree (kinds, bytes, modes, times, link texts) to compare
// before and after a job, small kits built in code, and a channel observer
// that records every post. All of them use the real system, never the
// SystemApi seam, so that injected faults cannot disturb them.
#ifndef ENGINE_ENGINE_TEST_UTIL_H_
#define ENGINE_ENGINE_TEST_UTIL_H_

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "engine/install_session.h"
#include "kit/kit_writer.h"
#include "l10n/string_table.h"
#include "platform/scoped_temp_dir.h"
#include "text/text_conversion.h"

namespace engine_test {

// 2021-01-01 00:00:00 UTC in whole seconds.
constexpr int64_t kBaseSeconds = 1609459200;

// Sets the environment variable `name` to `value` for the scope (before
// any thread that reads it starts), or removes it when `value` is null, and
// puts back what was there.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value)
      : ScopedEnv(name, value.c_str()) {}
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = getenv(name)) {
      old_ = old;
      had_ = true;
    }
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (had_) {
      setenv(name_.c_str(), old_.c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::string old_;
  bool had_ = false;
};

// TMPDIR for the scope.
class ScopedTmpdir : public ScopedEnv {
 public:
  explicit ScopedTmpdir(const std::string& dir) : ScopedEnv("TMPDIR", dir) {}
};

// HOME for the scope, and no XDG_STATE_HOME, so that the journal pointers
// an installation leaves in the state directory under the home directory
// stay inside the test's own directory.
class ScopedHome : public ScopedEnv {
 public:
  explicit ScopedHome(const std::string& dir)
      : ScopedEnv("HOME", dir), no_state_home_("XDG_STATE_HOME", nullptr) {}

 private:
  ScopedEnv no_state_home_;
};

// A fixture with its own directory: TMPDIR set to its "tmp" and HOME to its
// "home" (a job keeps its journal pointer in the state directory there while it
// runs); texts in English. Fixtures that add to SetUp call it first.
class TmpdirFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    StringTable::SetCurrentLanguage(kLanguageEnglish);
    temp_ = dir_.Path("tmp");
    ASSERT_EQ(0, mkdir(temp_.c_str(), 0700));
    tmpdir_ = std::make_unique<ScopedTmpdir>(temp_);
    const std::string home = dir_.Path("home");
    ASSERT_EQ(0, mkdir(home.c_str(), 0700));
    home_dir_ = std::make_unique<ScopedHome>(home);
  }

  ScopedTempDir dir_;
  std::string temp_;
  std::unique_ptr<ScopedTmpdir> tmpdir_;
  std::unique_ptr<ScopedHome> home_dir_;
};

// The names in `dir` (empty when it cannot be listed), sorted.
inline std::vector<std::string> NamesIn(const std::string& dir) {
  std::vector<std::string> names;
  ListDirectory(dir, &names);
  return names;
}

// One entry of a tree: kind ('f' file, 'd' directory, 'l' link, 'p' other),
// bytes of a file, text of a link, mode bits, modification time and inode.
struct Node {
  char kind;
  std::string content;
  mode_t mode;
  int64_t mtime_sec;
  long mtime_nsec;
  ino_t inode;

  // Equal as the user sees it: the inode may change when a file crossed
  // file systems, and a directory's time changes whenever a name in it
  // comes and goes, which a rollback does not undo.
  bool operator==(const Node& other) const {
    if (kind != other.kind || mode != other.mode) return false;
    if (kind == 'd') return true;
    return content == other.content && mtime_sec == other.mtime_sec &&
           (kind == 'l' || mtime_nsec == other.mtime_nsec);
  }
};
using Tree = std::map<std::string, Node>;

inline void SnapshotInto(const std::string& root, const std::string& relative,
                         Tree* tree) {
  const std::string dir = relative.empty() ? root : root + "/" + relative;
  std::vector<std::string> names;
  if (!ListDirectory(dir, &names)) return;
  for (const std::string& name : names) {
    const std::string rel = relative.empty() ? name : relative + "/" + name;
    const std::string path = root + "/" + rel;
    struct stat status;
    if (lstat(path.c_str(), &status) != 0) continue;
    Node node{'p',
              "",
              status.st_mode & 07777,
              status.st_mtim.tv_sec,
              status.st_mtim.tv_nsec,
              status.st_ino};
    if (S_ISREG(status.st_mode)) {
      node.kind = 'f';
      node.content = ReadFile(path);
    } else if (S_ISDIR(status.st_mode)) {
      node.kind = 'd';
    } else if (S_ISLNK(status.st_mode)) {
      node.kind = 'l';
      char text[4096];
      const ssize_t length = readlink(path.c_str(), text, sizeof(text));
      node.content.assign(text, length > 0 ? static_cast<size_t>(length) : 0);
    }
    (*tree)[rel] = node;
    if (node.kind == 'd') SnapshotInto(root, rel, tree);
  }
}

// Everything below `root` (not following links); empty when it is missing.
inline Tree Snapshot(const std::string& root) {
  Tree tree;
  SnapshotInto(root, "", &tree);
  return tree;
}

// A readable account of how two trees differ, empty when they are equal.
inline std::string Difference(const Tree& expected, const Tree& actual) {
  std::string report;
  for (const auto& [path, node] : expected) {
    auto it = actual.find(path);
    if (it == actual.end()) {
      report += "missing: " + path + "\n";
    } else if (!(it->second == node)) {
      report += "changed: " + path + "\n";
    }
  }
  for (const auto& [path, node] : actual) {
    if (expected.count(path) == 0) report += "extra: " + path + "\n";
  }
  return report;
}

// Where installations keep their backup directories when the state
// directory below `home` shares the template directory's file system.
inline std::string StateBackups(const std::string& home) {
  return home + "/.local/state/tqsetup/backups";
}

// Names in `dir` that start with "ktstp".
inline std::vector<std::string> BackupDirectories(const std::string& dir) {
  std::vector<std::string> found;
  for (const std::string& name : NamesIn(dir)) {
    if (name.compare(0, 5, "ktstp") == 0) found.push_back(name);
  }
  return found;
}

inline bool SetTime(const std::string& path, int64_t seconds) {
  const struct timespec times[2] = {{static_cast<time_t>(seconds), 0},
                                    {static_cast<time_t>(seconds), 0}};
  return utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

// Writes `bytes` to `path` (making its parents) with `mode` and the time
// `seconds`. Fails the test when it cannot.
inline void MakeFile(const std::string& path, const std::string& bytes,
                     int64_t seconds, mode_t mode = 0640) {
  std::filesystem::create_directories(
      std::filesystem::path(path).parent_path());
  ASSERT_TRUE(WriteFile(path, bytes)) << path;
  ASSERT_EQ(0, chmod(path.c_str(), mode));
  ASSERT_TRUE(SetTime(path, seconds));
}

// The user's template directory the kill tests start from: a file the kits
// replace, one they find up to date, an older one in a nested directory and
// one no kit knows.
inline void MakeUserTemplates(const std::string& target) {
  std::filesystem::remove_all(target);
  MakeFile(target + "/a.cfg", "the user's a", kBaseSeconds - 100, 0640);
  MakeFile(target + "/keep.cfg", "keep", kBaseSeconds + 100, 0644);
  MakeFile(target + "/sub/deep/older.txt", "older", kBaseSeconds - 1, 0600);
  MakeFile(target + "/sub/user-only.txt", "mine", kBaseSeconds, 0604);
}

// `size` pseudo-random bytes, the same for the same seed.
inline std::string RandomBytes(size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(generator());
  return bytes;
}

// A file of a kit: the name with "/" (stored with "\\"), bytes and time.
struct KitFile {
  std::string name;
  std::string data;
  int64_t seconds = kBaseSeconds;
};

inline KitSpec SpecOf(const std::vector<KitFile>& files) {
  KitSpec spec;
  spec.languages.push_back({u"en", u"Templates", u"Maker", u""});
  for (const KitFile& file : files) {
    std::string name = file.name;
    for (char& c : name) {
      if (c == '/') c = '\\';
    }
    KitFileSpec entry;
    entry.name = ToWide(NarrowString(name.c_str()));
    entry.data = file.data;
    entry.last_write = FileTimeFromUnixSeconds(file.seconds);
    spec.files.push_back(entry);
  }
  return spec;
}

// Writes the kit of `files` to `path`; false when it cannot.
inline bool WriteKitFile(const std::string& path,
                         const std::vector<KitFile>& files) {
  return WriteFile(path, DeflateRaw(BuildContainer(SpecOf(files))));
}

// Records every post; `on_post` (optional) runs after the recording, on the
// posting thread.
class PostRecorder : public SessionObserver {
 public:
  void OnPost(const ChannelState& state) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      posts_.push_back(state);
    }
    if (on_post) on_post(state);
  }
  std::vector<ChannelState> posts() {
    std::lock_guard<std::mutex> lock(mutex_);
    return posts_;
  }
  std::function<void(const ChannelState&)> on_post;

 private:
  std::mutex mutex_;
  std::vector<ChannelState> posts_;
};

inline std::string Narrow(const WideString& text) {
  return ToNarrow(text).c_str();
}

// The version the top CMakeLists.txt under `source_dir` gives the project,
// read from the text, so that a version line built from anything else
// shows.
inline std::string ProjectVersion(const std::string& source_dir) {
  const std::string lists = ReadFile(source_dir + "/CMakeLists.txt");
  const std::string marker = "project(tqsetup VERSION ";
  const size_t start = lists.find(marker);
  if (start == std::string::npos) return "<none in CMakeLists.txt>";
  const size_t begin = start + marker.size();
  return lists.substr(begin, lists.find_first_of(" )", begin) - begin);
}

}  // namespace engine_test

#endif  // ENGINE_ENGINE_TEST_UTIL_H_
