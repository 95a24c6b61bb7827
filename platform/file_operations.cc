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

namespace {

std::string Join(const std::string& directory, const std::string& name) {
  if (!directory.empty() && directory.back() == '/') return directory + name;
  return directory + "/" + name;
}

std::string BaseName(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool IsDirectory(SystemApi& sys, const std::string& path) {
  struct stat status;
  return sys.Stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// The names in `directory` other than "." and "..". Read whole before the
// caller changes anything, so that removing or adding entries cannot disturb
// the listing, and so that deep trees do not hold one stream per level.
bool ListNames(SystemApi& sys, const std::string& directory,
               std::vector<std::string>* names) {
  DIR* dir = sys.OpenDir(directory.c_str());
  if (dir == nullptr) return false;
  bool ok = true;
  for (;;) {
    errno = 0;
    struct dirent* entry = sys.ReadDir(dir);
    if (entry == nullptr) {
      ok = errno == 0;
      break;
    }
    std::string name = entry->d_name;
    if (name != "." && name != "..") names->push_back(name);
  }
  sys.CloseDir(dir);
  return ok;
}

// Removes `path` without following links. True when nothing is left.
bool RemoveTreeNoFollow(SystemApi& sys, const std::string& path) {
  struct stat status;
  if (sys.Lstat(path.c_str(), &status) == -1) return errno == ENOENT;
  if (!S_ISDIR(status.st_mode)) {
    return sys.Unlink(path.c_str()) == 0 || errno == ENOENT;
  }
  std::vector<std::string> names;
  bool ok = ListNames(sys, path, &names);
  for (const std::string& name : names) {
    ok = RemoveTreeNoFollow(sys, Join(path, name)) && ok;
  }
  return sys.Rmdir(path.c_str()) == 0 && ok;
}

bool IsCopyRangeUnsupported(int error) {
  return error == EXDEV || error == ENOSYS || error == EINVAL ||
         error == EOPNOTSUPP;
}

bool CopyBytes(SystemApi& sys, int in, int out) {
  // The kernel copies without a trip through user space where it can; both
  // positions advance, so the plain loop below can take over at any point.
  for (;;) {
    ssize_t n = sys.CopyFileRange(in, nullptr, out, nullptr, 1 << 30);
    if (n == 0) return true;
    if (n > 0) continue;
    if (!IsCopyRangeUnsupported(errno)) return false;
    break;
  }
  constexpr size_t kBufferSize = 128 * 1024;
  std::unique_ptr<char[]> buffer(new char[kBufferSize]);
  for (;;) {
    ssize_t n = sys.Read(in, buffer.get(), kBufferSize);
    if (n == 0) return true;
    if (n < 0 || !WriteAll(sys, out, buffer.get(), static_cast<size_t>(n)).ok()) {
      return false;
    }
  }
}

// Gives `fd` the owner, mode and times of `status`. The owner is kept where
// the process may set it (as mv does); a refused owner change is not a
// failure, a refused mode or time change is.
bool ApplyAttributes(SystemApi& sys, int fd, const struct stat& status) {
  sys.Fchown(fd, status.st_uid, status.st_gid);
  if (sys.Fchmod(fd, status.st_mode & 07777) == -1) return false;
  struct timespec times[2] = {status.st_atim, status.st_mtim};
  return sys.Futimens(fd, times) == 0;
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
                  static_cast<unsigned>(to.sys().GetPid()),
                  counter.fetch_add(1));
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
    SystemApi& sys = to.sys();
    ok = in != -1 && CopyBytes(sys, in, out) &&
         ApplyAttributes(sys, out, status);
    const int error = errno;
    if (in != -1) sys.Close(in);
    ok = sys.Close(out) == 0 && ok;
    if (!ok && errno == 0) errno = error;
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

// The part file of ReplaceFile: a fresh name beside `path`.
int CreatePartFile(SystemApi& sys, const std::string& path,
                   std::string* part_path) {
  int fd = -1;
  for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
    *part_path = path + ".part" + std::to_string(sys.GetPid()) + "-" +
                 std::to_string(attempt);
    fd = sys.Open(part_path->c_str(),
                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  return fd;
}

}  // namespace

Status CurrentDirectory(SystemApi& sys, std::string* path) {
  path->clear();
  std::vector<char> buffer(4096);
  while (sys.Getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno == ERANGE && buffer.size() < (size_t{1} << 20)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    const int error = errno;
    std::string known;
    char link[4096];
    const ssize_t length = sys.Readlink("/proc/self/cwd", link, sizeof(link));
    if (length > 0 && static_cast<size_t>(length) < sizeof(link)) {
      known.assign(link, static_cast<size_t>(length));
      const std::string deleted = " (deleted)";
      if (known.size() > deleted.size() &&
          known.compare(known.size() - deleted.size(), deleted.size(),
                        deleted) == 0) {
        known.resize(known.size() - deleted.size());
      }
    }
    return Status::Of(Status::Kind::kNoCurrentDirectory, known, error);
  }
  *path = buffer.data();
  return Status::Ok();
}

std::string GetTempDirectory(SystemApi& sys) {
  const char* from_environment = std::getenv("TMPDIR");
  std::string directory = "/tmp";
  if (from_environment != nullptr && IsDirectory(sys, from_environment)) {
    directory = from_environment;
  }
  if (directory.back() != '/') directory += '/';
  return directory;
}

Status GetFreeSpace(SystemApi& sys, uint64_t* free_bytes) {
  *free_bytes = 0;
  const std::string temp = GetTempDirectory(sys);
  struct statvfs status;
  if (sys.Statvfs(temp.c_str(), &status) != 0) {
    return Status::System(errno, WithoutTrailingSlashes(temp));
  }
  *free_bytes = static_cast<uint64_t>(status.f_bfree) *
                static_cast<uint64_t>(status.f_frsize);
  return Status::Ok();
}

Status MakeTempFile(SystemApi& sys, const std::string& directory,
                    const std::string& prefix, std::string* path) {
  path->clear();
  const std::string where =
      directory.empty() ? GetTempDirectory(sys) : directory;
  const Status refused = Status::Of(Status::Kind::kNoTempFile,
                                    WithoutTrailingSlashes(where));
  if (prefix.find('/') != std::string::npos) return refused;
  std::string name = Join(where, prefix + "XXXXXX");
  std::vector<char> buffer(name.begin(), name.end());
  buffer.push_back('\0');
  const int fd = sys.MakeTemp(buffer.data());
  if (fd == -1) return Status::Of(Status::Kind::kNoTempFile,
                                  WithoutTrailingSlashes(where), errno);
  if (sys.Close(fd) == -1) {
    const int error = errno;
    sys.Unlink(buffer.data());
    return Status::Of(Status::Kind::kNoTempFile, WithoutTrailingSlashes(where),
                      error);
  }
  *path = buffer.data();
  return Status::Ok();
}

std::string NearestExistingDirectory(SystemApi& sys, std::string path) {
  for (;;) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    struct stat status;
    if (sys.Stat(path.c_str(), &status) == 0) {
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

Status LevelMaker::Make(const std::string& given) {
  const std::string path = WithoutTrailingSlashes(given);
  if (path.empty() || path == "/" || path == "." || Known(path)) {
    return Status::Ok();
  }
  struct stat status;
  if (StatLevel(path, &status) == 0) {
    if (!S_ISDIR(status.st_mode)) return Status::System(ENOTDIR, path);
    Found(path);
    return Status::Ok();
  }
  // A missing level, or a file somewhere above: the parents first, which
  // also finds the file in the way.
  if (errno != ENOENT && errno != ENOTDIR) return Status::System(errno, path);
  TQ_RETURN_IF_ERROR(Make(ParentOf(path)));
  TQ_RETURN_IF_ERROR(BeforeMake(path));
  if (MakeLevel(path) == 0) {
    AfterMake(path, true);
    return Status::Ok();
  }
  const int error = errno;
  AfterMake(path, false);
  // Made by someone else meanwhile: a directory is what was asked for.
  if (error == EEXIST && StatLevel(path, &status) == 0 &&
      S_ISDIR(status.st_mode)) {
    Found(path);
    return Status::Ok();
  }
  return Status::System(error, path);
}

Status MakeDirectories(SystemApi& sys, const std::string& path, mode_t mode) {
  class Plain : public LevelMaker {
   public:
    Plain(SystemApi& sys, mode_t mode) : sys_(sys), mode_(mode) {}

   protected:
    int StatLevel(const std::string& level, struct stat* status) override {
      return sys_.Stat(level.c_str(), status);
    }
    int MakeLevel(const std::string& level) override {
      return sys_.Mkdir(level.c_str(), mode_);
    }

   private:
    SystemApi& sys_;
    const mode_t mode_;
  };
  if (path.empty()) return Status::System(ENOENT, path);
  return Plain(sys, mode).Make(path);
}

Status WriteAll(SystemApi& sys, int fd, const void* data, size_t size,
                off_t offset, size_t* written) {
  const char* next = static_cast<const char*>(data);
  size_t done = 0;
  Status status;
  while (done < size) {
    const ssize_t n =
        offset < 0 ? sys.Write(fd, next + done, size - done)
                   : sys.PWrite(fd, next + done, size - done,
                                offset + static_cast<off_t>(done));
    if (n <= 0) {
      status = Status::System(n < 0 ? errno : ENOSPC);
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (written != nullptr) *written = done;
  return status;
}

Status ReplaceFile(SystemApi& sys, const std::string& path,
                   const std::function<Status(int fd)>& write,
                   std::optional<mode_t> mode,
                   const std::function<bool()>& stopped) {
  std::string part;
  const int fd = CreatePartFile(sys, path, &part);
  if (fd < 0) return Status::System(errno, part);
  Status status = write(fd);
  if (status.ok() && mode.has_value() && sys.Fchmod(fd, *mode) != 0) {
    status = Status::System(errno, part);
  }
  if (status.ok() && sys.Fsync(fd) != 0) status = Status::System(errno, part);
  // A failed close can be the first news of a failed write-back.
  if (sys.Close(fd) != 0 && status.ok()) status = Status::System(errno, part);
  // The last moment to stop: after the rename the new file is there.
  if (status.ok() && stopped && stopped()) {
    status = Status::Of(Status::Kind::kCancelled, path);
  }
  if (status.ok() && sys.Rename(part.c_str(), path.c_str()) != 0) {
    status = Status::System(errno, path);
  }
  if (!status.ok()) {
    sys.Unlink(part.c_str());
    return std::move(status).WithPathIfNone(part);
  }
  // The file is replaced already; a directory that cannot be flushed only
  // leaves the rename to the next write-back.
  (void)SyncDirectory(sys, ParentOf(path).empty() ? "." : ParentOf(path));
  return Status::Ok();
}

namespace {

// The rest of ReadSmallFile once `fd` is open; closes it.
Status ReadSmallOpenFile(SystemApi& sys, int fd, const std::string& path,
                         std::string* out, size_t limit) {
  struct stat status;
  Status result;
  if (sys.Fstat(fd, &status) != 0) {
    result = Status::System(errno, path);
  } else if (!S_ISREG(status.st_mode)) {
    result = Status::System(S_ISDIR(status.st_mode) ? EISDIR : EINVAL, path);
  } else if (static_cast<uint64_t>(status.st_size) > limit) {
    result = Status::System(EFBIG, path);
  }
  char buffer[4096];
  while (result.ok()) {
    const ssize_t got = sys.Read(fd, buffer, sizeof(buffer));
    if (got < 0) {
      result = Status::System(errno, path);
    } else if (got == 0) {
      break;
    } else if (out->size() + static_cast<size_t>(got) > limit) {
      result = Status::System(EFBIG, path);
    } else {
      out->append(buffer, static_cast<size_t>(got));
    }
  }
  sys.Close(fd);
  if (!result.ok()) out->clear();
  return result;
}

// Never blocks in open: a FIFO without a writer, or a device, at the path.
constexpr int kSmallFileFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

}  // namespace

Status ReadSmallFile(SystemApi& sys, const std::string& path, std::string* out,
                     size_t limit, bool follow) {
  out->clear();
  const int fd = sys.Open(path.c_str(),
                          kSmallFileFlags | (follow ? 0 : O_NOFOLLOW), 0);
  if (fd == -1) return Status::System(errno, path);
  return ReadSmallOpenFile(sys, fd, path, out, limit);
}

Status ReadSmallFileBeneath(BeneathDir& dir, const std::string& relative,
                            std::string* out, size_t limit) {
  out->clear();
  const std::string path = Join(dir.path(), relative);
  const int fd = dir.OpenFollowed(relative, kSmallFileFlags);
  if (fd == -1) return Status::System(errno, path);
  return ReadSmallOpenFile(dir.sys(), fd, path, out, limit);
}

Status SyncDirectory(SystemApi& sys, const std::string& path) {
  const int fd = sys.Open(path.c_str(),
                          O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0);
  if (fd == -1) return Status::System(errno, path);
  Status status;
  if (sys.Fsync(fd) != 0) status = Status::System(errno, path);
  sys.Close(fd);
  return status;
}

Status MoveBeneath(BeneathDir& from, const std::string& from_relative,
                   BeneathDir& to, const std::string& to_relative) {
  if (BeneathDir::Rename(from, from_relative, to, to_relative) == 0) {
    return Status::Ok();
  }
  if (errno != EXDEV || !from.outside_link().empty() ||
      !to.outside_link().empty()) {
    return Status::System(errno);
  }
  struct stat status;
  if (from.Stat(from_relative, &status, false) != 0) {
    return Status::System(errno);
  }
  if (!S_ISREG(status.st_mode) && !S_ISLNK(status.st_mode)) {
    return Status::System(EXDEV);
  }
  if (!CopyBeneath(from, from_relative, status, to, to_relative)) {
    return Status::System(errno);
  }
  if (from.RemoveFile(from_relative) != 0) return Status::System(errno);
  return Status::Ok();
}

bool RemoveTree(SystemApi& sys, const std::string& given) {
  const std::string path = WithoutTrailingSlashes(given);
  const std::string base = BaseName(path);
  if (path.empty() || path == "/" || base == "." || base == "..") return false;
  return RemoveTreeNoFollow(sys, path);
}

void RemoveFile(SystemApi& sys, const std::string& path) {
  if (path.empty()) return;
  if (sys.Unlink(path.c_str()) != 0 && errno != ENOENT && errno != EISDIR &&
      errno != ENOTDIR) {
    sys.Unlink(path.c_str());
  }
}
