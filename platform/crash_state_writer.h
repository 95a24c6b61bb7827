// For power-loss tests: puts a crash state (platform/crash_states.h) onto
// the disk, in place. The programs under test keep absolute paths in their
// records, so the state is rebuilt at the very paths it was recorded at:
// each root's contents are wiped (links removed, never followed) and the
// tree is made again, files with their bytes, modes and times, directories
// with their modes and times, links with their texts. Made with the real
// system, never through a seam under test. Linked only into tests.
#ifndef PLATFORM_CRASH_STATE_WRITER_H_
#define PLATFORM_CRASH_STATE_WRITER_H_

#include <string>
#include <vector>

#include "platform/crash_states.h"
#include "platform/rebooted_system.h"

// Rebuilds `tree` below `roots` (each root is made when missing). Returns
// the identities the rebuilt entries had on the recorded disk, for the
// RebootedSystem of the next start; on failure false with `error` saying
// which path and why (the roots then hold part of the state).
bool WriteCrashState(const std::vector<CrashRoot>& roots,
                     const CrashTree& tree, ShownIdentities* shown,
                     std::string* error);

#endif  // PLATFORM_CRASH_STATE_WRITER_H_
