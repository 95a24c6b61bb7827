#include "platform/beneath_dir.h"

#include <fcntl.h>
#include <linux/openat2.h>

#include <cerrno>
#include <deque>
#include <vector>

#include "platform/narrow_path.h"
#include "platform/system_api.h"

namespace {

// As the kernel counts them for one lookup.
constexpr int kMaxLinks = 40;

std::vector<std::string> Components(const std::string& path) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string part = path.substr(start, end - start);
    if (!part.empty() && part != ".") parts.push_back(std::move(part));
    start = end + 1;
  }
  return parts;
}

std::string Join(const std::vector<std::string>& parts, size_t count) {
  std::string path;
  for (size_t i = 0; i < count; ++i) {
    if (i != 0) path.push_back('/');
    path += parts[i];
  }
  return path;
}

int Fail(int error) {
  errno = error;
  return -1;
}

// Closes `fd` keeping errno.
void CloseQuietly(SystemApi& sys, int fd) {
  const int saved = errno;
  if (fd != -1) sys.Close(fd);
  errno = saved;
}

}  // namespace

BeneathDir::~BeneathDir() { Close(); }

int BeneathDir::Open(const std::string& path, bool follow) {
  Close();
  const int fd = sys_.Open(
      path.c_str(),
      O_RDONLY | O_DIRECTORY | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW), 0);
  if (fd == -1) return -1;
  fd_ = fd;
  path_ = WithoutTrailingSlashes(path);
  char text[4096];
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t length = sys_.Readlink(self.c_str(), text, sizeof(text));
  if (length > 0 && static_cast<size_t>(length) < sizeof(text) &&
      text[0] == '/') {
    real_path_.assign(text, static_cast<size_t>(length));
  } else {
    // Absolute links then count as leading outside: safe, if strict.
    real_path_.clear();
  }
  return 0;
}

void BeneathDir::Close() {
  ForgetParent();
  if (fd_ != -1) CloseQuietly(sys_, fd_);
  fd_ = -1;
  path_.clear();
  real_path_.clear();
}

void BeneathDir::ForgetParent() {
  if (parent_fd_ != -1) CloseQuietly(sys_, parent_fd_);
  parent_fd_ = -1;
  parent_relative_.clear();
}

int BeneathDir::Parent(const std::string& relative, std::string* name) {
  outside_link_.clear();
  if (fd_ == -1) return Fail(EBADF);
  const std::vector<std::string> parts = Components(relative);
  if (parts.empty() || parts.back() == "..") return Fail(EINVAL);
  *name = parts.back();
  if (parts.size() == 1) return fd_;
  const std::string parent = Join(parts, parts.size() - 1);
  if (parent_fd_ != -1 && parent == parent_relative_) return parent_fd_;
  const int fd = Resolve(parent, O_PATH | O_DIRECTORY);
  if (fd == -1) return -1;
  ForgetParent();
  parent_fd_ = fd;
  parent_relative_ = parent;
  return fd;
}

int BeneathDir::Resolve(const std::string& relative, int flags) {
  if (fd_ == -1) return Fail(EBADF);
  outside_link_.clear();
  flags |= O_CLOEXEC;
  if (Components(relative).empty()) return sys_.OpenAt(fd_, ".", flags, 0);
  if (openat2_) {
    const int fd = sys_.OpenAt2(fd_, relative.c_str(), flags, 0,
                                 RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS);
    if (fd != -1) return fd;
    const int error = errno;
    if (error == ENOSYS || error == EPERM || error == E2BIG) {
      // No openat2 here (an old kernel, or a filter that refuses it).
      openat2_ = false;
    } else if (error != EXDEV && error != ELOOP) {
      return -1;
    }
    // The kernel refuses absolute links and every way out alike; the walk
    // tells a link that stays inside from one that leaves, and names it.
  }
  return Walk(relative, flags);
}

// One walk below the directory, component by component.
struct BeneathDir::Walker {
  Walker(BeneathDir& dir, const std::string& relative)
      : dir(dir), relative(relative), stack{dir.fd_} {
    for (std::string& part : Components(relative)) todo.push_back(part);
  }
  // Closes every directory walked into, keeping errno.
  ~Walker() {
    for (size_t i = 1; i < stack.size(); ++i) CloseQuietly(dir.sys_, stack[i]);
  }

