#include "platform/system_api.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

// Positions and sizes are 64-bit throughout the program.
static_assert(sizeof(off_t) == 8, "build with 64-bit file offsets");

namespace {

// Repeats a call that a signal interrupted. Only for calls that have not
// changed anything when they fail with EINTR.
template <typename Call>
auto RetryOnInterrupt(Call call) -> decltype(call()) {
  decltype(call()) result;
  do {
    result = call();
  } while (result == -1 && errno == EINTR);
  return result;
}

class RealSystemApi final : public SystemApi {
 public:
  constexpr RealSystemApi() = default;

  int Open(const char* path, int flags, mode_t mode) override {
    return RetryOnInterrupt([&] { return ::open(path, flags, mode); });
  }
  ssize_t Read(int fd, void* buffer, size_t count) override {
    return RetryOnInterrupt([&] { return ::read(fd, buffer, count); });
  }
  ssize_t Write(int fd, const void* buffer, size_t count) override {
    return RetryOnInterrupt([&] { return ::write(fd, buffer, count); });
  }
  ssize_t PRead(int fd, void* buffer, size_t count, off_t offset) override {
    return RetryOnInterrupt([&] { return ::pread(fd, buffer, count, offset); });
  }
  ssize_t PWrite(int fd, const void* buffer, size_t count,
                 off_t offset) override {
    return RetryOnInterrupt(
        [&] { return ::pwrite(fd, buffer, count, offset); });
  }
  off_t Seek(int fd, off_t offset, int whence) override {
    return ::lseek(fd, offset, whence);
  }
  // Not retried: Linux releases the descriptor even when close reports
  // EINTR, and a retry could close a descriptor another thread just got.
  int Close(int fd) override { return ::close(fd); }
  int Fsync(int fd) override {
    return RetryOnInterrupt([&] { return ::fsync(fd); });
  }
  int Fdatasync(int fd) override {
    return RetryOnInterrupt([&] { return ::fdatasync(fd); });
  }
  int Syncfs(int fd) override { return ::syncfs(fd); }
  int Ftruncate(int fd, off_t length) override {
    return RetryOnInterrupt([&] { return ::ftruncate(fd, length); });
  }
  int Futimens(int fd, const struct timespec times[2]) override {
    return ::futimens(fd, times);
  }
  int Fstat(int fd, struct stat* status) override {
    return ::fstat(fd, status);
  }
  int Fchmod(int fd, mode_t mode) override { return ::fchmod(fd, mode); }
  int Fchown(int fd, uid_t owner, gid_t group) override {
    return ::fchown(fd, owner, group);
  }
  int Flock(int fd, int operation) override {
    return RetryOnInterrupt([&] { return ::flock(fd, operation); });
  }
  ssize_t CopyFileRange(int fd_in, off_t* offset_in, int fd_out,
                        off_t* offset_out, size_t count) override {
    return RetryOnInterrupt([&] {
      return ::copy_file_range(fd_in, offset_in, fd_out, offset_out, count, 0);
    });
  }

  int Stat(const char* path, struct stat* status) override {
    return ::stat(path, status);
  }
  int Lstat(const char* path, struct stat* status) override {
    return ::lstat(path, status);
  }
  int Mkdir(const char* path, mode_t mode) override {
    return ::mkdir(path, mode);
  }
  int Rename(const char* from, const char* to) override {
    return ::rename(from, to);
  }
  int Unlink(const char* path) override { return ::unlink(path); }
  int Rmdir(const char* path) override { return ::rmdir(path); }
  int Symlink(const char* target, const char* path) override {
    return ::symlink(target, path);
  }
  ssize_t Readlink(const char* path, char* buffer, size_t size) override {
    return ::readlink(path, buffer, size);
  }
  int Access(const char* path, int mode) override {
    return ::faccessat(AT_FDCWD, path, mode, AT_EACCESS);
  }
  int Statvfs(const char* path, struct statvfs* status) override {
    return RetryOnInterrupt([&] { return ::statvfs(path, status); });
  }
  char* Getcwd(char* buffer, size_t size) override {
    return ::getcwd(buffer, size);
  }
  bool RealPath(const char* path, std::string* resolved) override {
    std::unique_ptr<char, decltype(&free)> real(::realpath(path, nullptr),
                                                &free);
    if (real == nullptr) return false;
    *resolved = real.get();
    return true;
  }
  pid_t GetPid() override { return ::getpid(); }
  uid_t GetEuid() override { return ::geteuid(); }
  uid_t GetUid() override { return ::getuid(); }
  int GetPwuidR(uid_t uid, struct passwd* entry, char* buffer, size_t size,
                struct passwd** result) override {
    return ::getpwuid_r(uid, entry, buffer, size, result);
  }
  int Isatty(int fd) override { return ::isatty(fd); }
  int TerminalColumns(int fd) override {
    struct winsize size = {};
    if (::ioctl(fd, TIOCGWINSZ, &size) != 0) return -1;
    return size.ws_col;
  }
  int MakeTemp(char* path_template) override {
    return ::mkostemp(path_template, O_CLOEXEC);
  }

  int OpenAt(int dirfd, const char* path, int flags, mode_t mode) override {
    return RetryOnInterrupt([&] { return ::openat(dirfd, path, flags, mode); });
  }
  int OpenAt2(int dirfd, const char* path, int flags, mode_t mode,
              uint64_t resolve) override {
#ifdef SYS_openat2
    struct open_how how = {};
    how.flags = static_cast<uint64_t>(flags);
    // The kernel refuses a mode without O_CREAT or O_TMPFILE.
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
      how.mode = mode;
    }
    how.resolve = resolve;
    return RetryOnInterrupt([&] {
      return static_cast<int>(
          ::syscall(SYS_openat2, dirfd, path, &how, sizeof(how)));
    });
#else
    (void)dirfd, (void)path, (void)flags, (void)mode, (void)resolve;
    errno = ENOSYS;
    return -1;
#endif
  }
  int FstatAt(int dirfd, const char* path, struct stat* status,
              int flags) override {
    return ::fstatat(dirfd, path, status, flags);
  }
  int MkdirAt(int dirfd, const char* path, mode_t mode) override {
    return ::mkdirat(dirfd, path, mode);
  }
  int RenameAt(int from_dirfd, const char* from, int to_dirfd,
               const char* to) override {
    return ::renameat(from_dirfd, from, to_dirfd, to);
  }
  int UnlinkAt(int dirfd, const char* path, int flags) override {
    return ::unlinkat(dirfd, path, flags);
  }
  int SymlinkAt(const char* target, int dirfd, const char* path) override {
    return ::symlinkat(target, dirfd, path);
  }
  ssize_t ReadlinkAt(int dirfd, const char* path, char* buffer,
                     size_t size) override {
    return ::readlinkat(dirfd, path, buffer, size);
  }

  DIR* OpenDir(const char* path) override { return ::opendir(path); }
  struct dirent* ReadDir(DIR* dir) override {
    return ::readdir(dir);
  }
  int CloseDir(DIR* dir) override { return ::closedir(dir); }
};

// Never destroyed, so that code running during exit may still use the seam.
union RealHolder {
  constexpr RealHolder() : api() {}
  ~RealHolder() {}
  RealSystemApi api;
};
constinit RealHolder g_real;

}  // namespace

SystemApi& RealSystem() { return g_real.api; }
