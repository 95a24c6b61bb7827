// For power-loss tests: the states a disk may be left in when the power
// fails during a recorded run (platform/crash_recording.h). From the tree
// before the run and the run's log, CrashStateGenerator builds, for a crash
// point k (the first k logged calls happened, the rest did not), trees that
// a power loss at k could leave. platform/crash_state_writer.h puts one
// onto the disk at the same absolute paths, where the next start can look
// at it. Linked only into tests.
//
// What a flush makes durable (the model, deliberately no kinder than POSIX
// promises):
// - fsync or fdatasync of a file: every earlier change of that file's data,
//   size, mode and times; not its name.
// - fsync of a directory: every earlier name made, renamed or removed in
//   it, and its own mode and times. A rename is one step: a flush of the
//   directory it left or of the one it entered makes it durable.
// - syncfs: every earlier change on that file system.
// - close: nothing.
// Each change after the last flush that covers it is there or not, on its
// own (a seeded random choice). A write that is there may be whole, cut to
// a prefix, or be there only as the size it gave the file (its range then
// reads as zeros where the file was shorter); a write that is not there
// leaves the file as it was, so a new file is empty. A change that needs
// what is not there is dropped: data of a file whose creation was lost, a
// name made in a directory that is not there, a creation where the name is
// still taken, a rename or removal of a name that does not hold that file,
// an rmdir of a directory that is not empty. Nothing below a root on a
// volatile file system (tmpfs) survives; the root itself stays, empty, as
// a mount point would. A file's modification and change times are those
// the last change that is there gave it, as the recording saw them; a
// directory's change only with its own making and time changes, not with
// the names in it (tests compare no directory times).
//
// One thread per object; deterministic for a seed.
#ifndef PLATFORM_CRASH_STATES_H_
#define PLATFORM_CRASH_STATES_H_

#include <sys/stat.h>
#include <time.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/crash_recording.h"

// A directory whose contents the model covers (absolute, no trailing "/").
struct CrashRoot {
  std::string path;
  bool volatile_fs = false;  // on tmpfs: empty after a power loss
};

// True when `path` is on a file system that keeps nothing over a power loss
// (tmpfs, ramfs).
bool OnVolatileFileSystem(const std::string& path);

// One entry of a tree as a crash leaves it.
struct CrashNode {
  char kind = 'f';     // 'f' file, 'd' directory, 'l' link
  std::string bytes;   // a file's bytes, a link's text
  mode_t mode = 0;     // permission bits
  struct timespec mtime = {0, 0};
  struct timespec ctime = {0, 0};
  InodeId inode;       // its identity on the recorded disk
};
// Absolute path -> entry; the roots themselves are in it.
using CrashTree = std::map<std::string, CrashNode>;

// The roots and everything below them as they are now (not following
// links; other kinds of files are left out).
CrashTree ReadCrashTree(const std::vector<CrashRoot>& roots);

// One state: the crash point and how the unflushed changes fared. Variant
// 0 keeps none of them, variant 1 keeps all of them whole (what a kill at
// that point leaves), any other chooses at random from `seed`.
struct CrashCase {
  size_t point = 0;
  uint32_t variant = 0;
  uint64_t seed = 0;
};

class CrashStateGenerator {
 public:
  // `before`: ReadCrashTree of `roots` just before the logged run.
  CrashStateGenerator(std::vector<CrashRoot> roots, CrashTree before,
                      DiskLog log);

  size_t changes() const { return log_.size(); }
  // Whether a flush among the first `point` calls covers call `change`.
  bool Covered(size_t change, size_t point) const {
    return first_cover_[change] < point;
  }
  // The tree a power loss leaves in `crash`.
  CrashTree StateAt(const CrashCase& crash) const;
  // Up to `wanted` cases, each leaving a different tree: crash points at
  // every call when there are few, else spread evenly plus some at random;
  // at each point variants 0 and 1 first, then random ones.
  std::vector<CrashCase> Cases(uint64_t seed, size_t wanted) const;

 private:
  class Replay;
  std::vector<size_t> Points(uint64_t seed, size_t count) const;

  std::vector<CrashRoot> roots_;
  CrashTree before_;
  DiskLog log_;
  // For each call, the first flush after it that covers it (log size when
  // none does; flushes cover nothing themselves).
  std::vector<size_t> first_cover_;
};

#endif  // PLATFORM_CRASH_STATES_H_
