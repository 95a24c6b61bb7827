#include "platform/fault_injection.h"

#include <fcntl.h>

#include <cerrno>

const char* SysOpName(SysOp op) {
  static const char* const kNames[] = {
      "open",     "read",     "write",     "seek",
      "close",    "fsync",    "ftruncate", "futimens",
      "fstat",    "fchmod",   "fchown",    "copy_file_range",
      "stat",     "lstat",    "mkdir",     "rename",
      "unlink",   "rmdir",    "symlink",   "readlink",
      "statvfs",  "mkostemp", "opendir",   "readdir",
      "closedir", "flock",    "fdatasync", "syncfs",
      "faccessat",
  };
  static_assert(sizeof(kNames) / sizeof(kNames[0]) ==
                static_cast<size_t>(SysOp::kAccess) + 1);
  return kNames[static_cast<uint32_t>(op)];
}

void FaultInjectingSystem::FailNth(uint64_t n, int error, SysOpSet ops,
                                   bool sticky) {
  std::lock_guard<std::mutex> lock(mutex_);
  nth_target_ = n;
  nth_seen_ = 0;
  nth_error_ = error;
  nth_ops_ = ops;
  nth_sticky_ = sticky;
  nth_matches_ = nullptr;
}

void FaultInjectingSystem::FailNthOn(
    uint64_t n, int error, SysOpSet ops,
    std::function<bool(const std::string&)> matches) {
  FailNth(n, error, ops, false);
  std::lock_guard<std::mutex> lock(mutex_);
  nth_matches_ = std::move(matches);
}

void FaultInjectingSystem::FailPath(const std::string& fragment, int error,
                                    SysOpSet ops) {
  std::lock_guard<std::mutex> lock(mutex_);
  path_faults_.push_back({fragment, error, ops});
}

void FaultInjectingSystem::ClearFaults() {
  std::lock_guard<std::mutex> lock(mutex_);
  nth_target_ = 0;
  nth_matches_ = nullptr;
  path_faults_.clear();
  unnamed_error_ = 0;
}

void FaultInjectingSystem::RefuseUnnamedFiles(int error) {
  std::lock_guard<std::mutex> lock(mutex_);
  unnamed_error_ = error;
}

uint64_t FaultInjectingSystem::CallCount(SysOpSet ops) const {
  std::lock_guard<std::mutex> lock(mutex_);
  uint64_t count = 0;
  for (const SysCall& call : log_) {
    if ((ops & Ops(call.op)) != 0) ++count;
  }
  return count;
}

uint64_t FaultInjectingSystem::InjectedCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return injected_;
}

std::vector<SysCall> FaultInjectingSystem::Log() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return log_;
}

void FaultInjectingSystem::ClearLog() {
  std::lock_guard<std::mutex> lock(mutex_);
  log_.clear();
  injected_ = 0;
}

int FaultInjectingSystem::Enter(SysOp op, const std::string& path,
                                const std::string& path2, int flags,
                                mode_t mode) {
  std::lock_guard<std::mutex> lock(mutex_);
  const SysOpSet bit = Ops(op);
  int error = 0;
  if (nth_target_ != 0 && (nth_ops_ & bit) != 0 &&
      (!nth_matches_ || nth_matches_(path))) {
    ++nth_seen_;
    if (nth_seen_ == nth_target_ || (nth_sticky_ && nth_seen_ > nth_target_)) {
      error = nth_error_;
    }
  }
  for (const PathFault& fault : path_faults_) {
    if (error != 0) break;
    if ((fault.ops & bit) != 0 &&
        (path.find(fault.fragment) != std::string::npos ||
         (!path2.empty() && path2.find(fault.fragment) != std::string::npos))) {
      error = fault.error;
    }
  }
  if (error == 0 && op == SysOp::kOpen && (flags & O_TMPFILE) == O_TMPFILE) {
    error = unnamed_error_;
  }
  log_.push_back({op, path, path2, error != 0, flags, mode});
  if (error != 0) ++injected_;
  return error;
}

std::string FaultInjectingSystem::PathOf(int fd) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = fd_paths_.find(fd);
  return it == fd_paths_.end() ? std::string() : it->second;
}

std::string FaultInjectingSystem::PathOf(DIR* dir) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = dir_paths_.find(dir);
  return it == dir_paths_.end() ? std::string() : it->second;
}

