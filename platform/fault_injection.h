// A SystemApi for tests that forwards every call to the real system, counts
// and logs the calls, and makes chosen ones fail with a chosen errno: the N-th
// call (optionally among some kinds only, e.g. only writes), or every call
// whose path contains a text. Tests pass it to what they test (a reader, a
// session, a whole installation), run the operation once to see how many
// calls it makes, and then fail each of them in turn.
//
// Thread-safe: the install worker and the test thread may both call through
// it. Configure faults while no operation runs. Linked only into tests.
#ifndef PLATFORM_FAULT_INJECTION_H_
#define PLATFORM_FAULT_INJECTION_H_

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/forwarding_system.h"

// One kind per SystemApi method.
enum class SysOp : uint32_t {
  kOpen,
  kRead,
  kWrite,
  kSeek,
  kClose,
  kFsync,
  kFtruncate,
  kFutimens,
  kFstat,
  kFchmod,
  kFchown,
  kCopyFileRange,
  kStat,
  kLstat,
  kMkdir,
  kRename,
  kUnlink,
  kRmdir,
  kSymlink,
  kReadlink,
  kStatvfs,
  kMakeTemp,
  kOpenDir,
  kReadDir,
  kCloseDir,
  kFlock,
  kFdatasync,
  kSyncfs,
  kAccess,
};

// A set of kinds, one bit each.
using SysOpSet = uint64_t;
constexpr SysOpSet Ops(SysOp op) {
  return SysOpSet{1} << static_cast<uint32_t>(op);
}
template <typename... Rest>
constexpr SysOpSet Ops(SysOp op, Rest... rest) {
  return Ops(op) | Ops(rest...);
}
constexpr SysOpSet kAllSysOps = ~SysOpSet{0};
// The calls that change what is on disk.
constexpr SysOpSet kMutatingSysOps =
    Ops(SysOp::kWrite, SysOp::kFtruncate, SysOp::kFutimens, SysOp::kFchmod,
        SysOp::kFchown, SysOp::kCopyFileRange, SysOp::kMkdir, SysOp::kRename,
        SysOp::kUnlink, SysOp::kRmdir, SysOp::kSymlink, SysOp::kMakeTemp);

// "open", "write", ... for reports.
const char* SysOpName(SysOp op);

// One logged call. `path` is the path named, or for descriptor and listing
// calls the path the descriptor or listing was opened with (the target for
// CopyFileRange); `path2` is the second path of Rename and Symlink.
struct SysCall {
  SysOp op;
  std::string path;
  std::string path2;
  bool failed;  // made to fail by this object
  // The flags and mode Open was given, and the mode of Mkdir (0 otherwise),
  // so that a test can tell a creating open from a plain one and an
  // exclusive one, and a private directory from a shared one.
  int flags = 0;
  mode_t mode = 0;
};

class FaultInjectingSystem : public ForwardingSystem {
 public:
  FaultInjectingSystem() = default;
  FaultInjectingSystem(const FaultInjectingSystem&) = delete;
  FaultInjectingSystem& operator=(const FaultInjectingSystem&) = delete;

  // Makes the `n`-th call (1-based) among `ops`, counted from this call on,
  // fail with `error`; with `sticky`, every later call among `ops` fails too
  // (a disk that stays full). n = 0 disarms.
  void FailNth(uint64_t n, int error, SysOpSet ops = kAllSysOps,
               bool sticky = false);
  // The same, counting only the calls whose path `matches`: the n-th call
  // on one file is the same call from run to run even where threads make
  // their calls in another order each time.
  void FailNthOn(uint64_t n, int error, SysOpSet ops,
                 std::function<bool(const std::string&)> matches);
  // Makes every call among `ops` whose path (or second path) contains
  // `fragment` fail with `error`, until ClearFaults.
  void FailPath(const std::string& fragment, int error,
                SysOpSet ops = kAllSysOps);
  void ClearFaults();
  // Makes every Open with O_TMPFILE fail with `error` (EOPNOTSUPP: a file
  // system without unnamed files), until ClearFaults.
  void RefuseUnnamedFiles(int error = EOPNOTSUPP);

  // Calls made since construction or ClearLog, all kinds or among `ops`.
  uint64_t CallCount(SysOpSet ops = kAllSysOps) const;
  // Calls made to fail.
  uint64_t InjectedCount() const;
  std::vector<SysCall> Log() const;
  void ClearLog();

