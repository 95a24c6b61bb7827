// For power-loss tests: a SystemApi that forwards every call to the real
// system and logs, in order, each call that changed the disk and each
// flush, with what it takes to replay the change on a copy of the disk
// (platform/crash_states.h builds from the log the states a power loss
// could leave). Linked only into tests.
//
// What is logged, and only when the call succeeded: creations (an open with
// O_CREAT that made the file, mkostemp, mkdir, symlink), data written (at
// its offset; copy_file_range as the bytes it put into the destination,
// read back after the call), truncations (ftruncate, an open with O_TRUNC),
// mode and time changes, renames, unlinks and rmdirs; fsync and fdatasync
// of a descriptor, and syncfs. Names relative to a descriptor or to the working directory are
// resolved to absolute paths, with the parent directory's links resolved,
// when the call is made. Files are known by identity (device, inode and a
// generation that each creation of that inode number bumps), so that data
// written through a descriptor follows the file across later renames, and
// a reused inode number is another file. Writes to files that have no name
// (O_TMPFILE, or unlinked) and to anything but regular files are left out.
//
// Thread-safe: each logged call runs and is logged under one lock, so the
// log's order is an order in which the calls happened.
#ifndef PLATFORM_CRASH_RECORDING_H_
#define PLATFORM_CRASH_RECORDING_H_

#include <sys/stat.h>
#include <time.h>

#include <compare>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/forwarding_system.h"

// A file's identity for the life of a recording.
struct InodeId {
  uint64_t dev = 0;
  uint64_t ino = 0;
  uint32_t generation = 0;  // 0: there before the recording began
  auto operator<=>(const InodeId&) const = default;
};

struct DiskChange {
  enum class Kind {
    kCreateFile,
    kMkdir,
    kSymlink,
    kWrite,
    kTruncate,
    kChmod,
    kTimes,
    kRename,
    kUnlink,
    kRmdir,
    kFsync,       // fsync or fdatasync of `inode` (a file or a directory)
    kSyncfs,      // the whole file system `inode.dev`
  };
  Kind kind = Kind::kWrite;
  std::string path;  // absolute: the name made, removed or renamed from
  std::string to;    // the name renamed to; a link's text
  InodeId inode;     // the file, directory or link acted on
  InodeId parent;    // the directory that holds `path`
  InodeId to_parent; // the directory that holds `to`
  uint64_t offset = 0;  // kWrite: where `bytes` went; kTruncate: the length
  std::string bytes;
  mode_t mode = 0;  // permission bits of `inode` after the call
  // `inode`'s times after the call (a write or a creation stamps it with
  // the clock; a rename changes its change time).
  struct timespec mtime = {0, 0};
  struct timespec ctime = {0, 0};
};
using DiskLog = std::vector<DiskChange>;

class CrashRecordingSystem final : public ForwardingSystem {
 public:
  CrashRecordingSystem() = default;
  template <typename Base>
  explicit CrashRecordingSystem(Base& base) : ForwardingSystem(base) {}

  // What was logged so far.
  DiskLog log() const;

  int Open(const char* path, int flags, mode_t mode) override;
  ssize_t Write(int fd, const void* buffer, size_t count) override;
  ssize_t PWrite(int fd, const void* buffer, size_t count,
                 off_t offset) override;
  int Fsync(int fd) override;
  int Fdatasync(int fd) override;
  int Syncfs(int fd) override;
  int Ftruncate(int fd, off_t length) override;
  int Futimens(int fd, const struct timespec times[2]) override;
  int Fchmod(int fd, mode_t mode) override;
  ssize_t CopyFileRange(int fd_in, off_t* offset_in, int fd_out,
                        off_t* offset_out, size_t count) override;
  int Mkdir(const char* path, mode_t mode) override;
  int Rename(const char* from, const char* to) override;
  int Unlink(const char* path) override;
  int Rmdir(const char* path) override;
  int Symlink(const char* target, const char* path) override;
  int MakeTemp(char* path_template) override;
  int OpenAt(int dirfd, const char* path, int flags, mode_t mode) override;
  int OpenAt2(int dirfd, const char* path, int flags, mode_t mode,
              uint64_t resolve) override;
  int MkdirAt(int dirfd, const char* path, mode_t mode) override;
  int RenameAt(int from_dirfd, const char* from, int to_dirfd,
               const char* to) override;
  int UnlinkAt(int dirfd, const char* path, int flags) override;
  int SymlinkAt(const char* target, int dirfd, const char* path) override;

 private:
  // An open that may create or truncate: `open` makes the call.
  template <typename OpenCall>
  int RecordOpen(int dirfd, const char* path, int flags, OpenCall open);
  // A name made (`kind`, with a link's `text`), once `make` succeeded.
  template <typename MakeCall>
  int RecordMade(DiskChange::Kind kind, int dirfd, const char* path,
                 const std::string& text, MakeCall make);
  template <typename RemoveCall>
  int RecordRemoved(DiskChange::Kind kind, int dirfd, const char* path,
                    RemoveCall remove);
  template <typename RenameCall>
  int RecordRename(int from_dirfd, const char* from, int to_dirfd,
                   const char* to, RenameCall rename);
  // What `write` puts into `fd` at `offset` (-1: at its position, read
  // before `write` runs): the bytes from `data`, or read back from the
  // file when null.
  template <typename WriteCall>
  ssize_t RecordWrite(int fd, off_t offset, const void* data,
                      WriteCall write);
  int RecordFlush(DiskChange::Kind kind, int fd, int result);
  // A change of `fd`'s file's data or attributes.
  void LogAttributes(DiskChange::Kind kind, int fd, uint64_t offset);

  // The identity of what `status` describes; `created` starts a new
  // generation of its inode number.
  InodeId IdOf(const struct stat& status, bool created = false);
  // The identity of the directory holding the absolute `path`.
  InodeId ParentOf(const std::string& path);
  void Fill(DiskChange* change, const struct stat& status);

  mutable std::mutex mutex_;
  DiskLog log_;
  std::map<std::pair<uint64_t, uint64_t>, uint32_t> generations_;
};

#endif  // PLATFORM_CRASH_RECORDING_H_
