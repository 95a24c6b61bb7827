#include "platform/file_operations.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/beneath_dir.h"
#include "platform/narrow_path.h"
#include "platform/system_api.h"
#include "text/text_conversion.h"

namespace {

// Paths are handled as std::string inside this file; the system takes bytes.
std::string Narrow(const WideString& path) { return ToNarrow(path).c_str(); }

WideString Wide(const std::string& path) {
  return ToWide(NarrowString(path.c_str()));
}

std::string Join(const std::string& directory, const std::string& name) {
  if (!directory.empty() && directory.back() == '/') return directory + name;
  return directory + "/" + name;
}

std::string BaseName(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool IsDirectory(const std::string& path) {
  struct stat status;
  return Sys().Stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

std::string TempDirectoryNarrow() {
  const char* from_environment = std::getenv("TMPDIR");
  std::string directory = "/tmp";
  if (from_environment != nullptr && IsDirectory(from_environment)) {
    directory = from_environment;
  }
  if (directory.back() != '/') directory += '/';
  return directory;
}

bool MakeDirectories(const std::string& path) {
  if (path.empty()) return false;
  if (Sys().Mkdir(path.c_str(), 0777) == 0) return true;
  int error = errno;
  // Whatever mkdir said (exists, read-only file system, no permission on the
  // parent), a directory already there is what was asked for.
  if (IsDirectory(path)) return true;
  if (error != ENOENT) return false;
  std::string parent = ParentOf(path);
  if (parent.empty() || parent == "/" || !MakeDirectories(parent)) {
    return false;
  }
  if (Sys().Mkdir(path.c_str(), 0777) == 0) return true;
  return errno == EEXIST && IsDirectory(path);
}

// The names in `directory` other than "." and "..". Read whole before the
// caller changes anything, so that removing or adding entries cannot disturb
// the listing, and so that deep trees do not hold one stream per level.
bool ListNames(const std::string& directory, std::vector<std::string>* names) {
  DIR* dir = Sys().OpenDir(directory.c_str());
  if (dir == nullptr) return false;
  bool ok = true;
  for (;;) {
    errno = 0;
    struct dirent* entry = Sys().ReadDir(dir);
    if (entry == nullptr) {
      ok = errno == 0;
      break;
    }
    std::string name = entry->d_name;
    if (name != "." && name != "..") names->push_back(name);
  }
  Sys().CloseDir(dir);
  return ok;
}

// Removes `path` without following links. True when nothing is left.
bool RemoveTreeNoFollow(const std::string& path) {
  struct stat status;
  if (Sys().Lstat(path.c_str(), &status) == -1) return errno == ENOENT;
  if (!S_ISDIR(status.st_mode)) {
    return Sys().Unlink(path.c_str()) == 0 || errno == ENOENT;
  }
  std::vector<std::string> names;
  bool ok = ListNames(path, &names);
  for (const std::string& name : names) {
    ok = RemoveTreeNoFollow(Join(path, name)) && ok;
  }
  return Sys().Rmdir(path.c_str()) == 0 && ok;
}

bool IsCopyRangeUnsupported(int error) {
  return error == EXDEV || error == ENOSYS || error == EINVAL ||
         error == EOPNOTSUPP;
}

bool WriteAll(int fd, const char* data, size_t count) {
  while (count > 0) {
    ssize_t n = Sys().Write(fd, data, count);
    if (n <= 0) return false;
    data += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

bool CopyBytes(int in, int out) {
  // The kernel copies without a trip through user space where it can; both
  // positions advance, so the plain loop below can take over at any point.
  for (;;) {
    ssize_t n = Sys().CopyFileRange(in, nullptr, out, nullptr, 1 << 30);
    if (n == 0) return true;
    if (n > 0) continue;
    if (!IsCopyRangeUnsupported(errno)) return false;
    break;
  }
  constexpr size_t kBufferSize = 128 * 1024;
  std::unique_ptr<char[]> buffer(new char[kBufferSize]);
  for (;;) {
    ssize_t n = Sys().Read(in, buffer.get(), kBufferSize);
    if (n == 0) return true;
    if (n < 0 || !WriteAll(out, buffer.get(), static_cast<size_t>(n))) {
      return false;
    }
  }
}

// Gives `fd` the owner, mode and times of `status`. The owner is kept where
// the process may set it (as mv does); a refused owner change is not a
// failure, a refused mode or time change is.
bool ApplyAttributes(int fd, const struct stat& status) {
  Sys().Fchown(fd, status.st_uid, status.st_gid);
  if (Sys().Fchmod(fd, status.st_mode & 07777) == -1) return false;
  struct timespec times[2] = {status.st_atim, status.st_mtim};
  return Sys().Futimens(fd, times) == 0;
}

// Copies the regular file `from` into the open, empty `out`.
bool CopyRegularFile(const std::string& from, const struct stat& status,
                     int out) {
  int in = Sys().Open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC, 0);
  if (in == -1) return false;
  bool ok = CopyBytes(in, out);
  Sys().Close(in);
  return ok && ApplyAttributes(out, status);
}

bool CopySymlink(const std::string& from, const struct stat& status,
                 const std::string& to) {
  // st_size is the link text's length, except on pseudo file systems that
  // report 0; a result that fills the buffer may have been cut.
  size_t size =
      status.st_size > 0 ? static_cast<size_t>(status.st_size) + 1 : 4096;
  std::vector<char> text(size);
  ssize_t length = Sys().Readlink(from.c_str(), text.data(), size);
  if (length < 0 || static_cast<size_t>(length) >= size) return false;
  text[static_cast<size_t>(length)] = '\0';
  return Sys().Symlink(text.data(), to.c_str()) == 0;
}

bool CopyEntry(const std::string& from, const struct stat& status,
               const std::string& to);

// Copies the entries of the directory `from` into the directory `to`, just
// made; mode and times are set last, since adding entries changes the times
// and a read-only mode would stop the copy.
bool FillDirectory(const std::string& from, const struct stat& status,
                   const std::string& to) {
  std::vector<std::string> names;
  if (!ListNames(from, &names)) return false;
  for (const std::string& name : names) {
    std::string child = Join(from, name);
    struct stat child_status;
    if (Sys().Lstat(child.c_str(), &child_status) == -1 ||
        !CopyEntry(child, child_status, Join(to, name))) {
      return false;
    }
  }
  int fd = Sys().Open(to.c_str(),
                      O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0);
  if (fd == -1) return false;
  bool ok = ApplyAttributes(fd, status);
  return Sys().Close(fd) == 0 && ok;
}

bool CopyEntry(const std::string& from, const struct stat& status,
               const std::string& to) {
  if (S_ISDIR(status.st_mode)) {
    return Sys().Mkdir(to.c_str(), 0700) == 0 &&
           FillDirectory(from, status, to);
  }
  if (S_ISLNK(status.st_mode)) return CopySymlink(from, status, to);
  if (!S_ISREG(status.st_mode)) return false;
  int out = Sys().Open(
      to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (out == -1) return false;
  bool ok = CopyRegularFile(from, status, out);
  // A failed close can be the first news of a failed write-back.
  return Sys().Close(out) == 0 && ok;
}

// A file or link replaces `to` in one step: it is made under a fresh name
// beside `to` and renamed over it, so a failed copy leaves `to` as it was.
bool CopyReplacing(const std::string& from, const struct stat& status,
                   const std::string& to) {
  std::string parent = ParentOf(WithoutTrailingSlashes(to));
  std::string name = Join(parent.empty() ? "." : parent, ".move-XXXXXX");
  std::vector<char> temp(name.begin(), name.end());
  temp.push_back('\0');
  int out = Sys().MakeTemp(temp.data());
  if (out == -1) return false;
  bool ok;
  if (S_ISLNK(status.st_mode)) {
    // The fresh file only reserves a unique name for the link.
    ok = Sys().Close(out) == 0 && Sys().Unlink(temp.data()) == 0 &&
         CopySymlink(from, status, temp.data());
  } else {
    ok = CopyRegularFile(from, status, out);
    ok = Sys().Close(out) == 0 && ok;
  }
  ok = ok && Sys().Rename(temp.data(), to.c_str()) == 0;
  if (!ok) Sys().Unlink(temp.data());
  return ok;
}

bool MoveAcrossFileSystems(const std::string& from, const std::string& to) {
  struct stat status;
  if (Sys().Lstat(from.c_str(), &status) == -1) return false;
  if (S_ISREG(status.st_mode) || S_ISLNK(status.st_mode)) {
    if (!CopyReplacing(from, status, to)) return false;
    return Sys().Unlink(from.c_str()) == 0;
  }
  if (!S_ISDIR(status.st_mode)) return false;
  // An existing `to` is not merged into; a half-made copy is removed again.
  if (Sys().Mkdir(to.c_str(), 0700) == -1) return false;
  if (!FillDirectory(from, status, to)) {
    RemoveTreeNoFollow(to);
    return false;
  }
  return RemoveTreeNoFollow(from);
}

// The copy half of MoveBeneath: `relative` beneath `from`, a file or a link
// described by `status`, becomes `to_relative` beneath `to`.
bool CopyBeneath(BeneathDir& from, const std::string& relative,
                 const struct stat& status, BeneathDir& to,
                 const std::string& to_relative) {
  const std::string parent = ParentOf(WithoutTrailingSlashes(to_relative));
  std::string temp;
  bool ok = false;
  for (int attempt = 0; attempt < 100 && temp.empty(); ++attempt) {
    // Unique within the process; a name taken by someone else is skipped.
    static std::atomic<unsigned> counter{0};
    char suffix[40];
    std::snprintf(suffix, sizeof(suffix), ".move-%x-%x",
                  static_cast<unsigned>(getpid()), counter.fetch_add(1));
    const std::string name = parent.empty() ? suffix : parent + "/" + suffix;
    if (S_ISLNK(status.st_mode)) {
      std::string text;
      if (from.ReadLink(relative, &text) != 0) return false;
      if (to.MakeLink(text, name) == 0) {
        temp = name;
        ok = true;
      } else if (errno != EEXIST) {
        return false;
      }
      continue;
    }
    const int out = to.OpenFile(name, O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (out == -1) {
      if (errno != EEXIST) return false;
      continue;
    }
    temp = name;
    const int in = from.OpenFile(relative, O_RDONLY, 0);
    ok = in != -1 && CopyBytes(in, out) && ApplyAttributes(out, status);
    if (in != -1) Sys().Close(in);
    ok = Sys().Close(out) == 0 && ok;
  }
  if (temp.empty()) return false;
  ok = ok && BeneathDir::Rename(to, temp, to, to_relative) == 0;
  if (!ok) {
    const int error = errno;
    to.RemoveFile(temp);
    errno = error;
  }
  return ok;
}

}  // namespace

ErrorCode MoveBeneath(BeneathDir& from, const std::string& from_relative,
                      BeneathDir& to, const std::string& to_relative) {
  if (BeneathDir::Rename(from, from_relative, to, to_relative) == 0) {
    return kSuccess;
  }
  if (errno != EXDEV || !from.outside_link().empty() ||
      !to.outside_link().empty()) {
    return kErrorFileNotFound;
  }
  struct stat status;
  if (from.Stat(from_relative, &status, false) != 0) return kErrorFileNotFound;
  if (!S_ISREG(status.st_mode) && !S_ISLNK(status.st_mode)) {
    errno = EXDEV;
    return kErrorFileNotFound;
  }
  if (!CopyBeneath(from, from_relative, status, to, to_relative)) {
    return kErrorFileNotFound;
  }
  return from.RemoveFile(from_relative) == 0 ? kSuccess : kErrorFileNotFound;
}

ErrorCode GetTempDirectory(WideString* directory) {
  if (directory == nullptr) return kErrorInvalidParameter;
  *directory = Wide(TempDirectoryNarrow());
  return kSuccess;
}

ErrorCode GetFreeSpace(uint64_t* free_bytes, int* system_error) {
  if (free_bytes == nullptr) return kErrorInvalidParameter;
  *free_bytes = 0;
  if (system_error != nullptr) *system_error = 0;
  struct statvfs status;
  if (Sys().Statvfs(TempDirectoryNarrow().c_str(), &status) == 0) {
    *free_bytes = static_cast<uint64_t>(status.f_bfree) *
                  static_cast<uint64_t>(status.f_frsize);
  } else if (system_error != nullptr) {
    *system_error = errno;
  }
  return kSuccess;
}

ErrorCode MakeTempFile(const WideString& directory, const WideString& prefix,
                       WideString* path) {
  if (path == nullptr) return kErrorInvalidParameter;
  *path = WideString();
  std::string narrow_prefix = Narrow(prefix);
  if (narrow_prefix.find('/') != std::string::npos) {
    return kErrorTempFileNotCreated;
  }
  std::string narrow_directory = Narrow(directory);
  if (narrow_directory.empty()) narrow_directory = TempDirectoryNarrow();
  std::string name = Join(narrow_directory, narrow_prefix + "XXXXXX");
  std::vector<char> buffer(name.begin(), name.end());
  buffer.push_back('\0');
  int fd = Sys().MakeTemp(buffer.data());
  if (fd == -1) return kErrorTempFileNotCreated;
  if (Sys().Close(fd) == -1) {
    Sys().Unlink(buffer.data());
    return kErrorTempFileNotCreated;
  }
  *path = Wide(buffer.data());
  return kSuccess;
}

std::string NearestExistingDirectory(std::string path) {
  for (;;) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    struct stat status;
    if (Sys().Stat(path.c_str(), &status) == 0) {
      if (S_ISDIR(status.st_mode)) return path;
      errno = ENOTDIR;
      return std::string();
    }
    // ENOTDIR: a file stands where a directory would have to be made.
    if (errno != ENOENT) return std::string();
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
      path.assign(1, '.');
    } else {
      path.resize(slash == 0 ? 1 : slash);  // "/name" leaves "/"
    }
  }
}

ErrorCode RunMakeDirectory(const WideString& path) {
  return MakeDirectories(WithoutTrailingSlashes(Narrow(path)))
             ? kSuccess
             : kErrorFileNotFound;
}

ErrorCode RunMove(const WideString& source, const WideString& target) {
  std::string from = Narrow(source);
  std::string to = Narrow(target);
  if (from.empty() || to.empty()) return kErrorFileNotFound;
  if (IsDirectory(to)) {
    to = Join(WithoutTrailingSlashes(to),
              BaseName(WithoutTrailingSlashes(from)));
  }
  if (Sys().Rename(from.c_str(), to.c_str()) == 0) return kSuccess;
  if (errno != EXDEV) return kErrorFileNotFound;
  return MoveAcrossFileSystems(from, to) ? kSuccess : kErrorFileNotFound;
}

ErrorCode RunRemoveTree(const WideString& path) {
  std::string narrow = WithoutTrailingSlashes(Narrow(path));
  std::string base = BaseName(narrow);
  if (narrow.empty() || narrow == "/" || base == "." || base == "..") {
    return kSuccess;
  }
  RemoveTreeNoFollow(narrow);
  return kSuccess;
}

ErrorCode RunRemoveFile(const WideString& path) {
  std::string narrow = Narrow(path);
  if (narrow.empty()) return kSuccess;
  // The callers remove files of their own (a probe, an inflated kit) and
  // cannot do anything about a failure; one more try gets past a passing
  // one, so that such a file does not outlive its use.
  if (Sys().Unlink(narrow.c_str()) != 0 && errno != ENOENT &&
      errno != EISDIR && errno != ENOTDIR) {
    Sys().Unlink(narrow.c_str());
  }
  return kSuccess;
}
