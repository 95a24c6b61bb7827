#include "engine/state_directory.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <set>
#include <string>

#include "engine/engine_test_util.h"
#include "engine/recovery.h"
#include "engine/target_lock.h"
#include "platform/fault_injection.h"
#include "platform/scoped_temp_dir.h"
#include "platform/system_api.h"

namespace {

using namespace engine_test;

class StateDirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, mkdir(dir_.Path("home").c_str(), 0700));
    home_ = std::make_unique<ScopedHome>(dir_.Path("home"));
  }

  // XDG_STATE_HOME for the rest of the test; null removes it.
  void SetStateHome(const char* value) {
    state_home_.reset();
    state_home_ = std::make_unique<ScopedEnv>("XDG_STATE_HOME", value);
  }

  mode_t Mode(const std::string& path) {
    struct stat status;
    return lstat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
  }

  // The paths below the test's directory, "/"-separated and relative.
  std::set<std::string> Paths() {
    std::set<std::string> paths;
    for (const auto& [path, node] : Snapshot(dir_.path())) paths.insert(path);
    return paths;
  }

  ScopedTempDir dir_;
  std::unique_ptr<ScopedHome> home_;
  std::unique_ptr<ScopedEnv> state_home_;
};

TEST_F(StateDirectoryTest, FollowsXdgStateHomeWhenItIsAbsolute) {
  const struct {
    const char* home;
    const char* state_home;  // null: not set
    const char* state;
    const char* home_state;
  } cases[] = {
      {"/h", nullptr, "/h/.local/state/tqsetup", "/h/.local/state/tqsetup"},
      {"/h//", nullptr, "/h/.local/state/tqsetup", "/h/.local/state/tqsetup"},
      {"/", nullptr, "/.local/state/tqsetup", "/.local/state/tqsetup"},
      {"/h", "/x/state", "/x/state/tqsetup", "/h/.local/state/tqsetup"},
      {"/h", "/x/state//", "/x/state/tqsetup", "/h/.local/state/tqsetup"},
      {"/h", "/", "/tqsetup", "/h/.local/state/tqsetup"},
      // Empty or relative: as if it were not set.
      {"/h", "", "/h/.local/state/tqsetup", "/h/.local/state/tqsetup"},
      {"/h", "x/state", "/h/.local/state/tqsetup", "/h/.local/state/tqsetup"},
      {"/h", "./x", "/h/.local/state/tqsetup", "/h/.local/state/tqsetup"},
      // A home that is no absolute path is no place for state.
      {"h", nullptr, "", ""},
      {"h", "/x", "/x/tqsetup", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.home) + " " +
                 (c.state_home ? c.state_home : "(unset)"));
    ScopedHome home(c.home);
    ScopedEnv state_home("XDG_STATE_HOME", c.state_home);
    EXPECT_EQ(c.state, StateDirectory(RealSystem()));
    EXPECT_EQ(c.home_state, HomeStateDirectory(RealSystem()));
  }
}

// MakeStateFolder's path, with errno set to its failure's reason and
// *no_state set when it failed for want of a home directory.
std::string MakeFolder(const char* folder, bool* no_state = nullptr) {
  std::string path;
  const Status made = MakeStateFolder(RealSystem(), folder, &path);
  errno = made.error();
  if (no_state != nullptr) {
    *no_state = made.kind() == Status::Kind::kUnusableHome;
  }
  return path;
}

TEST_F(StateDirectoryTest, MakesTheMissingLevelsPrivate) {
  // Under XDG_STATE_HOME, which is made too when missing.
  SetStateHome(dir_.Path("xdg/state").c_str());
  EXPECT_EQ(dir_.Path("xdg/state/tqsetup/journals"),
            MakeFolder(kJournalsFolder));
  for (const char* level : {"xdg", "xdg/state", "xdg/state/tqsetup",
                            "xdg/state/tqsetup/journals"}) {
    EXPECT_EQ(0700u, Mode(dir_.Path(level))) << level;
  }
  // A level that exists keeps its mode.
  ASSERT_EQ(0, mkdir(dir_.Path("shared").c_str(), 0755));
  ASSERT_EQ(0, chmod(dir_.Path("shared").c_str(), 0755));
  SetStateHome(dir_.Path("shared").c_str());
  EXPECT_EQ(dir_.Path("shared/tqsetup/locks"), MakeFolder(kLocksFolder));
  EXPECT_EQ(0755u, Mode(dir_.Path("shared")));
  EXPECT_EQ(0700u, Mode(dir_.Path("shared/tqsetup/locks")));
  // A second call finds everything made.
  EXPECT_EQ(dir_.Path("shared/tqsetup/locks"), MakeFolder(kLocksFolder));

  // Under the home directory, which is never made.
  SetStateHome(nullptr);
  EXPECT_EQ(dir_.Path("home/.local/state/tqsetup/journals"),
            MakeFolder(kJournalsFolder));
  EXPECT_EQ(0700u, Mode(dir_.Path("home/.local")));
  EXPECT_EQ(0700u, Mode(dir_.Path("home/.local/state/tqsetup/journals")));
  {
    ScopedHome missing(dir_.Path("gone"));
    errno = 0;
    EXPECT_EQ("", MakeFolder(kJournalsFolder));
    EXPECT_EQ(ENOENT, errno);
    EXPECT_FALSE(std::filesystem::exists(dir_.Path("gone")));
  }
  {
    ScopedHome relative("relative");
    bool no_state = false;
    EXPECT_EQ("", MakeFolder(kJournalsFolder, &no_state));
    EXPECT_TRUE(no_state);
  }
  // A file where a level should be: the home's state directory instead,
  // and none at all when a file stands there too.
  ASSERT_TRUE(WriteFile(dir_.Path("file"), "x"));
  SetStateHome(dir_.Path("file").c_str());
  EXPECT_EQ(dir_.Path("home/.local/state/tqsetup/journals"),
            MakeFolder(kJournalsFolder));
  EXPECT_EQ("x", ReadFile(dir_.Path("file")));
  std::filesystem::remove_all(dir_.Path("home/.local"));
  ASSERT_TRUE(WriteFile(dir_.Path("home/.local"), "y"));
  EXPECT_EQ("", MakeFolder(kJournalsFolder));
  EXPECT_EQ(ENOTDIR, errno);
  EXPECT_EQ("y", ReadFile(dir_.Path("home/.local")));
}