void FaultInjectingSystem::Remember(int fd, const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  fd_paths_[fd] = path;
}

void FaultInjectingSystem::Remember(DIR* dir, const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  dir_paths_[dir] = path;
}

namespace {

// The failing result of a call, with errno set.
template <typename Result>
Result Failed(int error, Result result = -1) {
  errno = error;
  return result;
}

}  // namespace

int FaultInjectingSystem::Open(const char* path, int flags, mode_t mode) {
  if (int error = Enter(SysOp::kOpen, path, "", flags, mode)) {
    return Failed<int>(error);
  }
  int fd = base().Open(path, flags, mode);
  if (fd != -1) {
    int saved = errno;
    Remember(fd, path);
    errno = saved;
  }
  return fd;
}

ssize_t FaultInjectingSystem::Read(int fd, void* buffer, size_t count) {
  if (int error = Enter(SysOp::kRead, PathOf(fd))) {
    return Failed<ssize_t>(error);
  }
  return base().Read(fd, buffer, count);
}

ssize_t FaultInjectingSystem::Write(int fd, const void* buffer, size_t count) {
  if (int error = Enter(SysOp::kWrite, PathOf(fd))) {
    return Failed<ssize_t>(error);
  }
  return base().Write(fd, buffer, count);
}

ssize_t FaultInjectingSystem::PRead(int fd, void* buffer, size_t count,
                                    off_t offset) {
  if (int error = Enter(SysOp::kRead, PathOf(fd))) {
    return Failed<ssize_t>(error);
  }
  return base().PRead(fd, buffer, count, offset);
}

ssize_t FaultInjectingSystem::PWrite(int fd, const void* buffer, size_t count,
                                     off_t offset) {
  if (int error = Enter(SysOp::kWrite, PathOf(fd))) {
    return Failed<ssize_t>(error);
  }
  return base().PWrite(fd, buffer, count, offset);
}

off_t FaultInjectingSystem::Seek(int fd, off_t offset, int whence) {
  if (int error = Enter(SysOp::kSeek, PathOf(fd))) {
    return Failed<off_t>(error);
  }
  return base().Seek(fd, offset, whence);
}

int FaultInjectingSystem::Close(int fd) {
  int error = Enter(SysOp::kClose, PathOf(fd));
  {
    std::lock_guard<std::mutex> lock(mutex_);
    fd_paths_.erase(fd);
  }
  int result = base().Close(fd);
  return error != 0 ? Failed<int>(error) : result;
}

int FaultInjectingSystem::Fsync(int fd) {
  if (int error = Enter(SysOp::kFsync, PathOf(fd))) return Failed<int>(error);
  return base().Fsync(fd);
}

int FaultInjectingSystem::Fdatasync(int fd) {
  if (int error = Enter(SysOp::kFdatasync, PathOf(fd))) {
    return Failed<int>(error);
  }
  return base().Fdatasync(fd);
}

int FaultInjectingSystem::Syncfs(int fd) {
  if (int error = Enter(SysOp::kSyncfs, PathOf(fd))) return Failed<int>(error);
  return base().Syncfs(fd);
}

int FaultInjectingSystem::Ftruncate(int fd, off_t length) {
  if (int error = Enter(SysOp::kFtruncate, PathOf(fd))) {
    return Failed<int>(error);
  }
  return base().Ftruncate(fd, length);
}

int FaultInjectingSystem::Futimens(int fd, const struct timespec times[2]) {
  if (int error = Enter(SysOp::kFutimens, PathOf(fd))) {
    return Failed<int>(error);
  }
  return base().Futimens(fd, times);
}

int FaultInjectingSystem::Fstat(int fd, struct stat* status) {
  if (int error = Enter(SysOp::kFstat, PathOf(fd))) return Failed<int>(error);
  return base().Fstat(fd, status);
}

int FaultInjectingSystem::Fchmod(int fd, mode_t mode) {
  if (int error = Enter(SysOp::kFchmod, PathOf(fd))) return Failed<int>(error);
  return base().Fchmod(fd, mode);
}

int FaultInjectingSystem::Fchown(int fd, uid_t owner, gid_t group) {
  if (int error = Enter(SysOp::kFchown, PathOf(fd))) return Failed<int>(error);
  return base().Fchown(fd, owner, group);
}

int FaultInjectingSystem::Flock(int fd, int operation) {
  if (int error = Enter(SysOp::kFlock, PathOf(fd))) return Failed<int>(error);
  return base().Flock(fd, operation);
}