  // ".." goes back one level; above the directory it leads outside.
  bool StepUp() {
    if (stack.size() == 1) {
      dir.outside_link_ = via_link.empty() ? relative : via_link;
      errno = EXDEV;
      return false;
    }
    CloseQuietly(dir.sys_, stack.back());
    stack.pop_back();
    walked.pop_back();
    return true;
  }

  // Puts the components of the link `part` in front of what is left; an
  // absolute one starts over from the top when it names a place inside.
  bool FollowLink(const std::string& part) {
    std::string text(4096, '\0');
    const ssize_t length = dir.sys_.ReadlinkAt(stack.back(), part.c_str(),
                                               text.data(), text.size());
    if (length < 0) return false;
    if (static_cast<size_t>(length) >= text.size()) return Fail(ENAMETOOLONG);
    text.resize(static_cast<size_t>(length));
    if (++links > kMaxLinks) return Fail(ELOOP);
    walked.push_back(part);
    via_link = Join(walked, walked.size());
    walked.pop_back();
    std::vector<std::string> expansion = Components(text);
    if (!text.empty() && text[0] == '/') {
      // Absolute: inside only when it names the directory or a place below
      // it.
      const std::string& top = dir.real_path_;
      const bool inside =
          !top.empty() &&
          (text == top || (text.compare(0, top.size(), top) == 0 &&
                           (top == "/" || text[top.size()] == '/')));
      if (!inside) {
        dir.outside_link_ = via_link;
        return Fail(EXDEV);
      }
      for (size_t i = 1; i < stack.size(); ++i) {
        CloseQuietly(dir.sys_, stack[i]);
      }
      stack.resize(1);
      walked.clear();
      expansion = Components(text.substr(top.size()));
    }
    todo.insert(todo.begin(), expansion.begin(), expansion.end());
    return true;
  }

  static bool Fail(int error) {
    errno = error;
    return false;
  }

  BeneathDir& dir;
  const std::string& relative;
  std::deque<std::string> todo;
  // The directories walked into; the first is the directory's own (not
  // closed here).
  std::vector<int> stack;
  // The path walked so far and the link being expanded, for the report.
  std::vector<std::string> walked;
  std::string via_link;
  int links = 0;
};

int BeneathDir::Walk(const std::string& relative, int flags) {
  const bool directory = (flags & O_DIRECTORY) != 0;
  Walker walker(*this, relative);
  while (!walker.todo.empty()) {
    const std::string part = walker.todo.front();
    walker.todo.pop_front();
    if (part == "..") {
      if (!walker.StepUp()) return -1;
      continue;
    }
    const bool last = walker.todo.empty();
    const int fd = sys_.OpenAt(walker.stack.back(), part.c_str(),
                               O_PATH | O_NOFOLLOW | O_CLOEXEC, 0);
    if (fd == -1) return -1;
    struct stat status;
    if (sys_.Fstat(fd, &status) != 0) {
      CloseQuietly(sys_, fd);
      return -1;
    }
    if (S_ISLNK(status.st_mode)) {
      CloseQuietly(sys_, fd);
      if (!walker.FollowLink(part)) return -1;
      continue;
    }
    if (!S_ISDIR(status.st_mode) && (!last || directory)) {
      CloseQuietly(sys_, fd);
      return Fail(ENOTDIR);
    }
    if (last && (flags & O_PATH) != 0) return fd;
    if (last) {
      // Opened for use by its name in the directory the walk reached; a
      // link put there since is not followed.
      CloseQuietly(sys_, fd);
      return sys_.OpenAt(walker.stack.back(), part.c_str(),
                         flags | O_NOFOLLOW, 0);
    }
    walker.stack.push_back(fd);
    walker.walked.push_back(part);
  }
  // The walk ended on a ".." or an empty link: what it names is on the
  // stack.
  return sys_.OpenAt(walker.stack.back(), ".", flags, 0);
}

