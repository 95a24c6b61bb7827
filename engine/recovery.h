// Recovery of installations that were interrupted by a kill, a crash or a
// power loss: every install transaction leaves its backup directory
// (engine/backup_dir.h) with its write-ahead journal until it has
// committed or rolled back, and a pointer to that journal in the user's
// state directory (engine/state_directory.h), so that a later run finds it
// even when its temporary directory differs.
//
// RecoverInterruptedInstalls finds the journals of this user whose owner is
// gone (the journal's flock can be taken, and the recorded process no longer
// exists, or started at another time, or before another boot) and finishes
// each as its owner would have: a committed one by deleting the leftovers,
// any other by undoing it with the same undoer as a live rollback
// (engine/journal_undoer.h). What it cannot trust it leaves alone and
// reports: a backup directory that is a link, not ours, or open to others; a
// journal that is no regular file of ours, or that names paths outside its
// target directory or backup directory; an entry among the pointers that is
// no link of this user's. A rollback it cannot finish is tried once: what
// is left is set aside and reported, so that it never comes back to act on
// files a later installation wrote. A file that changed after the
// interruption is neither overwritten nor deleted but kept aside beside
// itself, as "<name>.ktstp-kept" (or "<name>.ktstp-kept<N>" when that is
// taken). Killed half-way, a recovery is finished by the next one.
//
// The events carry no text: the face that runs the recovery says what they
// mean. All file work goes through the SystemApi passed in. Any thread; two
// processes recovering at once never work on the same journal (each holds
// the journal's lock while it works on it).
#ifndef ENGINE_RECOVERY_H_
#define ENGINE_RECOVERY_H_

#include <string>
#include <vector>

class SystemApi;

struct RecoveryEvent {
  enum class Kind {
    // An interrupted installation into `target` was rolled back.
    kRolledBack,
    // An installation into `target` had committed; its leftovers are gone.
    kFinishedCommit,
    // `path` had changed since the interruption; it is now at `kept_as`.
    kKeptFile,
    // The rollback could not be finished (a replaced file could not be put
    // back, or a file could not be looked at): the backup directory is set
    // aside at `kept_as` (engine/backup_dir.h) with what it still holds,
    // and no later start undoes it again. With `kept_as` empty even that
    // failed: the backup stays at `backup`, and the next start tries again.
    kKeptBackup,
    // The journal or backup directory `backup` was not trusted and was left
    // alone; `refusal` says why.
    kRefused,
    // Only looked at (ListPendingInstalls): an interrupted installation
    // into `target` waits for a start to roll it back, or with `committed`
    // to finish its commit.
    kPending,
  };
  // Why a backup directory was left alone.
  enum class Refusal {
    kNone,
    kPointerNotAJournal,  // the pointer `path` names no journal
    kNotAPointer,         // `backup` lies among the pointers but is no
                          // link of this user's
    kLink,                // the backup directory is a symbolic link
    kOpenToOthers,        // others may read or write it
    kJournalUnopenable,   // its journal cannot be opened (`error`)
    kNoJournal,           // it holds files but no journal
    kJournalNotOurs,      // the journal is no regular file of this user's
    kJournalUnreadable,   // the journal cannot be read
    kUnusableTarget,      // the journal names an unusable target directory
    kOutside,             // the journal names `path`, outside its own
                          // directories
    kNoOwner,             // the journal names no owner
  };
  Kind kind;
  std::string target;
  std::string backup;
  std::string path;
  std::string kept_as;
  Refusal refusal = Refusal::kNone;
  int error = 0;
  bool committed = false;  // kPending: it had committed
};

// Recovers every interrupted installation of this user that can be found
// through the pointers in the state directory (and in the one under the
// home directory that earlier versions used whatever XDG_STATE_HOME said)
// and in the current temporary directory, and removes the kit containers
// that killed runs left there. A pointer folder left empty goes
// (RemoveEmptyStateFolder). Returns what it did, in order.
std::vector<RecoveryEvent> RecoverInterruptedInstalls(SystemApi& sys);

// What RecoverInterruptedInstalls would find, without changing anything
// (a dry run): kPending for each installation it would finish or roll
// back, and the refusals it would report. Nothing is removed, truncated or
// locked for longer than the look at a journal.
std::vector<RecoveryEvent> ListPendingInstalls(SystemApi& sys);

// Settles, before an installation into the template directory `target`
// (absolute, ending in "/") changes anything, every interrupted
// installation into that same directory whose owner is gone (one killed
// while this one waited for its lock, say), as RecoverInterruptedInstalls
// would: so that no later start undoes it over the new installation's
// files. The caller holds the directory's lock on `held_fd`, its open
// descriptor; the directory and the levels above it stay, the new
// installation goes into them. Returns what it did; backup directories of
// other targets, and the refusals a start reported already, are left out.
std::vector<RecoveryEvent> SettleInterruptedInstallsInto(
    SystemApi& sys, const std::string& target, int held_fd);

#endif  // ENGINE_RECOVERY_H_
