// Recovery of installations that were interrupted by a kill, a crash or a
// power loss: every install transaction leaves its backup directory
// ("ktstp<N>" in the temporary directory) with its write-ahead journal
// (engine/install_journal.h) until it has committed or rolled back, and a
// pointer to that journal in the user's state directory
// (engine/state_directory.h), so that a later run finds it even when its
// temporary directory differs.
//
// RecoverInterruptedInstalls finds the journals of this user whose owner is
// gone (the journal's flock can be taken, and the recorded process no longer
// exists, or started at another time, or before another boot) and finishes
// each as its owner would have: a committed one by deleting the leftovers,
// any other by rolling it back. What it cannot trust it leaves alone and
// reports: a backup directory that is a link, not ours, or open to others; a
// journal that is no regular file of ours, or that names paths outside its
// target directory or backup directory. A file that changed after the
// interruption is neither overwritten nor deleted but kept aside beside
// itself, as "<name>.ktstp-kept" (or "<name>.ktstp-kept<N>" when that is
// taken). Killed half-way, a recovery is finished by the next one.
//
// All file work goes through the SystemApi seam. Main thread, at start, but
// any thread may call it; two processes recovering at once never work on the
// same journal (each holds the journal's lock while it works on it).
#ifndef ENGINE_RECOVERY_H_
#define ENGINE_RECOVERY_H_

#include <string>
#include <vector>

struct RecoveryEvent {
  enum class Kind {
    // An interrupted installation into `target` was rolled back.
    kRolledBack,
    // An installation into `target` had committed; its leftovers are gone.
    kFinishedCommit,
    // `path` had changed since the interruption; it is now at `kept_as`.
    kKeptFile,
    // The rollback could not be finished (a replaced file could not be put
    // back, or a file could not be looked at): the backup directory stays
    // with its journal, and the next start tries again.
    kKeptBackup,
    // The journal or backup directory `backup` was not trusted and was left
    // alone; `reason` says why.
    kRefused,
  };
  Kind kind;
  std::string target;
  std::string backup;
  std::string path;
  std::string kept_as;
  std::string reason;
};

// Recovers every interrupted installation of this user that can be found
// through the pointers in the state directory (and in the one under the
// home directory that earlier versions used whatever XDG_STATE_HOME said)
// and in the current temporary directory. A pointer folder left empty goes
// (RemoveEmptyStateFolder). Returns what it did, in order.
std::vector<RecoveryEvent> RecoverInterruptedInstalls();

// One English line for `event`, without a line break.
std::string DescribeRecoveryEvent(const RecoveryEvent& event);

// The pieces the install engine shares with the recovery.

// "<pid> <start time> <boot id>" of this process: the start time is field
// 22 of /proc/self/stat, the boot id /proc/sys/kernel/random/boot_id.
std::string CurrentOwner();

// True when the process `owner` (as CurrentOwner gives it) no longer runs:
// no such process, or one that started at another time or in another boot.
// An owner text that does not parse counts as gone.
bool OwnerIsGone(const std::string& owner);

// Makes a pointer (a symbolic link) to `journal` in the state directory's
// "journals" folder, making the directories (mode 0700) as needed
// (MakeStateFolder), and flushes it to disk. Returns its path, or empty when
// it could not be made: the installation goes on without it.
std::string MakeJournalPointer(const std::string& journal);

// Removes the pointer `pointer` that MakeJournalPointer made, trying once
// more after a failure that may pass, and then its folder and the state
// directory when they are left empty (RemoveEmptyStateFolder).
void RemoveJournalPointer(const std::string& pointer);

// Opens the directory `path` and fsyncs it, so that names made or removed in
// it survive a power loss. False when that fails.
bool SyncDirectory(const std::string& path);

#endif  // ENGINE_RECOVERY_H_