  int Open(const char* path, int flags, mode_t mode) override;
  ssize_t Read(int fd, void* buffer, size_t count) override;
  ssize_t Write(int fd, const void* buffer, size_t count) override;
  // Logged and failed as reads and writes.
  ssize_t PRead(int fd, void* buffer, size_t count, off_t offset) override;
  ssize_t PWrite(int fd, const void* buffer, size_t count,
                 off_t offset) override;
  off_t Seek(int fd, off_t offset, int whence) override;
  // Close and CloseDir release the descriptor even when made to fail, as
  // Linux does, so that tests do not leak.
  int Close(int fd) override;
  int Fsync(int fd) override;
  int Fdatasync(int fd) override;
  int Syncfs(int fd) override;
  int Ftruncate(int fd, off_t length) override;
  int Futimens(int fd, const struct timespec times[2]) override;
  int Fstat(int fd, struct stat* status) override;
  int Fchmod(int fd, mode_t mode) override;
  int Fchown(int fd, uid_t owner, gid_t group) override;
  int Flock(int fd, int operation) override;
  ssize_t CopyFileRange(int fd_in, off_t* offset_in, int fd_out,
                        off_t* offset_out, size_t count) override;
  int Stat(const char* path, struct stat* status) override;
  int Lstat(const char* path, struct stat* status) override;
  int Mkdir(const char* path, mode_t mode) override;
  int Rename(const char* from, const char* to) override;
  int Unlink(const char* path) override;
  int Rmdir(const char* path) override;
  int Symlink(const char* target, const char* path) override;
  ssize_t Readlink(const char* path, char* buffer, size_t size) override;
  int Access(const char* path, int mode) override;
  int Statvfs(const char* path, struct statvfs* status) override;
  int MakeTemp(char* path_template) override;
  // The *at calls are logged and failed as the kinds of their plain forms
  // (OpenAt2 as an open, FstatAt as a stat or lstat, UnlinkAt with
  // AT_REMOVEDIR as an rmdir), under the path of the directory descriptor
  // joined with the name, so that a fault by path meets both forms.
  int OpenAt(int dirfd, const char* path, int flags, mode_t mode) override;
  int OpenAt2(int dirfd, const char* path, int flags, mode_t mode,
              uint64_t resolve) override;
  int FstatAt(int dirfd, const char* path, struct stat* status,
              int flags) override;
  int MkdirAt(int dirfd, const char* path, mode_t mode) override;
  int RenameAt(int from_dirfd, const char* from, int to_dirfd,
               const char* to) override;
  int UnlinkAt(int dirfd, const char* path, int flags) override;
  int SymlinkAt(const char* target, int dirfd, const char* path) override;
  ssize_t ReadlinkAt(int dirfd, const char* path, char* buffer,
                     size_t size) override;
  DIR* OpenDir(const char* path) override;
  struct dirent* ReadDir(DIR* dir) override;
  int CloseDir(DIR* dir) override;

 private:
  struct PathFault {
    std::string fragment;
    int error;
    SysOpSet ops;
  };

  // Logs the call and returns the errno to fail it with, or 0 to forward it.
  int Enter(SysOp op, const std::string& path, const std::string& path2 = "",
            int flags = 0, mode_t mode = 0);
  std::string PathOf(int fd) const;
  // The path of `dirfd` (the working directory for AT_FDCWD) joined with
  // `path`; `path` alone when it is absolute.
  std::string PathAt(int dirfd, const char* path) const;
  std::string PathOf(DIR* dir) const;
  void Remember(int fd, const std::string& path);
  void Remember(DIR* dir, const std::string& path);

  mutable std::mutex mutex_;
  std::vector<SysCall> log_;
  uint64_t injected_ = 0;
  // The N-th call fault: armed while nth_target_ != 0.
  uint64_t nth_target_ = 0;
  uint64_t nth_seen_ = 0;
  int nth_error_ = 0;
  SysOpSet nth_ops_ = 0;
  bool nth_sticky_ = false;
  std::function<bool(const std::string&)> nth_matches_;
  std::vector<PathFault> path_faults_;
  int unnamed_error_ = 0;
  // What each open descriptor and listing was opened with, for the log.
  std::map<int, std::string> fd_paths_;
  std::map<DIR*, std::string> dir_paths_;
};

// A FaultInjectingSystem that stops every thread opening a name holding
// `fragment` at a gate until Release(), so that a test can act (cancel,
// signal, look) while a job is known to stand at that file.
class GateSystem : public FaultInjectingSystem {
 public:
  explicit GateSystem(std::string fragment) : fragment_(std::move(fragment)) {}

  int Open(const char* path, int flags, mode_t mode) override;
  int OpenAt(int dirfd, const char* path, int flags, mode_t mode) override;

  // True once a thread waits at the gate.
  bool Reached();
  void Release();
  // Closes the gate again for the next thread that comes.
  void Rearm();

 private:
  void Pass(const std::string& path);

  std::string fragment_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool reached_ = false;
  bool released_ = false;
};

#endif  // PLATFORM_FAULT_INJECTION_H_
