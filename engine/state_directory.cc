#include "engine/state_directory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/file_operations.h"
#include "platform/home_directory.h"
#include "platform/narrow_path.h"
#include "platform/system_api.h"

namespace {

constexpr char kProgramFolder[] = "tqsetup";

std::string Join(const std::string& directory, const std::string& name) {
  return directory == "/" ? "/" + name : directory + "/" + name;
}

// XDG_STATE_HOME without trailing slashes, or empty when it is not an
// absolute path: a relative one is to be ignored.
// Times a pointer is tried again when its folder vanished under it.
constexpr int kStateFolderAttempts = 10;

std::string XdgStateHome() {
  const char* value = std::getenv("XDG_STATE_HOME");
  if (value == nullptr || value[0] != '/') return std::string();
  return WithoutTrailingSlashes(value);
}

std::string UsableHome() {
  const std::string home = WithoutTrailingSlashes(UserHomeDirectory());
  return !home.empty() && home[0] == '/' ? home : std::string();
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

std::string HomeStateDirectory() {
  const std::string home = UsableHome();
  if (home.empty()) return std::string();
  return Join(home, std::string(".local/state/") + kProgramFolder);
}

std::string StateDirectory() {
  const std::string xdg = XdgStateHome();
  return xdg.empty() ? HomeStateDirectory() : Join(xdg, kProgramFolder);
}

Status MakeStateFolder(SystemApi& sys, const char* folder,
                       std::string* path) {
  path->clear();
  std::string made;
  const std::string xdg = XdgStateHome();
  if (!xdg.empty()) {
    made = Join(xdg, kProgramFolder);
  } else {
    const std::string home = UsableHome();
    if (home.empty()) return Status::System(ENOENT);
    // The home directory is the user's to make, never ours.
    struct stat status;
    if (sys.Stat(home.c_str(), &status) != 0) {
      return Status::System(errno, home);
    }
    if (!S_ISDIR(status.st_mode)) return Status::System(ENOTDIR, home);
    made = HomeStateDirectory();
  }
  made += "/";
  made += folder;
  TQ_RETURN_IF_ERROR(MakeDirectories(sys, made, 0700));
  *path = made;
  return Status::Ok();
}

void RemoveEmptyStateFolder(SystemApi& sys, const std::string& state,
                            const char* folder) {
  const std::string parent = ParentOf(state);
  const std::string name = state.substr(state.rfind('/') + 1);
  if (state.empty() || state[0] != '/' || parent.empty() || name.empty()) {
    return;
  }
  // The levels up to the parent are the user's to lay out (XDG_STATE_HOME
  // may well be a link); from the state directory on, nothing is followed.
  const int parent_fd =
      sys.Open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (parent_fd == -1) return;
  const int state_fd =
      sys.OpenAt(parent_fd, name.c_str(),
                   O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0);
  struct stat opened;
  if (state_fd != -1 && sys.Fstat(state_fd, &opened) == 0 &&
      opened.st_uid == sys.GetEuid()) {
    struct stat inner;
    bool gone = false;
    if (sys.FstatAt(state_fd, folder, &inner, AT_SYMLINK_NOFOLLOW) == 0) {
      // rmdir refuses a folder that is not empty, and a link put in its
      // place meanwhile (ENOTDIR).
      gone = S_ISDIR(inner.st_mode) && inner.st_uid == sys.GetEuid() &&
             sys.UnlinkAt(state_fd, folder, AT_REMOVEDIR) == 0;
    } else {
      // A run killed between the two removals left the state directory.
      gone = errno == ENOENT;
    }
    struct stat named;
    if (gone &&
        sys.FstatAt(parent_fd, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) ==
            0 &&
        SameFile(named, opened)) {
      sys.UnlinkAt(parent_fd, name.c_str(), AT_REMOVEDIR);
    }
  }
  if (state_fd != -1) sys.Close(state_fd);
  sys.Close(parent_fd);
}

std::string MakeJournalPointer(SystemApi& sys, const std::string& journal) {
  // A run that found the folder empty may remove it between its making and
  // the link: then it is made again.
  for (int attempt = 0; attempt < kStateFolderAttempts; ++attempt) {
    std::string directory;
    const Status made = MakeStateFolder(sys, kJournalsFolder, &directory);
    if (!made.ok()) {
      if (made.error() == ENOENT && !made.path().empty()) continue;
      return std::string();
    }
    const std::string stem =
        directory + "/" + std::to_string(sys.GetPid()) + "-";
    int error = 0;
    for (int n = 0; n < 1000; ++n) {
      const std::string pointer = stem + std::to_string(n);
      if (sys.Symlink(journal.c_str(), pointer.c_str()) == 0) {
        (void)SyncDirectory(sys, directory);
        return pointer;
      }
      error = errno;
      if (error != EEXIST) break;
    }
    if (error != ENOENT) return std::string();
  }
  return std::string();
}

void RemoveJournalPointer(SystemApi& sys, const std::string& pointer) {
  // One more try after a passing failure; a pointer left over anyway names
  // a journal that is gone, and the next recovery removes it.
  if (sys.Unlink(pointer.c_str()) != 0 && errno != ENOENT) {
    if (sys.Unlink(pointer.c_str()) != 0 && errno != ENOENT) return;
  }
  const std::string folder = ParentOf(pointer);
  RemoveEmptyStateFolder(sys, ParentOf(folder), kJournalsFolder);
}