// What goes and what stays of a state directory "s/tqsetup" when its
// journals folder is to go.
TEST_F(StateDirectoryTest, RemovesOnlyEmptyFoldersOfItsOwnAndNoLinks) {
  const std::string state = dir_.Path("s/tqsetup");
  const struct {
    const char* name;
    std::function<void()> make;
    std::set<std::string> left;
  } cases[] = {
      {"an empty folder",
       [&] { std::filesystem::create_directories(state + "/journals"); },
       {"s"}},
      {"a folder with a pointer",
       [&] {
         std::filesystem::create_directories(state + "/journals");
         ASSERT_EQ(0, symlink("/nowhere", (state + "/journals/1-0").c_str()));
       },
       {"s", "s/tqsetup", "s/tqsetup/journals", "s/tqsetup/journals/1-0"}},
      {"an empty folder beside the locks",
       [&] {
         std::filesystem::create_directories(state + "/journals");
         std::filesystem::create_directories(state + "/locks");
       },
       {"s", "s/tqsetup", "s/tqsetup/locks"}},
      {"a state directory whose folder is already gone",
       [&] { std::filesystem::create_directories(state); },
       {"s"}},
      {"a state directory that holds a file",
       [&] {
         std::filesystem::create_directories(state + "/journals");
         ASSERT_TRUE(WriteFile(state + "/notes", "mine"));
       },
       {"s", "s/tqsetup", "s/tqsetup/notes"}},
      {"a state directory that is a link",
       [&] {
         std::filesystem::create_directories(dir_.Path("real/journals"));
         std::filesystem::create_directories(dir_.Path("s"));
         ASSERT_EQ(0, symlink(dir_.Path("real").c_str(), state.c_str()));
       },
       {"s", "s/tqsetup", "real", "real/journals"}},
      {"a folder that is a link",
       [&] {
         std::filesystem::create_directories(dir_.Path("real"));
         std::filesystem::create_directories(state);
         ASSERT_EQ(0, symlink(dir_.Path("real").c_str(),
                              (state + "/journals").c_str()));
       },
       {"s", "s/tqsetup", "s/tqsetup/journals", "real"}},
      {"a folder that is a file",
       [&] {
         std::filesystem::create_directories(state);
         ASSERT_TRUE(WriteFile(state + "/journals", ""));
       },
       {"s", "s/tqsetup", "s/tqsetup/journals"}},
      {"nothing at all", [&] {}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (const char* top : {"s", "real"}) {
      std::filesystem::remove_all(dir_.Path(top));
    }
    c.make();
    RemoveEmptyStateFolder(RealSystem(), state, kJournalsFolder);
    std::set<std::string> left = Paths();
    left.erase("home");
    EXPECT_EQ(c.left, left);
  }
}

// Folders of another user stay, empty or not. Needs the right to give a
// directory away.
TEST_F(StateDirectoryTest, FoldersOfAnotherUserStay) {
  const std::string state = dir_.Path("s/tqsetup");
  for (const char* given : {"s/tqsetup/journals", "s/tqsetup"}) {
    SCOPED_TRACE(given);
    std::filesystem::remove_all(dir_.Path("s"));
    std::filesystem::create_directories(state + "/journals");
    if (chown(dir_.Path(given).c_str(), geteuid() + 1, getegid()) != 0) {
      GTEST_SKIP() << "cannot give a directory to another user";
    }
    RemoveEmptyStateFolder(RealSystem(), state, kJournalsFolder);
    EXPECT_TRUE(std::filesystem::exists(state + "/journals"));
  }
}

// Where the template directory cannot be locked, the lock file stands in
// the state directory's locks folder while the lock is held, and goes with
// it.
TEST_F(StateDirectoryTest, TheFallbackLockFileLivesInTheStateDirectory) {
  SetStateHome(dir_.Path("xdg").c_str());
  ASSERT_EQ(0, mkdir(dir_.Path("target").c_str(), 0700));
  FaultInjectingSystem system;
  // Opened through the seam, which then knows the descriptor's path.
  const int target_fd = system.Open(dir_.Path("target").c_str(),
                                   O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  ASSERT_LE(0, target_fd);
  // A file system that will not lock the directory itself.
  system.FailPath(dir_.Path("target"), ENOLCK, Ops(SysOp::kFlock));
  {
    TargetLock lock(system);
    bool waited = true;
    ASSERT_EQ(kSuccess,
              lock.Acquire(target_fd, nullptr, nullptr, &waited).code());
    EXPECT_TRUE(lock.held());
    EXPECT_FALSE(waited);
    EXPECT_EQ(1u, NamesIn(dir_.Path("xdg/tqsetup/locks")).size());
    EXPECT_FALSE(std::filesystem::exists(dir_.Path("home/.local")));
  }
  EXPECT_EQ(std::vector<std::string>{},
            NamesIn(dir_.Path("xdg/tqsetup/locks")));
  system.Close(target_fd);
}

}  // namespace
