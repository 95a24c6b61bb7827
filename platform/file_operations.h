// Whole-file and whole-tree operations on paths (make a directory with its
// parents, write a buffer whole, replace a file in one step, read a small
// file, move a file beneath a directory, remove a tree), plus the temporary
// directory and its free space. Each is the one implementation of its
// mechanics in the program: the kit writer, the launcher configuration, the
// install engine, the recovery and kittool all use these.
//
// Everything is done with direct system calls through the SystemApi passed
// in; no shell and no other program is ever started, so a path is taken
// literally whatever characters it holds (quotes, "$", backquotes,
// backslashes, line breaks). Paths are in the locale's multibyte form.
// Failures are Statuses with the system's errno and the path concerned. Any
// thread may call these; nothing here is locked, so two threads must not
// work on the same tree at once.
#ifndef PLATFORM_FILE_OPERATIONS_H_
#define PLATFORM_FILE_OPERATIONS_H_

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/status.h"

class BeneathDir;
class SystemApi;

// The working directory, into *path. kNoCurrentDirectory with getcwd's
// errno when it cannot be asked for (it was deleted, or a level above it
// cannot be read), naming it as the system still knows it (the link
// /proc/self/cwd, without the " (deleted)" the kernel adds) when it can.
Status CurrentDirectory(SystemApi& sys, std::string* path);

// The temporary directory, always ending in "/": $TMPDIR when it names an
// existing directory, else "/tmp/".
std::string GetTempDirectory(SystemApi& sys);

// Free bytes (blocks free to the superuser included) of the file system
// that holds the temporary directory; the system's reason, naming that
// directory, when it cannot be asked.
Status GetFreeSpace(SystemApi& sys, uint64_t* free_bytes);

// Creates a new empty file, mode 0600, in `directory` (the temporary
// directory when empty) whose name is `prefix` followed by six unpredictable
// characters, never reusing an existing name, and gives its path in *path.
// kNoTempFile (naming the directory) when no file could be made (missing or
// unwritable directory, a "/" in the prefix); *path is then empty, so that a
// caller never removes a file it did not make.
Status MakeTempFile(SystemApi& sys, const std::string& directory,
                    const std::string& prefix, std::string* path);

// `path` itself when it is a directory (or a link to one), else the nearest
// directory above it that exists ("." for a relative path with none);
// trailing slashes are dropped. Empty, with errno set, when a level that
// exists is no directory (ENOTDIR) or cannot be looked at.
std::string NearestExistingDirectory(SystemApi& sys, std::string path);

// The one way the program makes a directory with its missing parents: the
// plain paths of MakeDirectories, the levels an installation makes for its
// template directory and below it (recorded in its journal first), and
// those an undo makes to put a file back. A subclass says how a level is
// looked at and made, and what happens around each mkdir.
class LevelMaker {
 public:
  virtual ~LevelMaker() = default;

  // Makes `path` ("/"-separated; "" and "/" are the top, which exists) and
  // every missing level above it, top down. A level that exists as a
  // directory (or a link to one) is fine. A failure carries the errno and
  // names the level (ENOTDIR when a file stands where a level belongs);
  // levels made before it stay.
  Status Make(const std::string& path);

 protected:
  // stat(2) of `level`, following a link at its end; -1 with errno.
  virtual int StatLevel(const std::string& level, struct stat* status) = 0;
  // mkdir(2) of `level`; -1 with errno.
  virtual int MakeLevel(const std::string& level) = 0;
  // True when `level` is known to be a directory already (a cache).
  virtual bool Known(const std::string& /*level*/) { return false; }
  // Called for a level found to be a directory.
  virtual void Found(const std::string& /*level*/) {}
  // Called before the mkdir of `level`; a failure stops before it.
  virtual Status BeforeMake(const std::string& /*level*/) {
    return Status::Ok();
  }
  // Called after the mkdir of `level`, with whether it made the level.
  virtual void AfterMake(const std::string& /*level*/, bool /*made*/) {}
};

// Makes `path` a directory, creating missing parents too, each new level
// with `mode` (less the umask). An existing directory (or a link to one) is
// success. A failure names the level that could not be made; levels made
// before it stay.
Status MakeDirectories(SystemApi& sys, const std::string& path,
                       mode_t mode = 0777);

// Writes all `size` bytes to `fd`, at its position or, with `offset` >= 0,
// at that offset (pwrite; the position untouched), continuing after partial
// writes. A write that takes nothing counts as ENOSPC. *written (when
// given) holds what reached the file, also after a failure.
Status WriteAll(SystemApi& sys, int fd, const void* data, size_t size,
                off_t offset = -1, size_t* written = nullptr);

// Replaces the file `path` in one step: a part file beside it
// ("<path>.part<pid>-<n>", made exclusively, 0666 less the umask, or
// exactly `mode` when given) is filled by `write`, flushed to disk and
// renamed over `path`, and then the directory is flushed, so that `path`
// holds the old bytes or the new ones, never a part, also after a power
// loss. On failure the part file is removed and `path` is as it was; the
// status names the file the system refused. `stopped` (when given) is
// asked once the part file is flushed: true abandons it the same way, with
// kCancelled.
Status ReplaceFile(SystemApi& sys, const std::string& path,
                   const std::function<Status(int fd)>& write,
                   std::optional<mode_t> mode = std::nullopt,
                   const std::function<bool()>& stopped = nullptr);

// The whole of the regular file `path`, at most `limit` bytes, into *out.
// Opened without blocking (a FIFO or a device at the path never hangs the
// caller) and refused with EINVAL when it is no regular file; EFBIG when it
// is larger than `limit`. With `follow` false a link at the end is refused
// (ELOOP).
Status ReadSmallFile(SystemApi& sys, const std::string& path, std::string* out,
                     size_t limit, bool follow = true);
// The same for `relative` beneath `dir` (platform/beneath_dir.h), a link at
// its end followed beneath it: EXDEV when one leads outside (outside_link()
// names it), ENOENT when it leads to nothing. The failure names the path
// `relative` has beneath dir.path().
Status ReadSmallFileBeneath(BeneathDir& dir, const std::string& relative,
                            std::string* out, size_t limit);

// Opens the directory `path` and flushes it, so that names made or removed
// in it survive a power loss.
Status SyncDirectory(SystemApi& sys, const std::string& path);

// Moves the file or link `from_relative` beneath `from` to `to_relative`
// beneath `to` (platform/beneath_dir.h), replacing a file there. Across
// file systems a regular file is copied (bytes, mode, times and, where
// permitted, owner) and a link is made anew, under a fresh name beside the
// target that is then renamed over it, and the source is removed after; a
// failed copy leaves both sides as they were. Directories and special files
// are not moved across file systems. A failure carries the errno (EXDEV
// with the directory's outside_link() set when a name leads outside).
Status MoveBeneath(BeneathDir& from, const std::string& from_relative,
                   BeneathDir& to, const std::string& to_relative);

// Removes `path` and, when it is a directory, everything below it, going on
// past entries that cannot be removed. Symbolic links are removed themselves
// and never followed, also when `path` ends in "/". Refuses "/", "." and
// ".." as the last component and the empty path. False when something is
// left.
bool RemoveTree(SystemApi& sys, const std::string& path);

// Removes the file (or link) `path`; a directory or a missing file is left
// alone. A removal that fails is tried once more: the callers remove files
// of their own and cannot do anything about a failure.
void RemoveFile(SystemApi& sys, const std::string& path);

#endif  // PLATFORM_FILE_OPERATIONS_H_
