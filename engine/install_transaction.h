// One install transaction: everything an installation changes in a template
// directory, undoable as a whole. An existing file is moved into the
// transaction's backup directory (engine/backup_dir.h, on the template
// directory's file system: engine/backup_place.h) before it is replaced,
// and every file and directory it creates, and the times of every existing
// directory it changes, are recorded in its write-ahead journal
// (engine/install_journal.h), on disk before the step. The journal is pointed to from the state directory, so that a
// later run finds it whatever its temporary directory. Commit deletes the
// backup; Rollback undoes the journal (engine/journal_undoer.h); a
// transaction killed half-way is undone, or finished, by the next start
// (engine/recovery.h).
//
// Beneath the target, always: every name under the template directory is
// resolved beneath it (platform/beneath_dir.h). A link inside it that leads
// to another place inside it works; one that leads outside is a failure
// (kLinkOutside naming the link). The template directory itself may be a
// link.
//
// One installation per directory: the transaction holds the template
// directory's lock (engine/target_lock.h) from before its first look at a
// destination until its commit or rollback; a second one waits.
//
// Failures are Statuses naming the path as the user gave it: kInTheWay
// (something that is no directory is where one belongs, or no file where
// a file belongs: error() says which), kNotAFile, kLinkOutside, kNameTwice,
// kCancelled (while waiting), kNoStateDirectory or kUnusableHome (no
// pointer can be made), or the system's reason.
//
// Used from one thread; its flushes run on a thread of its own
// (engine/flusher.h). All file work goes through the SystemApi passed in.
#ifndef ENGINE_INSTALL_TRANSACTION_H_
#define ENGINE_INSTALL_TRANSACTION_H_

#include <sys/stat.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/backup_dir.h"
#include "engine/flusher.h"
#include "engine/install_journal.h"
#include "engine/recovery.h"
#include "engine/target_lock.h"
#include "platform/beneath_dir.h"
#include "platform/status.h"

class SystemApi;

class InstallTransaction {
 public:
  struct Hooks {
    // Asked while waiting for another installation: true stops the wait.
    std::function<bool()> cancelled;
    // Told once when the transaction waits for another installation into
    // `directory`.
    std::function<void(const std::string& directory)> on_wait;
  };

  explicit InstallTransaction(SystemApi& sys, Hooks hooks = Hooks());
  // Rolls back a transaction that is still open.
  ~InstallTransaction();
  InstallTransaction(const InstallTransaction&) = delete;
  InstallTransaction& operator=(const InstallTransaction&) = delete;

  // Opens the transaction for `target_dir` (the template directory as the
  // user gave it, in the locale's encoding): makes it (recording each level
  // it makes), opens it and takes its lock, waiting for another
  // installation if need be. The backup directory, its journal and the
  // pointer are made before the first change (at once when levels are to
  // be made); an installation that changes nothing makes none of them.
  // kNoTarget for an empty target; kNoCurrentDirectory when a relative
  // target needs the working directory and it cannot be asked for; the
  // pointer's failure (MakeJournalPointer) before anything is changed. The
  // transaction is open even after a failure, so that Rollback cleans up.
  Status Begin(const std::string& target_dir);

  // Opens the transaction only to look, for a dry run: the template
  // directory is opened when it exists, and nothing is made, locked or
  // recorded. Afterwards only Look and LookLevels may be called, and the
  // transaction never commits or rolls back. kInTheWay when something
  // that is no directory stands at `target_dir` or above it.
  Status OpenToLook(const std::string& target_dir);
  // For a destination that is free: whether its missing levels could be
  // made, i.e. the nearest level of `relative`'s parent that exists is a
  // directory beneath the template directory (kInTheWay naming it when
  // not). Levels already found fine are not looked at again.
  Status LookLevels(const std::string& relative);

  // What is at `relative` (the locale-encoded path below the template
  // directory): ok with *exists and, for a regular file or a link to one
  // inside the directory, its status (the link's target's mode and times);
  // kInTheWay or kNotAFile for anything else there.
  Status Look(const std::string& relative, bool* exists, struct stat* status);
  // Makes the directory `relative` and its missing parents, recording them.
  Status EnsureDirectory(const std::string& relative);
  // True when the directory `relative` was made by this transaction (it
  // then holds only the transaction's own files).
  bool Made(const std::string& relative) const;
  // A file the job will create, after moving the user's file there to the
  // backup when `replaces`.
  struct PlannedFile {
    std::string relative;
    bool replaces = false;
    uint64_t size = 0;  // of the file to be made
  };
  // Records the steps of `batch` ahead (the times of the directories they
  // change, the directories to make, the backups, the files) and has them
  // forced to stable storage with one flush on the flusher's thread, so
  // that a power loss cannot keep any of those steps without its record.
  // None of the steps may happen before AwaitPlan has returned ok for the
  // batch; they then happen through EnsureDirectory, Backup and CreateFile
  // without further records. A planned step that does not happen is
  // harmless. A batch may be planned while the one before it is installed.
  Status Plan(const std::vector<PlannedFile>& batch);
  // Waits until the records of the oldest batch planned and not yet
  // awaited are on disk; a failure names the journal.
  Status AwaitPlan();
  // Moves the file (or link) at `relative` into the backup, recording it
  // first (and flushing the record: the user's file leaves its place)
  // unless it was planned.
  Status Backup(const std::string& relative);
  // Creates the new file `relative` (O_EXCL, mode 0660 less the umask),
  // recording it first; its parent must exist. *fd is open on success.
  Status CreateFile(const std::string& relative, int* fd);
  // The file CreateFile opened is complete: its identity is recorded and
  // it is closed (also on failure).
  Status FinishFile(const std::string& relative, int fd);

