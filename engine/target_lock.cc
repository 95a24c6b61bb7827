#include "engine/target_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "engine/state_directory.h"
#include "platform/system_api.h"

namespace {

// How often a waiting installation looks again (and for a cancel).
constexpr useconds_t kRetryMicroseconds = 50 * 1000;

}  // namespace

int TargetLock::Wait(int fd, const std::function<bool()>& cancelled,
                     const std::function<void()>& on_wait, bool* waited) {
  for (;;) {
    if (Sys().Flock(fd, LOCK_EX | LOCK_NB) == 0) return 0;
    if (errno != EWOULDBLOCK) return -1;
    if (!*waited) {
      *waited = true;
      if (on_wait) on_wait();
    }
    if (cancelled && cancelled()) return static_cast<int>(kErrorCancelled);
    usleep(kRetryMicroseconds);
  }
}

ErrorCode TargetLock::Acquire(int directory_fd,
                              const std::function<bool()>& cancelled,
                              const std::function<void()>& on_wait,
                              bool* waited) {
  Release();
  *waited = false;
  int result = Wait(directory_fd, cancelled, on_wait, waited);
  if (result == 0) {
    directory_fd_ = directory_fd;
    held_ = true;
    return kSuccess;
  }
  if (result > 0) return static_cast<ErrorCode>(result);
  // The directory cannot be locked here: a file of ours named after it.
  struct stat status;
  if (Sys().Fstat(directory_fd, &status) != 0) return kSuccess;
  char name[64];
  std::snprintf(name, sizeof(name), "/%llx-%llx",
                static_cast<unsigned long long>(status.st_dev),
                static_cast<unsigned long long>(status.st_ino));
  // The holder removes the file as it lets go; a waiter that then holds
  // the lock of a removed file tries again with the new one. The folder is
  // made at each try: a run that found the state directory empty may have
  // removed it meanwhile.
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string directory = MakeStateFolder(kLocksFolder);
    if (directory.empty()) {
      if (errno == ENOENT) continue;
      return kSuccess;
    }
    const std::string path = directory + name;
    const int fd = Sys().Open(path.c_str(),
                              O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd == -1) {
      if (errno == ENOENT) continue;
      return kSuccess;
    }
    result = Wait(fd, cancelled, on_wait, waited);
    if (result != 0) {
      Sys().Close(fd);
      return result > 0 ? static_cast<ErrorCode>(result) : kSuccess;
    }
    struct stat locked;
    struct stat named;
    if (Sys().Fstat(fd, &locked) == 0 && Sys().Lstat(path.c_str(), &named) == 0 &&
        locked.st_dev == named.st_dev && locked.st_ino == named.st_ino) {
      file_fd_ = fd;
      file_path_ = path;
      held_ = true;
      return kSuccess;
    }
    Sys().Close(fd);
  }
  return kSuccess;
}

void TargetLock::Release() {
  if (file_fd_ != -1) {
    // Removed while still locked, so that no one locks it afterwards and
    // believes it holds the directory.
    Sys().Unlink(file_path_.c_str());
    Sys().Close(file_fd_);
    file_fd_ = -1;
    file_path_.clear();
  } else if (held_ && directory_fd_ != -1) {
    Sys().Flock(directory_fd_, LOCK_UN);
  }
  directory_fd_ = -1;
  held_ = false;
}
