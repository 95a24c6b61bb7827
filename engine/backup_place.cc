#include "engine/backup_place.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "engine/state_directory.h"
#include "platform/file_operations.h"
#include "platform/narrow_path.h"
#include "platform/system_api.h"

namespace {

std::string WithSlash(std::string path) {
  if (path.empty() || path.back() != '/') path.push_back('/');
  return path;
}

// Whether `path` is a private directory of this user's, not a link, on the
// file system `device`.
bool OursOn(SystemApi& sys, const std::string& path, dev_t device) {
  struct stat status;
  return sys.Lstat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode) &&
         status.st_uid == sys.GetEuid() && (status.st_mode & 077) == 0 &&
         status.st_dev == device;
}

std::string Absolute(SystemApi& sys, const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  char cwd[4096];
  if (sys.Getcwd(cwd, sizeof(cwd)) == nullptr) return path;
  return std::string(cwd) + "/" + path;
}

}  // namespace

std::string BackupBase(SystemApi& sys, const std::string& target,
                       int* error) {
  // The template directory's file system, or, before it is made, that of
  // its nearest existing level: it will be made there.
  const std::string level = NearestExisting(sys, target);
  struct stat held;
  if (!level.empty() && sys.Stat(level.c_str(), &held) == 0) {
    const std::string state = StateDirectory(sys);
    const std::string existed =
        NearestExisting(sys, state + "/" + kBackupsFolder);
    std::string folder;
    if (!state.empty() && MakeStateFolder(sys, kBackupsFolder, &folder).ok() &&
        OursOn(sys, folder, held.st_dev)) {
      SyncMadeLevels(sys, folder, existed);
      return WithSlash(folder);
    }
    // The state folder made for nothing goes again.
    if (!folder.empty()) {
      RemoveEmptyStateFolder(sys, ParentOf(folder), kBackupsFolder);
    }
    const std::string parent = ParentOf(WithoutTrailingSlashes(target));
    if (!parent.empty() && parent != "/") {
      const std::string beside = parent + "/" + kBesideFolder;
      if (sys.Mkdir(beside.c_str(), 0700) == 0) {
        // Lasting before anything is moved into it.
        (void)SyncDirectory(sys, parent);
      }
      if (OursOn(sys, beside, held.st_dev)) return WithSlash(beside);
    }
  }
  const std::string temp = GetTempDirectory(sys);
  const Status made = MakeDirectories(sys, temp);
  if (!made.ok()) {
    *error = made.error();
    return std::string();
  }
  return WithSlash(Absolute(sys, temp));
}

std::string NearestExisting(SystemApi& sys, const std::string& path) {
  std::string level = WithoutTrailingSlashes(path);
  struct stat status;
  while (!level.empty() && sys.Stat(level.c_str(), &status) != 0 &&
         errno == ENOENT) {
    level = ParentOf(level);
  }
  return level;
}

void SyncMadeLevels(SystemApi& sys, const std::string& path,
                    const std::string& existed) {
  std::string level = WithoutTrailingSlashes(path);
  for (;;) {
    (void)SyncDirectory(sys, level);
    if (level.size() <= existed.size() || level.size() <= 1) return;
    level = ParentOf(level);
  }
}

void RemoveEmptyBackupBase(SystemApi& sys, const std::string& backup) {
  const std::string base = ParentOf(WithoutTrailingSlashes(backup));
  const size_t slash = base.rfind('/');
  const std::string name =
      slash == std::string::npos ? base : base.substr(slash + 1);
  if (name == kBackupsFolder) {
    RemoveEmptyStateFolder(sys, ParentOf(base), kBackupsFolder);
  } else if (name == kBesideFolder) {
    // rmdir leaves one that is not empty: another installation's.
    (void)sys.Rmdir(base.c_str());
  }
}