  // Ends the transaction successfully: forces the installed files and the
  // directories that name them to stable storage, writes and flushes the
  // journal's commit mark (when it cannot, deletes the journal first), then
  // deletes the backed-up files, the journal, the backup directory and the
  // pointer. When the installed files cannot be flushed it changes nothing
  // and returns why: the caller rolls back.
  Status Commit();

  // Ends the transaction by undoing it (engine/journal_undoer.h); then
  // deletes the backup directory and the pointer, unless something could
  // not be undone: the backup is then set aside with what it holds
  // (engine/backup_dir.h), never to be undone again, and kept_backup()
  // names it. Returns whether everything was undone.
  bool Rollback();

  bool open() const { return open_; }
  // What Begin found of interrupted installations into the same directory
  // and settled before this one began (engine/recovery.h).
  const std::vector<RecoveryEvent>& settled() const { return settled_; }
  // After a Rollback that could not undo everything: the backup kept.
  const std::string& kept_backup() const { return kept_backup_; }
  // The name of `relative` in reports: below the directory as given.
  std::string Shown(const std::string& relative) const;
  // A failure of a call on `relative` beneath the template directory with
  // `error`: a link that leads outside is named as such; EEXIST, ENOTDIR
  // and EISDIR are kInTheWay.
  Status FailedBeneath(const std::string& relative, int error) const;

 private:
  class LevelRecorder;
  class TargetLevels;

  // Makes, opens and locks the template directory.
  Status OpenTarget();
  // Makes the backup directory with its journal and the pointer to it,
  // once, before the transaction's first change.
  Status EnsureBackup();
  Status ClaimBackupDirectory(const std::string& base);
  // Records the times of the directory `relative` before its first change,
  // unless the transaction made it.
  Status NoteChange(const std::string& relative);
  // Plans the directory `relative` to hold a new entry: its times recorded
  // when it exists, its making (and its missing parents') when not.
  Status PlanDirectory(const std::string& relative);
  // Makes the backup tree's folder `parent` and its missing levels; adds
  // the folders a level was made in to *made_in.
  Status MakeBackupLevels(const std::string& parent,
                          std::set<std::string>* made_in);
  // Appends a record of a step about to happen; on failure the step must
  // not happen (the status names `relative`).
  Status Record(JournalKind kind, const std::string& relative,
                const std::string& second = std::string());
  // After a step recorded at `record_start` did not happen: says so in the
  // journal, or remembers it when even that cannot be written.
  void Void(uint64_t record_start, const std::string& relative);
  void RemovePointer();
  void End();

  // The journal's name of `relative` below the template directory.
  std::string Recorded(const std::string& relative) const {
    return target_abs_ + relative;
  }
  std::string Absolute(const std::string& path) const;

  SystemApi& sys_;
  Hooks hooks_;
  bool open_ = false;
  std::string target_;      // as given
  std::string target_abs_;  // absolute, ending in "/": the journal's form
  std::string cwd_;         // when the job began: the journal holds
                            // absolute paths
  BackupDir backup_;        // empty until made
  InstallJournal journal_;
  BeneathDir root_;   // the template directory, once made and locked
                      // (or, to look, when it exists)
  std::set<std::string> looked_levels_;  // found to be directories
  BeneathDir saved_;  // the backup's files directory
  TargetLock lock_;
  // Directories below the template directory ("" is the directory itself)
  // known to exist, and whether this transaction made them: kits list
  // files directory by directory, and a directory the job made holds only
  // the job's own files, so the look at a destination is saved there.
  std::unordered_map<std::string, bool> directories_;
  // Directories whose times are in the journal (or that the job made).
  std::unordered_set<std::string> timed_;
  // Steps recorded by Plan and not yet done, with where each record
  // starts: directories to make, files to create, files to back up.
  std::unordered_map<std::string, uint64_t> planned_directories_;
  std::unordered_map<std::string, uint64_t> planned_files_;
  std::unordered_set<std::string> planned_backups_;
  // The last directory made in the backup tree.
  std::string known_backup_dir_;
  // The pointer to the journal in the state directory; empty when none.
  std::string pointer_;
  // The start of a record whose step did not happen although no kVoid
  // record could be written for it; the rollback skips it.
  uint64_t void_start_ = 0;
  std::string kept_backup_;
  std::vector<RecoveryEvent> settled_;
  // The flushes of the batches planned and not yet awaited (0: nothing to
  // wait for).
  std::deque<uint64_t> plan_tickets_;
  // Batches planned so far, and whether the file system is flushed
  // periodically while the installation goes on.
  uint32_t planned_batches_ = 0;
  bool keeps_flushing_ = false;
  // Last, so that it ends, with what it was asked to do, before the
  // descriptors it was given close.
  Flusher flusher_;
};

#endif  // ENGINE_INSTALL_TRANSACTION_H_