ssize_t FaultInjectingSystem::CopyFileRange(int fd_in, off_t* offset_in,
                                            int fd_out, off_t* offset_out,
                                            size_t count) {
  if (int error = Enter(SysOp::kCopyFileRange, PathOf(fd_out))) {
    return Failed<ssize_t>(error);
  }
  return base().CopyFileRange(fd_in, offset_in, fd_out, offset_out, count);
}

int FaultInjectingSystem::Stat(const char* path, struct stat* status) {
  if (int error = Enter(SysOp::kStat, path)) return Failed<int>(error);
  return base().Stat(path, status);
}

int FaultInjectingSystem::Lstat(const char* path, struct stat* status) {
  if (int error = Enter(SysOp::kLstat, path)) return Failed<int>(error);
  return base().Lstat(path, status);
}

int FaultInjectingSystem::Mkdir(const char* path, mode_t mode) {
  if (int error = Enter(SysOp::kMkdir, path, "", 0, mode)) {
    return Failed<int>(error);
  }
  return base().Mkdir(path, mode);
}

int FaultInjectingSystem::Rename(const char* from, const char* to) {
  if (int error = Enter(SysOp::kRename, from, to)) return Failed<int>(error);
  return base().Rename(from, to);
}

int FaultInjectingSystem::Unlink(const char* path) {
  if (int error = Enter(SysOp::kUnlink, path)) return Failed<int>(error);
  return base().Unlink(path);
}

int FaultInjectingSystem::Rmdir(const char* path) {
  if (int error = Enter(SysOp::kRmdir, path)) return Failed<int>(error);
  return base().Rmdir(path);
}

int FaultInjectingSystem::Symlink(const char* target, const char* path) {
  if (int error = Enter(SysOp::kSymlink, path, target)) {
    return Failed<int>(error);
  }
  return base().Symlink(target, path);
}

int FaultInjectingSystem::Access(const char* path, int mode) {
  if (int error = Enter(SysOp::kAccess, path)) return Failed<int>(error);
  return base().Access(path, mode);
}

ssize_t FaultInjectingSystem::Readlink(const char* path, char* buffer,
                                       size_t size) {
  if (int error = Enter(SysOp::kReadlink, path)) {
    return Failed<ssize_t>(error);
  }
  return base().Readlink(path, buffer, size);
}

int FaultInjectingSystem::Statvfs(const char* path, struct statvfs* status) {
  if (int error = Enter(SysOp::kStatvfs, path)) return Failed<int>(error);
  return base().Statvfs(path, status);
}

int FaultInjectingSystem::MakeTemp(char* path_template) {
  if (int error = Enter(SysOp::kMakeTemp, path_template)) {
    return Failed<int>(error);
  }
  int fd = base().MakeTemp(path_template);
  if (fd != -1) {
    int saved = errno;
    Remember(fd, path_template);
    errno = saved;
  }
  return fd;
}

std::string FaultInjectingSystem::PathAt(int dirfd, const char* path) const {
  const std::string name = path;
  if (!name.empty() && name[0] == '/') return name;
  std::string base = dirfd == AT_FDCWD ? std::string(".") : PathOf(dirfd);
  if (name.empty()) return base;
  if (!base.empty() && base.back() != '/') base.push_back('/');
  return base + name;
}

int FaultInjectingSystem::OpenAt(int dirfd, const char* path, int flags,
                                 mode_t mode) {
  const std::string full = PathAt(dirfd, path);
  if (int error = Enter(SysOp::kOpen, full, "", flags, mode)) {
    return Failed<int>(error);
  }
  int fd = base().OpenAt(dirfd, path, flags, mode);
  if (fd != -1) {
    int saved = errno;
    Remember(fd, full);
    errno = saved;
  }
  return fd;
}

int FaultInjectingSystem::OpenAt2(int dirfd, const char* path, int flags,
                                  mode_t mode, uint64_t resolve) {
  const std::string full = PathAt(dirfd, path);
  if (int error = Enter(SysOp::kOpen, full, "", flags, mode)) {
    return Failed<int>(error);
  }
  int fd = base().OpenAt2(dirfd, path, flags, mode, resolve);
  if (fd != -1) {
    int saved = errno;
    Remember(fd, full);
    errno = saved;
  }
  return fd;
}

