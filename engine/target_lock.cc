#include "engine/target_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>

#include "engine/state_directory.h"
#include "platform/system_api.h"

namespace {

// How often a waiting installation looks again (and for a cancel).
constexpr std::chrono::milliseconds kRetryInterval{50};

Status Cancelled() { return Status::Of(Status::Kind::kCancelled); }

}  // namespace

TargetLock::Waited TargetLock::Wait(int fd,
                                    const std::function<bool()>& cancelled,
                                    const std::function<void()>& on_wait,
                                    bool* waited) {
  for (;;) {
    if (sys_.Flock(fd, LOCK_EX | LOCK_NB) == 0) return Waited::kLocked;
    if (errno != EWOULDBLOCK) return Waited::kRefused;
    if (!*waited) {
      *waited = true;
      if (on_wait) on_wait();
    }
    if (cancelled && cancelled()) return Waited::kCancelled;
    std::this_thread::sleep_for(kRetryInterval);
  }
}

Status TargetLock::Acquire(int directory_fd,
                           const std::function<bool()>& cancelled,
                           const std::function<void()>& on_wait,
                           bool* waited) {
  Release();
  *waited = false;
  Waited result = Wait(directory_fd, cancelled, on_wait, waited);
  if (result == Waited::kLocked) {
    directory_fd_ = directory_fd;
    held_ = true;
    return Status::Ok();
  }
  if (result == Waited::kCancelled) return Cancelled();
  // The directory cannot be locked here: a file of ours named after it.
  struct stat status;
  if (sys_.Fstat(directory_fd, &status) != 0) return Status::Ok();
  char name[64];
  std::snprintf(name, sizeof(name), "/%llx-%llx",
                static_cast<unsigned long long>(status.st_dev),
                static_cast<unsigned long long>(status.st_ino));
  // The holder removes the file as it lets go; a waiter that then holds
  // the lock of a removed file tries again with the new one. The folder is
  // made at each try: a run that found the state directory empty may have
  // removed it meanwhile.
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string directory;
    const Status made = MakeStateFolder(sys_, kLocksFolder, &directory);
    if (!made.ok()) {
      if (made.error() == ENOENT && !made.path().empty()) continue;
      return Status::Ok();
    }
    const std::string path = directory + name;
    // Never opened so that something put there could block, and only a
    // regular file of this user's is taken for the lock.
    const int fd =
        sys_.Open(path.c_str(),
                  O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd == -1) {
      if (errno == ENOENT) continue;
      if (errno == ELOOP) return Status::Of(Status::Kind::kNotAFile, path);
      return Status::Ok();
    }
    struct stat opened;
    if (sys_.Fstat(fd, &opened) != 0) {
      sys_.Close(fd);
      return Status::Ok();
    }
    if (!S_ISREG(opened.st_mode) || opened.st_uid != sys_.GetEuid()) {
      sys_.Close(fd);
      return Status::Of(Status::Kind::kNotAFile, path);
    }
    result = Wait(fd, cancelled, on_wait, waited);
    if (result != Waited::kLocked) {
      sys_.Close(fd);
      return result == Waited::kCancelled ? Cancelled() : Status::Ok();
    }
    struct stat locked;
    struct stat named;
    if (sys_.Fstat(fd, &locked) == 0 && sys_.Lstat(path.c_str(), &named) == 0 &&
        locked.st_dev == named.st_dev && locked.st_ino == named.st_ino) {
      file_fd_ = fd;
      file_path_ = path;
      held_ = true;
      return Status::Ok();
    }
    sys_.Close(fd);
  }
  return Status::Ok();
}

void TargetLock::Release() {
  if (file_fd_ != -1) {
    // Removed while still locked, so that no one locks it afterwards and
    // believes it holds the directory.
    sys_.Unlink(file_path_.c_str());
    sys_.Close(file_fd_);
    file_fd_ = -1;
    file_path_.clear();
  } else if (held_ && directory_fd_ != -1) {
    sys_.Flock(directory_fd_, LOCK_UN);
  }
  directory_fd_ = -1;
  held_ = false;
}
