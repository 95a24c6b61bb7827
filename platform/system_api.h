// The seam between the program and the operating system. Every system call
// the program makes outside platform/ goes through a SystemApi that its
// caller passes in (the entry passes RealSystem()), so that tests can pass
// another one and make any single operation fail with a chosen errno (no
// space, permission denied, I/O error), record every change to the disk, or
// kill the process at a chosen call, without touching a real disk's limits.
// The one call that does not go through it is the start of the document
// viewer (ui/document_opener.h).
//
// Each method has the contract of the POSIX call it is named after: the same
// arguments, the same result, errno set on failure. The real implementation
// forwards to the system and retries on EINTR where the call may be retried
// (never close, whose descriptor is gone even when it reports EINTR). Any
// thread may use a SystemApi. Test doubles live in
// platform/fault_injection.h.
#ifndef PLATFORM_SYSTEM_API_H_
#define PLATFORM_SYSTEM_API_H_

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <time.h>

#include <cstddef>
#include <cstdint>
#include <string>

class SystemApi {
 public:
  SystemApi() = default;
  virtual ~SystemApi() = default;
  // A seam is passed by reference: a copy would quietly bypass what it
  // watches.
  SystemApi(const SystemApi&) = delete;
  SystemApi& operator=(const SystemApi&) = delete;

  // Files and descriptors.
  virtual int Open(const char* path, int flags, mode_t mode) = 0;
  virtual ssize_t Read(int fd, void* buffer, size_t count) = 0;
  virtual ssize_t Write(int fd, const void* buffer, size_t count) = 0;
  // pread(2) and pwrite(2): at `offset`, the descriptor's position untouched,
  // so that two threads may share one descriptor.
  virtual ssize_t PRead(int fd, void* buffer, size_t count, off_t offset) = 0;
  virtual ssize_t PWrite(int fd, const void* buffer, size_t count,
                         off_t offset) = 0;
  virtual off_t Seek(int fd, off_t offset, int whence) = 0;
  virtual int Close(int fd) = 0;
  virtual int Fsync(int fd) = 0;
  virtual int Fdatasync(int fd) = 0;
  // syncfs(2): flushes the whole file system that holds `fd`.
  virtual int Syncfs(int fd) = 0;
  virtual int Ftruncate(int fd, off_t length) = 0;
  virtual int Futimens(int fd, const struct timespec times[2]) = 0;
  virtual int Fstat(int fd, struct stat* status) = 0;
  virtual int Fchmod(int fd, mode_t mode) = 0;
  virtual int Fchown(int fd, uid_t owner, gid_t group) = 0;
  // flock(2): an advisory whole-file lock (LOCK_EX, LOCK_SH, LOCK_UN, with
  // LOCK_NB not to wait), held by the open file description.
  virtual int Flock(int fd, int operation) = 0;
  // copy_file_range(2); callers fall back to Read/Write on EXDEV, ENOSYS,
  // EINVAL or EOPNOTSUPP.
  virtual ssize_t CopyFileRange(int fd_in, off_t* offset_in, int fd_out,
                                off_t* offset_out, size_t count) = 0;

  // Names.
  virtual int Stat(const char* path, struct stat* status) = 0;  // follows links
  virtual int Lstat(const char* path, struct stat* status) = 0;  // does not
  virtual int Mkdir(const char* path, mode_t mode) = 0;
  virtual int Rename(const char* from, const char* to) = 0;
  virtual int Unlink(const char* path) = 0;
  virtual int Rmdir(const char* path) = 0;
  // symlink(2): makes `path` a symbolic link whose text is `target`.
  virtual int Symlink(const char* target, const char* path) = 0;
  virtual ssize_t Readlink(const char* path, char* buffer, size_t size) = 0;
  virtual int Statvfs(const char* path, struct statvfs* status) = 0;
  // faccessat(2) with AT_EACCESS: whether this process, by its effective
  // ids, may `mode` (R_OK, W_OK, X_OK) the file at `path`.
  virtual int Access(const char* path, int mode) = 0;
  // getcwd(3): the working directory into `buffer`, or null with errno.
  virtual char* Getcwd(char* buffer, size_t size) = 0;
  // realpath(3) into a new string; false with errno when it fails.
  virtual bool RealPath(const char* path, std::string* resolved) = 0;
  // getpid(2), geteuid(2) and getuid(2).
  virtual pid_t GetPid() = 0;
  virtual uid_t GetEuid() = 0;
  virtual uid_t GetUid() = 0;
  // getpwuid_r(3): the password database's entry of `uid` into `entry`,
  // its texts in `buffer`. 0 with *result null when there is none; else
  // the errno (ERANGE: `buffer` is too small), not set in errno.
  virtual int GetPwuidR(uid_t uid, struct passwd* entry, char* buffer,
                        size_t size, struct passwd** result) = 0;
  // isatty(3): 1 for a terminal, 0 with errno otherwise.
  virtual int Isatty(int fd) = 0;
  // The terminal's width in columns (ioctl TIOCGWINSZ); -1 with errno.
  virtual int TerminalColumns(int fd) = 0;
  // mkostemp(3) with O_CLOEXEC: `path_template` ends in "XXXXXX" and receives
  // the name; the file is created exclusively with mode 0600.
  virtual int MakeTemp(char* path_template) = 0;

  // Names relative to a directory descriptor: the *at(2) calls. OpenAt2 is
  // openat2(2) with `resolve` (RESOLVE_* bits); where the kernel has none it
  // fails with ENOSYS.
  virtual int OpenAt(int dirfd, const char* path, int flags, mode_t mode) = 0;
  virtual int OpenAt2(int dirfd, const char* path, int flags, mode_t mode,
                      uint64_t resolve) = 0;
  virtual int FstatAt(int dirfd, const char* path, struct stat* status,
                      int flags) = 0;
  virtual int MkdirAt(int dirfd, const char* path, mode_t mode) = 0;
  virtual int RenameAt(int from_dirfd, const char* from, int to_dirfd,
                       const char* to) = 0;
  // flags: 0 for a file or link, AT_REMOVEDIR for an empty directory.
  virtual int UnlinkAt(int dirfd, const char* path, int flags) = 0;
  virtual int SymlinkAt(const char* target, int dirfd, const char* path) = 0;
  virtual ssize_t ReadlinkAt(int dirfd, const char* path, char* buffer,
                             size_t size) = 0;

  // Listing.
  virtual DIR* OpenDir(const char* path) = 0;
  // Null at the end (errno unchanged) or on failure (errno set).
  virtual struct dirent* ReadDir(DIR* dir) = 0;
  virtual int CloseDir(DIR* dir) = 0;
};

// The real system: what the entries pass in, and what test doubles forward
// to. Never destroyed, so that code running during exit may still use it.
SystemApi& RealSystem();

#endif  // PLATFORM_SYSTEM_API_H_
