#include "tools/kill_hook.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "platform/system_api.h"

namespace {

class KillingSystem final : public SystemApi {
 private:
  template <typename Call>
  auto Mutate(Call call) -> decltype(call()) {
    const unsigned long n = count_.fetch_add(1) + 1;
    if (n == at_ && !after_) kill(getpid(), SIGKILL);
    auto result = call();
    if (n == at_ && after_) kill(getpid(), SIGKILL);
    return result;
  }

 public:
  void Arm(unsigned long at, bool after) {
    at_ = at;
    after_ = after;
  }
  unsigned long count() const { return count_.load(); }

  int Open(const char* path, int flags, mode_t mode) override {
    if ((flags & O_CREAT) == 0) return RealSys().Open(path, flags, mode);
    return Mutate([&] { return RealSys().Open(path, flags, mode); });
  }
  ssize_t Read(int fd, void* buffer, size_t count) override {
    return RealSys().Read(fd, buffer, count);
  }
  ssize_t Write(int fd, const void* buffer, size_t count) override {
    return Mutate([&] { return RealSys().Write(fd, buffer, count); });
  }
  ssize_t PRead(int fd, void* buffer, size_t count, off_t offset) override {
    return RealSys().PRead(fd, buffer, count, offset);
  }
  ssize_t PWrite(int fd, const void* buffer, size_t count,
                 off_t offset) override {
    return Mutate([&] { return RealSys().PWrite(fd, buffer, count, offset); });
  }
  off_t Seek(int fd, off_t offset, int whence) override {
    return RealSys().Seek(fd, offset, whence);
  }
  int Close(int fd) override { return RealSys().Close(fd); }
  int Fsync(int fd) override { return RealSys().Fsync(fd); }
  int Ftruncate(int fd, off_t length) override {
    return Mutate([&] { return RealSys().Ftruncate(fd, length); });
  }
  int Futimens(int fd, const struct timespec times[2]) override {
    return Mutate([&] { return RealSys().Futimens(fd, times); });
  }
  int Fstat(int fd, struct stat* status) override {
    return RealSys().Fstat(fd, status);
  }
  int Fchmod(int fd, mode_t mode) override {
    return Mutate([&] { return RealSys().Fchmod(fd, mode); });
  }
  int Fchown(int fd, uid_t owner, gid_t group) override {
    return Mutate([&] { return RealSys().Fchown(fd, owner, group); });
  }
  int Flock(int fd, int operation) override {
    return RealSys().Flock(fd, operation);
  }
  ssize_t CopyFileRange(int fd_in, off_t* offset_in, int fd_out,
                        off_t* offset_out, size_t count) override {
    return Mutate([&] {
      return RealSys().CopyFileRange(fd_in, offset_in, fd_out, offset_out,
                                     count);
    });
  }
  int Stat(const char* path, struct stat* status) override {
    return RealSys().Stat(path, status);
  }
  int Lstat(const char* path, struct stat* status) override {
    return RealSys().Lstat(path, status);
  }
  int Mkdir(const char* path, mode_t mode) override {
    return Mutate([&] { return RealSys().Mkdir(path, mode); });
  }
  int Rename(const char* from, const char* to) override {
    return Mutate([&] { return RealSys().Rename(from, to); });
  }
  int Unlink(const char* path) override {
    return Mutate([&] { return RealSys().Unlink(path); });
  }
  int Rmdir(const char* path) override {
    return Mutate([&] { return RealSys().Rmdir(path); });
  }
  int Symlink(const char* target, const char* path) override {
    return Mutate([&] { return RealSys().Symlink(target, path); });
  }
  ssize_t Readlink(const char* path, char* buffer, size_t size) override {
    return RealSys().Readlink(path, buffer, size);
  }
  int Statvfs(const char* path, struct statvfs* status) override {
    return RealSys().Statvfs(path, status);
  }
  int MakeTemp(char* path_template) override {
    return Mutate([&] { return RealSys().MakeTemp(path_template); });
  }
  int OpenAt(int dirfd, const char* path, int flags, mode_t mode) override {
    if ((flags & O_CREAT) == 0) return RealSys().OpenAt(dirfd, path, flags, mode);
    return Mutate([&] { return RealSys().OpenAt(dirfd, path, flags, mode); });
  }
  int OpenAt2(int dirfd, const char* path, int flags, mode_t mode,
              uint64_t resolve) override {
    if ((flags & O_CREAT) == 0) {
      return RealSys().OpenAt2(dirfd, path, flags, mode, resolve);
    }
    return Mutate(
        [&] { return RealSys().OpenAt2(dirfd, path, flags, mode, resolve); });
  }
  int FstatAt(int dirfd, const char* path, struct stat* status,
              int flags) override {
    return RealSys().FstatAt(dirfd, path, status, flags);
  }
  int MkdirAt(int dirfd, const char* path, mode_t mode) override {
    return Mutate([&] { return RealSys().MkdirAt(dirfd, path, mode); });
  }
  int RenameAt(int from_dirfd, const char* from, int to_dirfd,
               const char* to) override {
    return Mutate(
        [&] { return RealSys().RenameAt(from_dirfd, from, to_dirfd, to); });
  }
  int UnlinkAt(int dirfd, const char* path, int flags) override {
    return Mutate([&] { return RealSys().UnlinkAt(dirfd, path, flags); });
  }
  int SymlinkAt(const char* target, int dirfd, const char* path) override {
    return Mutate([&] { return RealSys().SymlinkAt(target, dirfd, path); });
  }
  ssize_t ReadlinkAt(int dirfd, const char* path, char* buffer,
                     size_t size) override {
    return RealSys().ReadlinkAt(dirfd, path, buffer, size);
  }
  DIR* OpenDir(const char* path) override { return RealSys().OpenDir(path); }
  struct dirent* ReadDir(DIR* dir) override { return RealSys().ReadDir(dir); }
  int CloseDir(DIR* dir) override { return RealSys().CloseDir(dir); }

 private:
  std::atomic<unsigned long> count_{0};
  unsigned long at_ = 0;
  bool after_ = false;
};

KillingSystem g_system;
std::string g_count_file;

}  // namespace

bool InstallKillHook(std::vector<std::string>* args, std::string* error) {
  unsigned long at = 0;
  bool after = false;
  while (!args->empty() && args->front().rfind("--", 0) == 0 &&
         args->front() != "--") {
    const std::string option = args->front();
    if (option == "--kill-before" || option == "--kill-after") {
      after = option == "--kill-after";
      args->erase(args->begin());
      continue;
    }
    if ((option == "--kill-at" || option == "--count-to") &&
        args->size() >= 2) {
      if (option == "--kill-at") {
        at = std::strtoul((*args)[1].c_str(), nullptr, 10);
      } else {
        g_count_file = (*args)[1];
      }
      args->erase(args->begin(), args->begin() + 2);
      continue;
    }
    break;
  }
  if (!args->empty() && args->front() == "--") args->erase(args->begin());
  if (args->empty()) {
    *error = "usage: [--kill-at K] [--kill-before|--kill-after] "
             "[--count-to FILE] COMMAND...";
    return false;
  }
  g_system.Arm(at, after);
  SetSystemApiForTesting(&g_system);
  return true;
}

void WriteKillCount() {
  if (g_count_file.empty()) return;
  if (FILE* file = std::fopen(g_count_file.c_str(), "w")) {
    std::fprintf(file, "%lu\n", g_system.count());
    std::fclose(file);
  }
}
