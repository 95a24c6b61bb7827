// A SystemApi that passes every call on to another one (the real system by
// default). Test doubles and the kill tests' seam derive from it and
// override only the calls they watch.
#ifndef PLATFORM_FORWARDING_SYSTEM_H_
#define PLATFORM_FORWARDING_SYSTEM_H_

#include <type_traits>

#include "platform/system_api.h"

class ForwardingSystem : public SystemApi {
 public:
  ForwardingSystem() : base_(RealSystem()) {}
  // Any seam, a forwarding one included: this is never a copy of `base`.
  template <typename Base,
            typename = std::enable_if_t<std::is_base_of_v<SystemApi, Base>>>
  explicit ForwardingSystem(Base& base) : base_(base) {}

  int Open(const char* path, int flags, mode_t mode) override {
    return base_.Open(path, flags, mode);
  }
  ssize_t Read(int fd, void* buffer, size_t count) override {
    return base_.Read(fd, buffer, count);
  }
  ssize_t Write(int fd, const void* buffer, size_t count) override {
    return base_.Write(fd, buffer, count);
  }
  ssize_t PRead(int fd, void* buffer, size_t count, off_t offset) override {
    return base_.PRead(fd, buffer, count, offset);
  }
  ssize_t PWrite(int fd, const void* buffer, size_t count,
                 off_t offset) override {
    return base_.PWrite(fd, buffer, count, offset);
  }
  off_t Seek(int fd, off_t offset, int whence) override {
    return base_.Seek(fd, offset, whence);
  }
  int Close(int fd) override { return base_.Close(fd); }
  int Fsync(int fd) override { return base_.Fsync(fd); }
  int Fdatasync(int fd) override { return base_.Fdatasync(fd); }
  int Syncfs(int fd) override { return base_.Syncfs(fd); }
  int Ftruncate(int fd, off_t length) override {
    return base_.Ftruncate(fd, length);
  }
  int Futimens(int fd, const struct timespec times[2]) override {
    return base_.Futimens(fd, times);
  }
  int Fstat(int fd, struct stat* status) override {
    return base_.Fstat(fd, status);
  }
  int Fchmod(int fd, mode_t mode) override { return base_.Fchmod(fd, mode); }
  int Fchown(int fd, uid_t owner, gid_t group) override {
    return base_.Fchown(fd, owner, group);
  }
  int Flock(int fd, int operation) override {
    return base_.Flock(fd, operation);
  }
  ssize_t CopyFileRange(int fd_in, off_t* offset_in, int fd_out,
                        off_t* offset_out, size_t count) override {
    return base_.CopyFileRange(fd_in, offset_in, fd_out, offset_out, count);
  }
  int Stat(const char* path, struct stat* status) override {
    return base_.Stat(path, status);
  }
  int Lstat(const char* path, struct stat* status) override {
    return base_.Lstat(path, status);
  }
  int Mkdir(const char* path, mode_t mode) override {
    return base_.Mkdir(path, mode);
  }
  int Rename(const char* from, const char* to) override {
    return base_.Rename(from, to);
  }
  int Unlink(const char* path) override { return base_.Unlink(path); }
  int Rmdir(const char* path) override { return base_.Rmdir(path); }
  int Symlink(const char* target, const char* path) override {
    return base_.Symlink(target, path);
  }
  ssize_t Readlink(const char* path, char* buffer, size_t size) override {
    return base_.Readlink(path, buffer, size);
  }
  int Access(const char* path, int mode) override {
    return base_.Access(path, mode);
  }
  int Statvfs(const char* path, struct statvfs* status) override {
    return base_.Statvfs(path, status);
  }
  char* Getcwd(char* buffer, size_t size) override {
    return base_.Getcwd(buffer, size);
  }
  bool RealPath(const char* path, std::string* resolved) override {
    return base_.RealPath(path, resolved);
  }
  pid_t GetPid() override { return base_.GetPid(); }
  uid_t GetEuid() override { return base_.GetEuid(); }
  uid_t GetUid() override { return base_.GetUid(); }
  int GetPwuidR(uid_t uid, struct passwd* entry, char* buffer, size_t size,
                struct passwd** result) override {
    return base_.GetPwuidR(uid, entry, buffer, size, result);
  }
  int Isatty(int fd) override { return base_.Isatty(fd); }
  int TerminalColumns(int fd) override { return base_.TerminalColumns(fd); }
  int MakeTemp(char* path_template) override {
    return base_.MakeTemp(path_template);
  }
  int OpenAt(int dirfd, const char* path, int flags, mode_t mode) override {
    return base_.OpenAt(dirfd, path, flags, mode);
  }
  int OpenAt2(int dirfd, const char* path, int flags, mode_t mode,
              uint64_t resolve) override {
    return base_.OpenAt2(dirfd, path, flags, mode, resolve);
  }
  int FstatAt(int dirfd, const char* path, struct stat* status,
              int flags) override {
    return base_.FstatAt(dirfd, path, status, flags);
  }
  int MkdirAt(int dirfd, const char* path, mode_t mode) override {
    return base_.MkdirAt(dirfd, path, mode);
  }
  int RenameAt(int from_dirfd, const char* from, int to_dirfd,
               const char* to) override {
    return base_.RenameAt(from_dirfd, from, to_dirfd, to);
  }
  int UnlinkAt(int dirfd, const char* path, int flags) override {
    return base_.UnlinkAt(dirfd, path, flags);
  }
  int SymlinkAt(const char* target, int dirfd, const char* path) override {
    return base_.SymlinkAt(target, dirfd, path);
  }
  ssize_t ReadlinkAt(int dirfd, const char* path, char* buffer,
                     size_t size) override {
    return base_.ReadlinkAt(dirfd, path, buffer, size);
  }
  DIR* OpenDir(const char* path) override { return base_.OpenDir(path); }
  struct dirent* ReadDir(DIR* dir) override {
    return base_.ReadDir(dir);
  }
  int CloseDir(DIR* dir) override { return base_.CloseDir(dir); }

 protected:
  SystemApi& base() { return base_; }

 private:
  SystemApi& base_;
};

#endif  // PLATFORM_FORWARDING_SYSTEM_H_