int FaultInjectingSystem::FstatAt(int dirfd, const char* path,
                                  struct stat* status, int flags) {
  const SysOp op =
      (flags & AT_SYMLINK_NOFOLLOW) != 0 ? SysOp::kLstat : SysOp::kStat;
  if (int error = Enter(op, PathAt(dirfd, path))) return Failed<int>(error);
  return base().FstatAt(dirfd, path, status, flags);
}

int FaultInjectingSystem::MkdirAt(int dirfd, const char* path, mode_t mode) {
  if (int error = Enter(SysOp::kMkdir, PathAt(dirfd, path), "", 0, mode)) {
    return Failed<int>(error);
  }
  return base().MkdirAt(dirfd, path, mode);
}

int FaultInjectingSystem::RenameAt(int from_dirfd, const char* from,
                                   int to_dirfd, const char* to) {
  if (int error = Enter(SysOp::kRename, PathAt(from_dirfd, from),
                        PathAt(to_dirfd, to))) {
    return Failed<int>(error);
  }
  return base().RenameAt(from_dirfd, from, to_dirfd, to);
}

int FaultInjectingSystem::UnlinkAt(int dirfd, const char* path, int flags) {
  const SysOp op =
      (flags & AT_REMOVEDIR) != 0 ? SysOp::kRmdir : SysOp::kUnlink;
  if (int error = Enter(op, PathAt(dirfd, path))) return Failed<int>(error);
  return base().UnlinkAt(dirfd, path, flags);
}

int FaultInjectingSystem::SymlinkAt(const char* target, int dirfd,
                                    const char* path) {
  if (int error = Enter(SysOp::kSymlink, PathAt(dirfd, path), target)) {
    return Failed<int>(error);
  }
  return base().SymlinkAt(target, dirfd, path);
}

ssize_t FaultInjectingSystem::ReadlinkAt(int dirfd, const char* path,
                                         char* buffer, size_t size) {
  if (int error = Enter(SysOp::kReadlink, PathAt(dirfd, path))) {
    return Failed<ssize_t>(error);
  }
  return base().ReadlinkAt(dirfd, path, buffer, size);
}

DIR* FaultInjectingSystem::OpenDir(const char* path) {
  if (int error = Enter(SysOp::kOpenDir, path)) {
    return Failed<DIR*>(error, nullptr);
  }
  DIR* dir = base().OpenDir(path);
  if (dir != nullptr) {
    int saved = errno;
    Remember(dir, path);
    errno = saved;
  }
  return dir;
}

struct dirent* FaultInjectingSystem::ReadDir(DIR* dir) {
  // The caller tells the end from a failure by errno, which the bookkeeping
  // must not disturb.
  int saved = errno;
  if (int error = Enter(SysOp::kReadDir, PathOf(dir))) {
    return Failed<struct dirent*>(error, nullptr);
  }
  errno = saved;
  return base().ReadDir(dir);
}

int FaultInjectingSystem::CloseDir(DIR* dir) {
  int error = Enter(SysOp::kCloseDir, PathOf(dir));
  {
    std::lock_guard<std::mutex> lock(mutex_);
    dir_paths_.erase(dir);
  }
  int result = base().CloseDir(dir);
  return error != 0 ? Failed<int>(error) : result;
}

void GateSystem::Pass(const std::string& path) {
  if (fragment_.empty() || path.find(fragment_) == std::string::npos) return;
  std::unique_lock<std::mutex> lock(mutex_);
  if (!released_) {
    reached_ = true;
    changed_.notify_all();
    changed_.wait(lock, [this] { return released_; });
  }
}

int GateSystem::Open(const char* path, int flags, mode_t mode) {
  Pass(path);
  return FaultInjectingSystem::Open(path, flags, mode);
}

int GateSystem::OpenAt(int dirfd, const char* path, int flags, mode_t mode) {
  Pass(path);
  return FaultInjectingSystem::OpenAt(dirfd, path, flags, mode);
}

bool GateSystem::Reached() {
  std::lock_guard<std::mutex> lock(mutex_);
  return reached_;
}

void GateSystem::Rearm() {
  std::lock_guard<std::mutex> lock(mutex_);
  reached_ = false;
  released_ = false;
}

void GateSystem::Release() {
  std::lock_guard<std::mutex> lock(mutex_);
  released_ = true;
  changed_.notify_all();
}
