#include "platform/crash_recording.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>

namespace {

// The directory `dirfd` stands for, absolute; empty when unknown.
std::string DirectoryOf(int dirfd) {
  if (dirfd == AT_FDCWD) {
    char cwd[PATH_MAX];
    return getcwd(cwd, sizeof(cwd)) != nullptr ? cwd : "";
  }
  const std::string link = "/proc/self/fd/" + std::to_string(dirfd);
  char text[PATH_MAX];
  const ssize_t length = readlink(link.c_str(), text, sizeof(text));
  return length > 0 ? std::string(text, static_cast<size_t>(length)) : "";
}

// `path` relative to `dirfd` as an absolute name whose directory part has
// no links and no "." or ".." left; empty when it cannot be told.
std::string AbsoluteName(int dirfd, const char* path) {
  std::string full = path;
  if (full.empty()) return "";
  if (full[0] != '/') full = DirectoryOf(dirfd) + "/" + full;
  while (full.size() > 1 && full.back() == '/') full.pop_back();
  const size_t slash = full.rfind('/');
  const std::string name = full.substr(slash + 1);
  const std::string parent = slash == 0 ? "/" : full.substr(0, slash);
  char resolved[PATH_MAX];
  if (realpath(parent.c_str(), resolved) == nullptr) return "";
  const std::string base = resolved;
  return (base == "/" ? "" : base) + "/" + name;
}

std::string ParentName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool IsTmpFile(int flags) { return (flags & O_TMPFILE) == O_TMPFILE; }

// `size` bytes at `offset` of the file open on `fd`, which may be open
// for writing only: read through a descriptor of its own.
std::string ReadBack(int fd, off_t offset, size_t size) {
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  const int in = open(self.c_str(), O_RDONLY | O_CLOEXEC);
  std::string bytes(size, '\0');
  size_t done = 0;
  while (in != -1 && done < size) {
    const ssize_t got = pread(in, bytes.data() + done, size - done,
                              offset + static_cast<off_t>(done));
    if (got <= 0) break;
    done += static_cast<size_t>(got);
  }
  if (in != -1) close(in);
  bytes.resize(done);
  return bytes;
}

DiskChange Change(DiskChange::Kind kind, const std::string& path = "",
                  const std::string& to = "") {
  DiskChange change;
  change.kind = kind;
  change.path = path;
  change.to = to;
  return change;
}

}  // namespace

DiskLog CrashRecordingSystem::log() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return log_;
}

InodeId CrashRecordingSystem::IdOf(const struct stat& status, bool created) {
  const auto key = std::make_pair(static_cast<uint64_t>(status.st_dev),
                                  static_cast<uint64_t>(status.st_ino));
  uint32_t& generation = generations_[key];
  if (created) ++generation;
  return InodeId{key.first, key.second, generation};
}

InodeId CrashRecordingSystem::ParentOf(const std::string& path) {
  struct stat status;
  if (lstat(ParentName(path).c_str(), &status) != 0) return InodeId();
  return IdOf(status);
}

void CrashRecordingSystem::Fill(DiskChange* change,
                                const struct stat& status) {
  change->mode = status.st_mode & 07777;
  change->mtime = status.st_mtim;
  change->ctime = status.st_ctim;
}

template <typename OpenCall>
int CrashRecordingSystem::RecordOpen(int dirfd, const char* path, int flags,
                                     OpenCall open) {
  const bool creates = (flags & O_CREAT) != 0 && !IsTmpFile(flags);
  if (!creates && (flags & O_TRUNC) == 0) return open();
  std::lock_guard<std::mutex> lock(mutex_);
  const std::string name = AbsoluteName(dirfd, path);
  struct stat before;
  const bool existed = lstat(name.c_str(), &before) == 0;
  const int fd = open();
  struct stat after;
  if (fd < 0 || name.empty() || fstat(fd, &after) != 0 ||
      !S_ISREG(after.st_mode)) {
    return fd;
  }
  DiskChange change = Change(DiskChange::Kind::kCreateFile);
  if (existed) {
    if ((flags & O_TRUNC) == 0) return fd;
    change.kind = DiskChange::Kind::kTruncate;
    change.inode = IdOf(after);
  } else {
    change.kind = DiskChange::Kind::kCreateFile;
    change.inode = IdOf(after, true);
    change.parent = ParentOf(name);
  }
  change.path = name;
  Fill(&change, after);
  log_.push_back(std::move(change));
  return fd;
}

template <typename MakeCall>
int CrashRecordingSystem::RecordMade(DiskChange::Kind kind, int dirfd,
                                     const char* path, const std::string& text,
                                     MakeCall make) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::string name = AbsoluteName(dirfd, path);
  const int result = make();
  struct stat after;
  if (result != 0 || name.empty() || lstat(name.c_str(), &after) != 0) {
    return result;
  }
  DiskChange change = Change(kind, name, text);
  change.inode = IdOf(after, true);
  change.parent = ParentOf(name);
  Fill(&change, after);
  log_.push_back(std::move(change));
  return result;
}

