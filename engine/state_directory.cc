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
// Times a pointer is tried again when its folder vanished under it: as
// long as other runs keep removing it, within reason. A pointer that cannot
// be made stops the installation, so a busy moment must not do that.
constexpr int kStateFolderAttempts = 1000;
// Times a folder's probe is tried again while it says EPERM.
constexpr int kProbeAttempts = 100;

std::string Join(const std::string& directory, const std::string& name) {
  return directory == "/" ? "/" + name : directory + "/" + name;
}

// XDG_STATE_HOME as it is set; empty when it is not set or empty (then the
// default is meant, and there is nothing to say about it).
std::string XdgValue() {
  const char* value = std::getenv("XDG_STATE_HOME");
  return value == nullptr ? std::string() : value;
}

Status NoState(const std::string& path, int error) {
  return Status::Of(Status::Kind::kNoStateDirectory, path, error);
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether this process may make names in the directory `dir`: an unnamed
// file is made and dropped, which leaves nothing behind even when the
// process is killed. A file system that cannot make one is not judged here;
// making the folders will tell.
Status ProbeWritable(SystemApi& sys, const std::string& dir) {
  int error = 0;
  // Another run that found the folder empty may remove it as it is probed
  // (the kernel then says EPERM) and make it again: the probe is tried
  // again, and a folder gone for good is a passing failure that the caller
  // retries. A folder that keeps saying EPERM means it.
  for (int attempt = 0; attempt < kProbeAttempts; ++attempt) {
    const int fd =
        sys.Open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd != -1) {
      sys.Close(fd);
      return Status::Ok();
    }
    error = errno;
    if (error == EOPNOTSUPP || error == EISDIR || error == EINVAL) {
      return Status::Ok();
    }
    struct stat status;
    if (sys.Stat(dir.c_str(), &status) != 0 && errno == ENOENT) {
      return NoState(dir, ENOENT);
    }
    if (error != EPERM) break;
  }
  return NoState(dir, error);
}

// Whether `folder` could be made and written into: the nearest level of it
// that exists (following links) must be a directory this process may write.
// `top` (the home directory; empty for none) must exist itself: it is never
// made.
Status CheckLevels(SystemApi& sys, const std::string& folder,
                   const std::string& top) {
  std::string level = folder;
  for (;;) {
    struct stat status;
    if (sys.Stat(level.c_str(), &status) == 0) {
      if (!S_ISDIR(status.st_mode)) return NoState(level, ENOTDIR);
      return ProbeWritable(sys, level);
    }
    const int error = errno;
    if (error != ENOENT && error != ENOTDIR) return NoState(level, error);
    // A link that leads nowhere cannot become a directory.
    if (error == ENOENT && sys.Lstat(level.c_str(), &status) == 0) {
      return NoState(level, ENOENT);
    }
    const std::string parent = ParentOf(level);
    if (level == top || parent.empty() || parent == level) {
      return NoState(level, error);
    }
    level = parent;
  }
}

Status XdgStateDirectory(SystemApi& sys, const std::string& value,
                         std::string* directory) {
  if (FaultOf(value) != PathFault::kNone) return NoState(value, 0);
  const std::string state =
      Join(WithoutTrailingSlashes(value), kProgramFolder);
  TQ_RETURN_IF_ERROR(CheckLevels(sys, Join(state, kJournalsFolder), ""));
  *directory = state;
  return Status::Ok();
}

Status HomeStateFor(SystemApi& sys, std::string* directory) {
  std::string home;
  TQ_RETURN_IF_ERROR(ExistingUserHome(sys, &home));
  home = WithoutTrailingSlashes(home);
  const std::string state =
      Join(home, std::string(".local/state/") + kProgramFolder);
  TQ_RETURN_IF_ERROR(CheckLevels(sys, Join(state, kJournalsFolder), home));
  *directory = state;
  return Status::Ok();
}

}  // namespace

std::string HomeStateDirectory(SystemApi& sys) {
  std::string home;
  if (!UserHomeDirectory(sys, &home).ok()) return std::string();
  return Join(WithoutTrailingSlashes(home),
              std::string(".local/state/") + kProgramFolder);
}

std::string StateDirectory(SystemApi& sys) {
  const std::string value = XdgValue();
  if (value.empty() || FaultOf(value) != PathFault::kNone) {
    return HomeStateDirectory(sys);
  }
  return Join(WithoutTrailingSlashes(value), kProgramFolder);
}

Status ChooseStateDirectory(SystemApi& sys, std::string* directory,
                            Status* passed_over) {
  directory->clear();
  if (passed_over != nullptr) *passed_over = Status::Ok();
  const std::string value = XdgValue();
  if (!value.empty()) {
    Status xdg = XdgStateDirectory(sys, value, directory);
    if (xdg.ok()) return xdg;
    if (passed_over != nullptr) *passed_over = std::move(xdg);
  }
  return HomeStateFor(sys, directory);
}

Status MakeStateFolder(SystemApi& sys, const char* folder,
                       std::string* path) {
  path->clear();
  std::string state;
  TQ_RETURN_IF_ERROR(ChooseStateDirectory(sys, &state));
  const std::string made = Join(state, folder);
  const Status status = MakeDirectories(sys, made, 0700);
  if (!status.ok()) return NoState(status.path(), status.error());
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

Status MakeJournalPointer(SystemApi& sys, const std::string& journal,
                          std::string* pointer) {
  pointer->clear();
  Status failure;
  // A run that found the folder empty may remove it between its making and
  // the link: then it is made again. (A folder removed as it is probed says
  // EPERM, one removed between another run's mkdir and our look at it
  // EEXIST: those pass too; one that means it says so every time.)
  for (int attempt = 0; attempt < kStateFolderAttempts; ++attempt) {
    std::string directory;
    failure = MakeStateFolder(sys, kJournalsFolder, &directory);
    if (!failure.ok()) {
      if ((failure.error() == ENOENT || failure.error() == EPERM ||
           failure.error() == EEXIST) &&
          !failure.path().empty()) {
        continue;
      }
      return failure;
    }
    const std::string stem =
        directory + "/" + std::to_string(sys.GetPid()) + "-";
    int error = 0;
    for (int n = 0; n < 1000; ++n) {
      const std::string candidate = stem + std::to_string(n);
      if (sys.Symlink(journal.c_str(), candidate.c_str()) == 0) {
        (void)SyncDirectory(sys, directory);
        *pointer = candidate;
        return Status::Ok();
      }
      error = errno;
      if (error != EEXIST) break;
    }
    failure = NoState(directory, error);
    if (error != ENOENT) return failure;
  }
  return failure;
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
