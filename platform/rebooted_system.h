// For power-loss tests: the seam of the first start after a power loss,
// over a crash state that a test rebuilt on the disk
// (platform/crash_state_writer.h). Two things differ from the real system:
// the kernel reports a boot id of its own (the machine has booted again,
// so no process of the run that lost power is alive), and every entry the
// test rebuilt shows the inode number and change time it had on the disk
// that lost power. A power loss keeps a file's inode; a rebuilt file is a
// new one, and without this the next start would take every file that the
// run had recorded by identity for one changed by someone else since.
// An entry shows its old identity only while its change time is still the
// one it got when it was rebuilt: once the next start changes it, it shows
// what the system says. Linked only into tests; any thread.
#ifndef PLATFORM_REBOOTED_SYSTEM_H_
#define PLATFORM_REBOOTED_SYSTEM_H_

#include <sys/stat.h>
#include <time.h>

#include <cstdint>
#include <map>
#include <string>
#include <utility>

#include "platform/crash_recording.h"
#include "platform/forwarding_system.h"
#include "platform/scoped_temp_dir.h"

// What a rebuilt entry shows: while its change time is `rebuilt_ctime`, the
// inode number and change time it had.
struct ShownIdentity {
  struct timespec rebuilt_ctime = {0, 0};
  uint64_t ino = 0;
  struct timespec ctime = {0, 0};
};
// Keyed by the rebuilt entry's (device, inode).
using ShownIdentities = std::map<std::pair<uint64_t, uint64_t>, ShownIdentity>;

class RebootedSystem final : public ForwardingSystem {
 public:
  explicit RebootedSystem(ShownIdentities shown);

  // The boot id the next start reads.
  static constexpr const char* kBootIdPath = "/proc/sys/kernel/random/boot_id";

  int Open(const char* path, int flags, mode_t mode) override;
  int Stat(const char* path, struct stat* status) override;
  int Lstat(const char* path, struct stat* status) override;
  int Fstat(int fd, struct stat* status) override;
  int FstatAt(int dirfd, const char* path, struct stat* status,
              int flags) override;

 private:
  int Shown(int result, struct stat* status) const;

  const ShownIdentities shown_;
  ScopedTempDir dir_;
  std::string boot_id_;  // the file that stands in for the kernel's
};

#endif  // PLATFORM_REBOOTED_SYSTEM_H_
