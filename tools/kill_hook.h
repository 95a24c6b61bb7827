// For the kill tests only, never linked into a shipped program: a SystemApi
// that forwards every call to the real system, counts the calls that change
// what is on disk (creating opens, writes, truncations, time and mode
// changes, copies, mkdir, rename, unlink, rmdir, symlink, mkostemp) and
// kills its own process with SIGKILL at the K-th of them, just before it or
// just after it. A kill at every K from 1 to the count of a whole run shows
// that an installation interrupted anywhere can be recovered. The test
// variants of kittool and setup pass it in as their system. Any thread.
#ifndef TOOLS_KILL_HOOK_H_
#define TOOLS_KILL_HOOK_H_

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "platform/forwarding_system.h"

class KillingSystem final : public ForwardingSystem {
 public:
  // Kills at the `at`-th counted call (never when 0), after it with
  // `after`; `count_file` (may be empty) is where WriteCount writes.
  KillingSystem(unsigned long at, bool after, std::string count_file);

  // The calls counted so far.
  unsigned long count() const { return count_.load(); }
  // Writes count() and a line feed to the count file, if one was named.
  void WriteCount();

  int Open(const char* path, int flags, mode_t mode) override;
  ssize_t Write(int fd, const void* buffer, size_t count) override;
  ssize_t PWrite(int fd, const void* buffer, size_t count,
                 off_t offset) override;
  int Ftruncate(int fd, off_t length) override;
  int Futimens(int fd, const struct timespec times[2]) override;
  int Fchmod(int fd, mode_t mode) override;
  int Fchown(int fd, uid_t owner, gid_t group) override;
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
  // Counts the call and runs it, killing the process before or after it
  // when it is the chosen one.
  template <typename Call>
  auto Mutate(Call call) -> decltype(call());

  std::atomic<unsigned long> count_{0};
  const unsigned long at_;
  const bool after_;
  const std::string count_file_;
};

// Takes "--kill-at K", "--kill-before" or "--kill-after", and
// "--count-to FILE" off the front of `args` (and a "--" after them).
// Returns the seam to pass in for the rest of the run, or null with a
// message in `error` when no command is left.
std::unique_ptr<KillingSystem> TakeKillOptions(std::vector<std::string>* args,
                                               std::string* error);

#endif  // TOOLS_KILL_HOOK_H_
