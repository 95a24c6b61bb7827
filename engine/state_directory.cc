#include "engine/state_directory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

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
std::string XdgStateHome() {
  const char* value = std::getenv("XDG_STATE_HOME");
  if (value == nullptr || value[0] != '/') return std::string();
  return WithoutTrailingSlashes(value);
}

std::string UsableHome() {
  const std::string home = WithoutTrailingSlashes(UserHomeDirectory());
  return !home.empty() && home[0] == '/' ? home : std::string();
}

// Makes each level of `path` that ends after its first `from` bytes, which
// name a directory that exists. False with errno when a level cannot be made
// and is no directory.
bool MakeLevels(const std::string& path, size_t from) {
  size_t end = from;
  while (end < path.size()) {
    end = path.find('/', end + 1);
    if (end == std::string::npos) end = path.size();
    const std::string level = path.substr(0, end);
    if (Sys().Mkdir(level.c_str(), 0700) == 0 || errno == EEXIST) continue;
    const int error = errno;
    struct stat status;
    if (Sys().Stat(level.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
      continue;
    }
    errno = error;
    return false;
  }
  return true;
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

std::string MakeStateFolder(const char* folder) {
  std::string path;
  size_t existing = 0;  // bytes of `path` that name a directory that exists
  const std::string xdg = XdgStateHome();
  if (!xdg.empty()) {
    path = Join(xdg, kProgramFolder);
    struct stat status;
    if (Sys().Stat(xdg.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
      existing = xdg == "/" ? 0 : xdg.size();
    }
  } else {
    const std::string home = UsableHome();
    if (home.empty()) {
      errno = 0;
      return std::string();
    }
    path = HomeStateDirectory();
    existing = home == "/" ? 0 : home.size();
  }
  path += "/";
  path += folder;
  return MakeLevels(path, existing) ? path : std::string();
}

void RemoveEmptyStateFolder(const std::string& state, const char* folder) {
  const std::string parent = ParentOf(state);
  const std::string name = state.substr(state.rfind('/') + 1);
  if (state.empty() || state[0] != '/' || parent.empty() || name.empty()) {
    return;
  }
  // The levels up to the parent are the user's to lay out (XDG_STATE_HOME
  // may well be a link); from the state directory on, nothing is followed.
  const int parent_fd =
      Sys().Open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (parent_fd == -1) return;
  const int state_fd =
      Sys().OpenAt(parent_fd, name.c_str(),
                   O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0);
  struct stat opened;
  if (state_fd != -1 && Sys().Fstat(state_fd, &opened) == 0 &&
      opened.st_uid == geteuid()) {
    struct stat inner;
    bool gone = false;
    if (Sys().FstatAt(state_fd, folder, &inner, AT_SYMLINK_NOFOLLOW) == 0) {
      // rmdir refuses a folder that is not empty, and a link put in its
      // place meanwhile (ENOTDIR).
      gone = S_ISDIR(inner.st_mode) && inner.st_uid == geteuid() &&
             Sys().UnlinkAt(state_fd, folder, AT_REMOVEDIR) == 0;
    } else {
      // A run killed between the two removals left the state directory.
      gone = errno == ENOENT;
    }
    struct stat named;
    if (gone &&
        Sys().FstatAt(parent_fd, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) ==
            0 &&
        SameFile(named, opened)) {
      Sys().UnlinkAt(parent_fd, name.c_str(), AT_REMOVEDIR);
    }
  }
  if (state_fd != -1) Sys().Close(state_fd);
  Sys().Close(parent_fd);
}
