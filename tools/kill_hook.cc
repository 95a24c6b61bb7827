#include "tools/kill_hook.h"

#include <fcntl.h>
#include <signal.h>

#include <cstdlib>
#include <utility>

#include "platform/file_operations.h"

KillingSystem::KillingSystem(unsigned long at, bool after,
                             std::string count_file)
    : at_(at), after_(after), count_file_(std::move(count_file)) {}

template <typename Call>
auto KillingSystem::Mutate(Call call) -> decltype(call()) {
  const unsigned long n = count_.fetch_add(1) + 1;
  if (n == at_ && !after_) kill(base().GetPid(), SIGKILL);
  auto result = call();
  if (n == at_ && after_) kill(base().GetPid(), SIGKILL);
  return result;
}

void KillingSystem::WriteCount() {
  if (count_file_.empty()) return;
  // Straight to the system: the count's own file is not one of the run's.
  SystemApi& sys = base();
  const int fd = sys.Open(count_file_.c_str(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return;
  const std::string text = std::to_string(count()) + "\n";
  (void)WriteAll(sys, fd, text.data(), text.size());
  sys.Close(fd);
}

int KillingSystem::Open(const char* path, int flags, mode_t mode) {
  if ((flags & O_CREAT) == 0) return base().Open(path, flags, mode);
  return Mutate([&] { return base().Open(path, flags, mode); });
}
ssize_t KillingSystem::Write(int fd, const void* buffer, size_t count) {
  return Mutate([&] { return base().Write(fd, buffer, count); });
}
ssize_t KillingSystem::PWrite(int fd, const void* buffer, size_t count,
                              off_t offset) {
  return Mutate([&] { return base().PWrite(fd, buffer, count, offset); });
}
int KillingSystem::Ftruncate(int fd, off_t length) {
  return Mutate([&] { return base().Ftruncate(fd, length); });
}
int KillingSystem::Futimens(int fd, const struct timespec times[2]) {
  return Mutate([&] { return base().Futimens(fd, times); });
}
int KillingSystem::Fchmod(int fd, mode_t mode) {
  return Mutate([&] { return base().Fchmod(fd, mode); });
}
int KillingSystem::Fchown(int fd, uid_t owner, gid_t group) {
  return Mutate([&] { return base().Fchown(fd, owner, group); });
}
ssize_t KillingSystem::CopyFileRange(int fd_in, off_t* offset_in, int fd_out,
                                     off_t* offset_out, size_t count) {
  return Mutate([&] {
    return base().CopyFileRange(fd_in, offset_in, fd_out, offset_out, count);
  });
}
int KillingSystem::Mkdir(const char* path, mode_t mode) {
  return Mutate([&] { return base().Mkdir(path, mode); });
}
int KillingSystem::Rename(const char* from, const char* to) {
  return Mutate([&] { return base().Rename(from, to); });
}
int KillingSystem::Unlink(const char* path) {
  return Mutate([&] { return base().Unlink(path); });
}
int KillingSystem::Rmdir(const char* path) {
  return Mutate([&] { return base().Rmdir(path); });
}
int KillingSystem::Symlink(const char* target, const char* path) {
  return Mutate([&] { return base().Symlink(target, path); });
}
int KillingSystem::MakeTemp(char* path_template) {
  return Mutate([&] { return base().MakeTemp(path_template); });
}
int KillingSystem::OpenAt(int dirfd, const char* path, int flags, mode_t mode) {
  if ((flags & O_CREAT) == 0) return base().OpenAt(dirfd, path, flags, mode);
  return Mutate([&] { return base().OpenAt(dirfd, path, flags, mode); });
}
int KillingSystem::OpenAt2(int dirfd, const char* path, int flags, mode_t mode,
                           uint64_t resolve) {
  if ((flags & O_CREAT) == 0) {
    return base().OpenAt2(dirfd, path, flags, mode, resolve);
  }
  return Mutate(
      [&] { return base().OpenAt2(dirfd, path, flags, mode, resolve); });
}
int KillingSystem::MkdirAt(int dirfd, const char* path, mode_t mode) {
  return Mutate([&] { return base().MkdirAt(dirfd, path, mode); });
}
int KillingSystem::RenameAt(int from_dirfd, const char* from, int to_dirfd,
                            const char* to) {
  return Mutate(
      [&] { return base().RenameAt(from_dirfd, from, to_dirfd, to); });
}
int KillingSystem::UnlinkAt(int dirfd, const char* path, int flags) {
  return Mutate([&] { return base().UnlinkAt(dirfd, path, flags); });
}
int KillingSystem::SymlinkAt(const char* target, int dirfd, const char* path) {
  return Mutate([&] { return base().SymlinkAt(target, dirfd, path); });
}

std::unique_ptr<KillingSystem> TakeKillOptions(std::vector<std::string>* args,
                                               std::string* error) {
  unsigned long at = 0;
  bool after = false;
  std::string count_file;
  while (!args->empty() && args->front().rfind("--", 0) == 0 &&
         args->front() != "--") {
    const std::string option = args->front();
    if (option == "--kill-before" || option == "--kill-after") {
      after = option == "--kill-after";
      args->erase(args->begin());
    } else if ((option == "--kill-at" || option == "--count-to") &&
               args->size() >= 2) {
      if (option == "--kill-at") {
        at = std::strtoul((*args)[1].c_str(), nullptr, 10);
      } else {
        count_file = (*args)[1];
      }
      args->erase(args->begin(), args->begin() + 2);
    } else {
      break;
    }
  }
  if (!args->empty() && args->front() == "--") args->erase(args->begin());
  if (args->empty()) {
    *error =
        "usage: [--kill-at K] [--kill-before|--kill-after] "
        "[--count-to FILE] COMMAND...";
    return nullptr;
  }
  return std::make_unique<KillingSystem>(at, after, std::move(count_file));
}