template <typename RemoveCall>
int CrashRecordingSystem::RecordRemoved(DiskChange::Kind kind, int dirfd,
                                        const char* path, RemoveCall remove) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::string name = AbsoluteName(dirfd, path);
  struct stat before;
  const bool known = !name.empty() && lstat(name.c_str(), &before) == 0;
  const int result = remove();
  if (result != 0 || !known) return result;
  DiskChange change = Change(kind, name);
  change.inode = IdOf(before);
  change.parent = ParentOf(name);
  log_.push_back(std::move(change));
  return result;
}

template <typename RenameCall>
int CrashRecordingSystem::RecordRename(int from_dirfd, const char* from,
                                       int to_dirfd, const char* to,
                                       RenameCall rename) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::string old_name = AbsoluteName(from_dirfd, from);
  const std::string new_name = AbsoluteName(to_dirfd, to);
  struct stat before;
  const bool known = !old_name.empty() && !new_name.empty() &&
                     lstat(old_name.c_str(), &before) == 0;
  const int result = rename();
  struct stat after;
  if (result != 0 || !known || lstat(new_name.c_str(), &after) != 0) {
    return result;
  }
  DiskChange change = Change(DiskChange::Kind::kRename, old_name, new_name);
  change.inode = IdOf(before);
  change.parent = ParentOf(old_name);
  change.to_parent = ParentOf(new_name);
  Fill(&change, after);
  log_.push_back(std::move(change));
  return result;
}