int BeneathDir::OpenFile(const std::string& relative, int flags, mode_t mode) {
  std::string name;
  const int parent = Parent(relative, &name);
  if (parent == -1) return -1;
  return sys_.OpenAt(parent, name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC,
                      mode);
}

int BeneathDir::Stat(const std::string& relative, struct stat* status,
                     bool follow) {
  if (fd_ == -1) return Fail(EBADF);
  if (Components(relative).empty()) return sys_.Fstat(fd_, status);
  if (!follow) {
    std::string name;
    const int parent = Parent(relative, &name);
    if (parent == -1) return -1;
    return sys_.FstatAt(parent, name.c_str(), status, AT_SYMLINK_NOFOLLOW);
  }
  const int fd = Resolve(relative, O_PATH);
  if (fd == -1) return -1;
  const int result = sys_.Fstat(fd, status);
  CloseQuietly(sys_, fd);
  return result;
}

int BeneathDir::MakeDirectory(const std::string& relative, mode_t mode) {
  std::string name;
  const int parent = Parent(relative, &name);
  if (parent == -1) return -1;
  return sys_.MkdirAt(parent, name.c_str(), mode);
}

int BeneathDir::RemoveFile(const std::string& relative) {
  std::string name;
  const int parent = Parent(relative, &name);
  if (parent == -1) return -1;
  return sys_.UnlinkAt(parent, name.c_str(), 0);
}

int BeneathDir::RemoveDirectory(const std::string& relative) {
  std::string name;
  const int parent = Parent(relative, &name);
  if (parent == -1) return -1;
  const int result = sys_.UnlinkAt(parent, name.c_str(), AT_REMOVEDIR);
  // The directory may have been the cached one, or held it.
  const int saved = errno;
  ForgetParent();
  errno = saved;
  return result;
}

int BeneathDir::ReadLink(const std::string& relative, std::string* text) {
  std::string name;
  const int parent = Parent(relative, &name);
  if (parent == -1) return -1;
  std::string buffer(4096, '\0');
  const ssize_t length =
      sys_.ReadlinkAt(parent, name.c_str(), buffer.data(), buffer.size());
  if (length < 0) return -1;
  if (static_cast<size_t>(length) >= buffer.size()) return Fail(ENAMETOOLONG);
  buffer.resize(static_cast<size_t>(length));
  *text = std::move(buffer);
  return 0;
}

int BeneathDir::MakeLink(const std::string& text, const std::string& relative) {
  std::string name;
  const int parent = Parent(relative, &name);
  if (parent == -1) return -1;
  return sys_.SymlinkAt(text.c_str(), parent, name.c_str());
}

int BeneathDir::OpenDirectory(const std::string& relative) {
  const int fd = Resolve(relative, O_PATH | O_DIRECTORY);
  if (fd == -1) return -1;
  const int opened =
      sys_.OpenAt(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  CloseQuietly(sys_, fd);
  return opened;
}

int BeneathDir::OpenFollowed(const std::string& relative, int flags) {
  return Resolve(relative, flags & ~O_CREAT);
}

int BeneathDir::Rename(BeneathDir& from, const std::string& from_relative,
                       BeneathDir& to, const std::string& to_relative) {
  // The source's parent is held apart from the cache, which the target's
  // lookup may replace when both sides are one object.
  const std::vector<std::string> parts = Components(from_relative);
  from.outside_link_.clear();
  if (from.fd_ == -1) return Fail(EBADF);
  if (parts.empty() || parts.back() == "..") return Fail(EINVAL);
  int from_parent = from.fd_;
  if (parts.size() > 1) {
    from_parent = from.Resolve(Join(parts, parts.size() - 1),
                               O_PATH | O_DIRECTORY);
    if (from_parent == -1) return -1;
  }
  std::string to_name;
  const int to_parent = to.Parent(to_relative, &to_name);
  int result = -1;
  if (to_parent != -1) {
    result = from.sys_.RenameAt(from_parent, parts.back().c_str(),
                                to_parent, to_name.c_str());
  }
  const int saved = errno;
  if (from_parent != from.fd_) CloseQuietly(from.sys_, from_parent);
  // A directory may have moved; cached parents are looked up again.
  from.ForgetParent();
  to.ForgetParent();
  errno = saved;
  return result;
}
