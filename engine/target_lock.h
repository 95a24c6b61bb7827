// One installation per template directory. A transaction holds an exclusive
// flock on the template directory itself from before its first look at a
// destination until after its commit or rollback, so that two installers
// (setup, kittool extract, a recovery) never work in one directory at once:
// the second waits, then finds the first one's files. Where the file system
// will not lock a directory (some network file systems), a lock file in the
// user's state directory named after the directory's device and inode
// stands in; it serialises the installations of one user, and goes with the
// lock.
//
// One thread per object. All system calls go through the SystemApi passed
// in.
#ifndef ENGINE_TARGET_LOCK_H_
#define ENGINE_TARGET_LOCK_H_

#include <functional>
#include <string>

#include "platform/status.h"

class SystemApi;

class TargetLock {
 public:
  explicit TargetLock(SystemApi& sys) : sys_(sys) {}
  ~TargetLock() { Release(); }
  TargetLock(const TargetLock&) = delete;
  TargetLock& operator=(const TargetLock&) = delete;

  // Takes the lock on the open directory `directory_fd`. When another
  // holder has it, calls `on_wait` once and waits, asking `cancelled`
  // between tries. Ok (also when no kind of lock can be had at all: the
  // installation then goes on unguarded, as it always did), kCancelled
  // when cancelled while waiting, or kNotAFile naming a fallback lock file
  // that is not a regular file of this user's (a link, a FIFO, a device:
  // refused, never followed or waited on). *waited says whether it had to
  // wait.
  Status Acquire(int directory_fd, const std::function<bool()>& cancelled,
                 const std::function<void()>& on_wait, bool* waited);
  void Release();
  bool held() const { return held_; }

 private:
  enum class Waited { kLocked, kCancelled, kRefused };
  // Waits for an exclusive flock on `fd`; kRefused (errno set) for a file
  // system that refuses it.
  Waited Wait(int fd, const std::function<bool()>& cancelled,
              const std::function<void()>& on_wait, bool* waited);

  SystemApi& sys_;
  // The fallback lock file's descriptor, -1 when the directory itself is
  // locked (its descriptor belongs to the caller).
  int file_fd_ = -1;
  std::string file_path_;
  int directory_fd_ = -1;
  bool held_ = false;
};

#endif  // ENGINE_TARGET_LOCK_H_
