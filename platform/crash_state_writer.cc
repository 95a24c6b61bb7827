#include "platform/crash_state_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/scoped_temp_dir.h"

namespace {

bool Failed(const std::string& what, const std::string& path,
            std::string* error) {
  *error = what + " " + path + ": " + std::strerror(errno);
  return false;
}

// Removes everything below `dir`, opening up directories a state left
// closed to their owner.
bool WipeBelow(const std::string& dir, std::string* error) {
  std::vector<std::string> names;
  if (!ListDirectory(dir, &names)) return Failed("cannot list", dir, error);
  for (const std::string& name : names) {
    const std::string path = dir + "/" + name;
    struct stat status;
    if (lstat(path.c_str(), &status) != 0) return Failed("cannot stat", path, error);
    if (S_ISDIR(status.st_mode)) {
      chmod(path.c_str(), 0700);
      if (!WipeBelow(path, error)) return false;
      if (rmdir(path.c_str()) != 0) return Failed("cannot remove", path, error);
    } else if (unlink(path.c_str()) != 0) {
      return Failed("cannot remove", path, error);
    }
  }
  return true;
}

bool MakeRoot(const std::string& path, std::string* error) {
  struct stat status;
  if (lstat(path.c_str(), &status) == 0) {
    if (!S_ISDIR(status.st_mode)) return Failed("not a directory:", path, error);
    chmod(path.c_str(), 0700);
    return WipeBelow(path, error);
  }
  const size_t slash = path.rfind('/');
  if (slash != 0 && slash != std::string::npos &&
      !MakeRoot(path.substr(0, slash), error)) {
    return false;
  }
  return mkdir(path.c_str(), 0700) == 0 || errno == EEXIST ||
         Failed("cannot make", path, error);
}

bool Make(const std::string& path, const CrashNode& node, std::string* error) {
  if (node.kind == 'd') {
    return mkdir(path.c_str(), 0700) == 0 || Failed("cannot make", path, error);
  }
  if (node.kind == 'l') {
    return symlink(node.bytes.c_str(), path.c_str()) == 0 ||
           Failed("cannot link", path, error);
  }
  const int fd =
      open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd == -1) return Failed("cannot create", path, error);
  size_t done = 0;
  while (done < node.bytes.size()) {
    const ssize_t n =
        write(fd, node.bytes.data() + done, node.bytes.size() - done);
    if (n <= 0) {
      close(fd);
      return Failed("cannot write", path, error);
    }
    done += static_cast<size_t>(n);
  }
  return close(fd) == 0 || Failed("cannot close", path, error);
}

bool SetAttributes(const std::string& path, const CrashNode& node,
                   std::string* error) {
  if (node.kind != 'l' && chmod(path.c_str(), node.mode) != 0) {
    return Failed("cannot set the mode of", path, error);
  }
  const struct timespec times[2] = {node.mtime, node.mtime};
  return utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0 ||
         Failed("cannot set the times of", path, error);
}

bool IsRoot(const std::vector<CrashRoot>& roots, const std::string& path) {
  for (const CrashRoot& root : roots) {
    if (root.path == path) return true;
  }
  return false;
}

}  // namespace

bool WriteCrashState(const std::vector<CrashRoot>& roots,
                     const CrashTree& tree, ShownIdentities* shown,
                     std::string* error) {
  shown->clear();
  for (const CrashRoot& root : roots) {
    if (!MakeRoot(root.path, error)) return false;
  }
  // Parents sort before their children; their modes and times are set
  // after them, when nothing more is made inside.
  for (const auto& [path, node] : tree) {
    if (!IsRoot(roots, path) && !Make(path, node, error)) return false;
  }
  for (auto it = tree.rbegin(); it != tree.rend(); ++it) {
    if (!SetAttributes(it->first, it->second, error)) return false;
  }
  for (const auto& [path, node] : tree) {
    struct stat status;
    if (lstat(path.c_str(), &status) != 0) return Failed("cannot stat", path, error);
    (*shown)[{static_cast<uint64_t>(status.st_dev),
              static_cast<uint64_t>(status.st_ino)}] =
        ShownIdentity{status.st_ctim, node.inode.ino, node.ctime};
  }
  return true;
}
