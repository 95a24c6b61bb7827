#include "platform/rebooted_system.h"

#include <cstdio>
#include <cstring>

RebootedSystem::RebootedSystem(ShownIdentities shown)
    : shown_(std::move(shown)), boot_id_(dir_.Path("boot_id")) {
  // Any id but the running kernel's: this one is never a real one's.
  WriteFile(boot_id_, "00000000-0000-4000-8000-0000b007a9a1\n");
}

int RebootedSystem::Open(const char* path, int flags, mode_t mode) {
  if (std::strcmp(path, kBootIdPath) == 0) {
    return base().Open(boot_id_.c_str(), flags, mode);
  }
  return base().Open(path, flags, mode);
}

int RebootedSystem::Shown(int result, struct stat* status) const {
  if (result != 0) return result;
  const auto found = shown_.find(
      {static_cast<uint64_t>(status->st_dev), static_cast<uint64_t>(status->st_ino)});
  if (found == shown_.end()) return result;
  const ShownIdentity& shown = found->second;
  if (status->st_ctim.tv_sec == shown.rebuilt_ctime.tv_sec &&
      status->st_ctim.tv_nsec == shown.rebuilt_ctime.tv_nsec) {
    status->st_ino = static_cast<ino_t>(shown.ino);
    status->st_ctim = shown.ctime;
  }
  return result;
}

int RebootedSystem::Stat(const char* path, struct stat* status) {
  return Shown(base().Stat(path, status), status);
}

int RebootedSystem::Lstat(const char* path, struct stat* status) {
  return Shown(base().Lstat(path, status), status);
}

int RebootedSystem::Fstat(int fd, struct stat* status) {
  return Shown(base().Fstat(fd, status), status);
}

int RebootedSystem::FstatAt(int dirfd, const char* path, struct stat* status,
                            int flags) {
  return Shown(base().FstatAt(dirfd, path, status, flags), status);
}
