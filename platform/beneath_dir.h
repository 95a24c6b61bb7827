// Names beneath one directory (the template directory, a backup directory),
// resolved so that nothing reached through them lies outside it. A shared
// template directory may hold links planted by someone else; whatever an
// installation creates, opens, renames or removes there goes through this
// class, which resolves every name with the kernel's RESOLVE_BENEATH (or, on
// a kernel without openat2, by walking it component by component without
// following links blindly). A link inside the directory that leads to
// another place inside it still works, relative or absolute; one that leads
// outside makes the call fail with EXDEV, and outside_link() names it. The
// directory itself is opened by its path and may be a link.
//
// The last component is never followed by the calls that change it
// (create, mkdir, rename, unlink, rmdir): they act on the link itself. Stat,
// OpenDirectory and OpenFollowed follow it, beneath the directory too.
//
// Every call returns what its system call returns (-1 with errno on
// failure). All system calls go through the SystemApi passed in. One thread
// at a time per object; the resolved parent of the last name is kept open, so
// that entries of one directory, as kits list them, cost one call each.
#ifndef PLATFORM_BENEATH_DIR_H_
#define PLATFORM_BENEATH_DIR_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

#include "platform/file_operations.h"

class SystemApi;

class BeneathDir {
 public:
  explicit BeneathDir(SystemApi& sys) : sys_(sys) {}
  ~BeneathDir();
  BeneathDir(const BeneathDir&) = delete;
  BeneathDir& operator=(const BeneathDir&) = delete;

  // Opens the directory `path`, its last component followed when it is a
  // link unless `follow` is false. Returns 0, or -1 with errno (ENOTDIR
  // when it is no directory, ELOOP for a link not followed).
  int Open(const std::string& path, bool follow = true);
  void Close();
  bool is_open() const { return fd_ != -1; }
  // The directory's descriptor (O_RDONLY | O_DIRECTORY), for flock and
  // fstat; -1 when closed.
  int fd() const { return fd_; }
  SystemApi& sys() const { return sys_; }
  // The path it was opened with, without trailing slashes.
  const std::string& path() const { return path_; }

  // `relative` below are "/"-separated paths relative to the directory;
  // empty and "." components are ignored, so "" names the directory itself
  // where that makes sense (Stat, OpenDirectory).

  // openat of the last component with O_NOFOLLOW added.
  int OpenFile(const std::string& relative, int flags, mode_t mode);
  // fstatat; with `follow`, a link at the end is followed (beneath too).
  int Stat(const std::string& relative, struct stat* status, bool follow);
  int MakeDirectory(const std::string& relative, mode_t mode);
  int RemoveFile(const std::string& relative);
  int RemoveDirectory(const std::string& relative);
  int ReadLink(const std::string& relative, std::string* text);
  int MakeLink(const std::string& text, const std::string& relative);
  // Opens the directory `relative` (followed, beneath) with O_RDONLY |
  // O_DIRECTORY, for fsync and futimens. The caller closes it.
  int OpenDirectory(const std::string& relative);
  // Opens `relative` with `flags` (no O_CREAT; O_CLOEXEC is added), a link
  // at its end followed beneath the directory: EXDEV when one leads outside
  // (outside_link() names it), ELOOP for a loop, ENOENT when it leads to
  // nothing. The caller closes it.
  int OpenFollowed(const std::string& relative, int flags);
  // renameat from `from`/`from_relative` to `to`/`to_relative`.
  static int Rename(BeneathDir& from, const std::string& from_relative,
                    BeneathDir& to, const std::string& to_relative);

  // After a failure with EXDEV: the link (relative, as reached) that leads
  // outside the directory; `relative` itself when it climbs out with "..".
  const std::string& outside_link() const { return outside_link_; }

  // Turns off openat2 for this object, so that tests reach the walk that
  // older kernels get.
  void DisableOpenat2ForTesting() { openat2_ = false; }

 private:
  // A descriptor (O_PATH) of the directory that holds the last component of
  // `relative`, and that component in *name; -1 with errno on failure. The
  // descriptor belongs to the object (it is the cache) and stays valid until
  // the next call.
  int Parent(const std::string& relative, std::string* name);
  // A new descriptor of `relative` with its last link followed (or of the
  // directory itself for ""), opened with `flags` (O_PATH for a look only,
  // O_DIRECTORY for a directory); -1 with errno. The caller closes it.
  int Resolve(const std::string& relative, int flags);
  // The same by walking one component at a time.
  struct Walker;
  int Walk(const std::string& relative, int flags);
  void ForgetParent();

  SystemApi& sys_;
  int fd_ = -1;
  std::string path_;
  // The directory's path as the kernel sees it now, for absolute links.
  std::string real_path_;
  bool openat2_ = true;
  // The cache: the parent last resolved.
  std::string parent_relative_;
  int parent_fd_ = -1;
  std::string outside_link_;
};

// Makes a directory beneath `dir` with its missing parents (every level
// resolved beneath it, a link at the end followed beneath), each new level
// with `mode` less the umask. Subclasses record the levels they make.
class BeneathLevelMaker : public LevelMaker {
 public:
  explicit BeneathLevelMaker(BeneathDir& dir, mode_t mode = 0777)
      : dir_(dir), mode_(mode) {}

 protected:
  int StatLevel(const std::string& level, struct stat* status) override {
    return dir_.Stat(level, status, true);
  }
  int MakeLevel(const std::string& level) override {
    return dir_.MakeDirectory(level, mode_);
  }
  BeneathDir& dir() { return dir_; }

 private:
  BeneathDir& dir_;
  const mode_t mode_;
};

#endif  // PLATFORM_BENEATH_DIR_H_