template <typename WriteCall>
ssize_t CrashRecordingSystem::RecordWrite(int fd, off_t offset,
                                          const void* data, WriteCall write) {
  // Not under the lock: a write to a pipe may wait for its reader, and the
  // reader may be about to make a call that is logged.
  struct stat before;
  if (fstat(fd, &before) != 0 || !S_ISREG(before.st_mode) ||
      before.st_nlink == 0) {
    return write();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (offset < 0) {
    const int flags = fcntl(fd, F_GETFL);
    offset = flags != -1 && (flags & O_APPEND) != 0 ? before.st_size
                                                     : lseek(fd, 0, SEEK_CUR);
  }
  const ssize_t written = write();
  struct stat after;
  if (written <= 0 || offset < 0 || fstat(fd, &after) != 0) return written;
  DiskChange change = Change(DiskChange::Kind::kWrite);
  change.inode = IdOf(after);
  change.offset = static_cast<uint64_t>(offset);
  if (data != nullptr) {
    change.bytes.assign(static_cast<const char*>(data),
                        static_cast<size_t>(written));
  } else {
    change.bytes = ReadBack(fd, offset, static_cast<size_t>(written));
  }
  Fill(&change, after);
  log_.push_back(std::move(change));
  return written;
}

void CrashRecordingSystem::LogAttributes(DiskChange::Kind kind, int fd,
                                         uint64_t offset) {
  struct stat after;
  if (fstat(fd, &after) != 0 || S_ISLNK(after.st_mode)) return;
  DiskChange change = Change(kind);
  change.inode = IdOf(after);
  change.offset = offset;
  Fill(&change, after);
  log_.push_back(std::move(change));
}

int CrashRecordingSystem::RecordFlush(DiskChange::Kind kind, int fd,
                                      int result) {
  struct stat status;
  if (result != 0 || fstat(fd, &status) != 0) return result;
  DiskChange change = Change(kind);
  change.inode = IdOf(status);
  log_.push_back(std::move(change));
  return result;
}

int CrashRecordingSystem::Open(const char* path, int flags, mode_t mode) {
  return RecordOpen(AT_FDCWD, path, flags,
                    [&] { return base().Open(path, flags, mode); });
}

int CrashRecordingSystem::OpenAt(int dirfd, const char* path, int flags,
                                 mode_t mode) {
  return RecordOpen(dirfd, path, flags,
                    [&] { return base().OpenAt(dirfd, path, flags, mode); });
}

int CrashRecordingSystem::OpenAt2(int dirfd, const char* path, int flags,
                                  mode_t mode, uint64_t resolve) {
  return RecordOpen(dirfd, path, flags, [&] {
    return base().OpenAt2(dirfd, path, flags, mode, resolve);
  });
}

int CrashRecordingSystem::MakeTemp(char* path_template) {
  std::lock_guard<std::mutex> lock(mutex_);
  const int fd = base().MakeTemp(path_template);
  struct stat after;
  if (fd < 0 || fstat(fd, &after) != 0) return fd;
  const std::string name = AbsoluteName(AT_FDCWD, path_template);
  if (name.empty()) return fd;
  DiskChange change = Change(DiskChange::Kind::kCreateFile, name);
  change.inode = IdOf(after, true);
  change.parent = ParentOf(name);
  Fill(&change, after);
  log_.push_back(std::move(change));
  return fd;
}

ssize_t CrashRecordingSystem::Write(int fd, const void* buffer, size_t count) {
  return RecordWrite(fd, -1, buffer,
                     [&] { return base().Write(fd, buffer, count); });
}

ssize_t CrashRecordingSystem::PWrite(int fd, const void* buffer, size_t count,
                                     off_t offset) {
  return RecordWrite(fd, offset, buffer, [&] {
    return base().PWrite(fd, buffer, count, offset);
  });
}

ssize_t CrashRecordingSystem::CopyFileRange(int fd_in, off_t* offset_in,
                                            int fd_out, off_t* offset_out,
                                            size_t count) {
  return RecordWrite(fd_out, offset_out != nullptr ? *offset_out : -1,
                     nullptr, [&] {
    return base().CopyFileRange(fd_in, offset_in, fd_out, offset_out, count);
  });
}

int CrashRecordingSystem::Ftruncate(int fd, off_t length) {
  std::lock_guard<std::mutex> lock(mutex_);
  const int result = base().Ftruncate(fd, length);
  if (result == 0) {
    LogAttributes(DiskChange::Kind::kTruncate, fd,
                  static_cast<uint64_t>(length));
  }
  return result;
}

int CrashRecordingSystem::Futimens(int fd, const struct timespec times[2]) {
  std::lock_guard<std::mutex> lock(mutex_);
  const int result = base().Futimens(fd, times);
  if (result == 0) LogAttributes(DiskChange::Kind::kTimes, fd, 0);
  return result;
}

int CrashRecordingSystem::Fchmod(int fd, mode_t mode) {
  std::lock_guard<std::mutex> lock(mutex_);
  const int result = base().Fchmod(fd, mode);
  if (result == 0) LogAttributes(DiskChange::Kind::kChmod, fd, 0);
  return result;
}

int CrashRecordingSystem::Fsync(int fd) {
  std::lock_guard<std::mutex> lock(mutex_);
  return RecordFlush(DiskChange::Kind::kFsync, fd, base().Fsync(fd));
}

int CrashRecordingSystem::Fdatasync(int fd) {
  std::lock_guard<std::mutex> lock(mutex_);
  return RecordFlush(DiskChange::Kind::kFsync, fd, base().Fdatasync(fd));
}

int CrashRecordingSystem::Syncfs(int fd) {
  std::lock_guard<std::mutex> lock(mutex_);
  return RecordFlush(DiskChange::Kind::kSyncfs, fd, base().Syncfs(fd));
}

int CrashRecordingSystem::Mkdir(const char* path, mode_t mode) {
  return RecordMade(DiskChange::Kind::kMkdir, AT_FDCWD, path, "",
                    [&] { return base().Mkdir(path, mode); });
}

int CrashRecordingSystem::MkdirAt(int dirfd, const char* path, mode_t mode) {
  return RecordMade(DiskChange::Kind::kMkdir, dirfd, path, "",
                    [&] { return base().MkdirAt(dirfd, path, mode); });
}

int CrashRecordingSystem::Symlink(const char* target, const char* path) {
  return RecordMade(DiskChange::Kind::kSymlink, AT_FDCWD, path, target,
                    [&] { return base().Symlink(target, path); });
}

int CrashRecordingSystem::SymlinkAt(const char* target, int dirfd,
                                    const char* path) {
  return RecordMade(DiskChange::Kind::kSymlink, dirfd, path, target,
                    [&] { return base().SymlinkAt(target, dirfd, path); });
}

int CrashRecordingSystem::Rename(const char* from, const char* to) {
  return RecordRename(AT_FDCWD, from, AT_FDCWD, to,
                      [&] { return base().Rename(from, to); });
}

int CrashRecordingSystem::RenameAt(int from_dirfd, const char* from,
                                   int to_dirfd, const char* to) {
  return RecordRename(from_dirfd, from, to_dirfd, to, [&] {
    return base().RenameAt(from_dirfd, from, to_dirfd, to);
  });
}

int CrashRecordingSystem::Unlink(const char* path) {
  return RecordRemoved(DiskChange::Kind::kUnlink, AT_FDCWD, path,
                       [&] { return base().Unlink(path); });
}

int CrashRecordingSystem::Rmdir(const char* path) {
  return RecordRemoved(DiskChange::Kind::kRmdir, AT_FDCWD, path,
                       [&] { return base().Rmdir(path); });
}

int CrashRecordingSystem::UnlinkAt(int dirfd, const char* path, int flags) {
  return RecordRemoved((flags & AT_REMOVEDIR) != 0 ? DiskChange::Kind::kRmdir
                                                   : DiskChange::Kind::kUnlink,
                       dirfd, path,
                       [&] { return base().UnlinkAt(dirfd, path, flags); });
}
