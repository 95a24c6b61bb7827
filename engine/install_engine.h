// The install engine: one installation job on the worker thread. It checks
// every name of the kit's file table first (each must have one exact form
// in the locale's file-name encoding, be a valid file name, and name a file
// no other entry names), then walks the table, copying every entry that is
// missing or older at its destination out of the kit's container, inside a
// transaction that can be undone completely: an existing file is moved
// into a private backup directory ("ktstp<N>" in the temporary directory)
// before it is replaced, and every file and directory the job creates, and
// the times of every existing directory it changes, are recorded before the
// step in a write-ahead journal inside the backup directory
// (engine/install_journal.h) that the job holds locked and points to from
// the home directory. A commit deletes the backup; a rollback removes what
// the job created, moves every backed-up file back with its bytes, mode and
// times, and puts the directories' times back. A job killed half-way is
// rolled back (or, past its commit mark, finished) by the next start of the
// installer or of kittool extract (engine/recovery.h).
//
// Beneath the target, always: every name under the template directory is
// resolved beneath it (platform/beneath_dir.h). A link inside it that leads
// to another place inside it works; one that leads outside fails the job,
// which names the link. The template directory itself may be a link.
//
// One installation per directory: the transaction holds the template
// directory's lock (engine/target_lock.h) from before its first look at a
// destination until its commit or rollback; a second job waits, posting
// that it does.
//
// Never overwritten: a file that cannot be backed up (the job fails
// instead), and anything at a destination that is not a regular file or a
// link to one (a directory, a socket, a device, a link to a directory): that
// is an installation error too, and such an entry is never moved.
//
// The engine starts no process; all file work goes through the SystemApi
// seam. The engine and its transactions live on the worker thread only; it
// is built for one job and destroyed after it. NeedsCopy keeps no state and
// may be called from any thread.
#ifndef ENGINE_INSTALL_ENGINE_H_
#define ENGINE_INSTALL_ENGINE_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/error_code.h"
#include "platform/file_io.h"
#include "text/wide_string.h"

class KitReader;
class UiChannel;
struct KitEntry;

// Something that is not a regular file is in the way: the destination (a
// directory, a socket, a link to a directory...) or a parent directory that
// is a file.
constexpr ErrorCode kErrorAlreadyExists = 183;

// Why a job failed, where the system's errno does not say it.
enum class FailureReason {
  kNone,           // system_error says why (or nothing is known)
  kLinkOutside,    // failed_path is a link that leads outside the target
  kNameEncoding,   // failed_path (the entry's name) has no exact form in
                   // the locale's encoding
  kNameTwice,      // failed_path: two entries install to this one file
  kNameInvalid,    // failed_path is no valid file name (entry_names.h)
  kNotAFile,       // failed_path is in the way: not a regular file
  kDamagedKit,     // the kit's stream or tables are damaged
};

class InstallEngine {
 public:
  // What the finished job did and, after a failure, where it failed. For
  // reports that say more than the channel's text (kittool).
  struct Outcome {
    uint32_t copied = 0;      // entries written
    uint32_t up_to_date = 0;  // entries left alone: present and not older
    // The path at which the job failed, and the system's errno for it when
    // one is known (0 otherwise), or the reason of ours.
    std::string failed_path;
    int system_error = 0;
    FailureReason reason = FailureReason::kNone;
    // Set when a rollback could not move every backed-up file back; the
    // backup directory is then kept (its path in kept_backup) so that
    // nothing of the user's is lost.
    std::string kept_backup;
  };

  InstallEngine();
  // Rolls back a transaction that is still open.
  ~InstallEngine();
  InstallEngine(const InstallEngine&) = delete;
  InstallEngine& operator=(const InstallEngine&) = delete;

  // The job: takes reader and directory from `channel`, checks the names,
  // installs every entry in table order (posting the destination and
  // (i * 100) / N before each), and ends with a commit and the text of
  // "IDS_INSTALL_FINISH" at 100, or with a rollback. Checks for a cancel
  // request after every entry, copied or not, and while it waits for
  // another installation; a cancelled job rolls back and posts 1223 with an
  // empty text. Returns 0, the code of the step that failed (also posted,
  // with the text of "IDS_INSTALL_ERROR" and the detail of the failure, see
  // FailureMessage), or 1223 when cancelled. No reader, or an empty
  // directory: 87 or 3, reported like any failure.
  ErrorCode Run(UiChannel* channel);

  // Posts (code, FailureMessage(code, outcome()), progress) into the job's
  // channel (if Run set one), rolls back and returns `code`.
  ErrorCode ReportError(ErrorCode code, int32_t progress);

  // The text of "IDS_INSTALL_ERROR" (of "IDS_ERROR_DAMAGEDSOURCE" for a
  // damaged kit), with the file and the reason of `outcome` after it.
  static WideString FailureMessage(ErrorCode code, const Outcome& outcome);

  // Opens a transaction for `target_dir` (ending in "/"): makes the template
  // directory (recording each level it makes), opens it and takes its lock,
  // waiting for another installation if need be (posting the text of
  // "IDS_WAIT_OTHER_INSTALL" into the channel Run set, with the state's
  // `waiting` set). Before the first change (at once when levels are to be
  // made) it makes the backup directory base + "ktstp" + N with mode 0700,
  // taking the first N whose mkdir does not find the name taken (or that a
  // recovery in another process does not take away at once), starts its
  // journal with the target and this process as its owner, flushes both to
  // disk, and makes the pointer to it under the home directory (a pointer
  // that cannot be made is no failure); an installation that changes
  // nothing makes none of them. Returns 0;
  // 3 for an empty target (nothing may be installed without a backup
  // directory); 1223 when cancelled while waiting; otherwise the failing
  // step's code (2 or 87). The transaction is open even after a failure,
  // so that Rollback cleans up.
  ErrorCode Begin(const WideString& target_dir);

  // Makes `path`, the template directory or a directory below it (a
  // trailing "/" is ignored), creating missing parents and recording every
  // level it makes, so that a rollback removes it. An existing directory (or
  // a link to one inside the template directory) is 0 at once. Returns 0;
  // 183 when a file is in the way; 87 for a path outside the template
  // directory or a record that cannot be written; 2 or 87 when mkdir fails.
  // REQUIRES: a successful Begin.
  ErrorCode CreateDirectories(const WideString& path);

  // Ends the transaction successfully: writes and flushes the journal's
  // commit mark (when it cannot, deletes the journal first), then deletes
  // the backed-up files, the journal, the backup directory and the pointer.
  void Commit();

  // Ends the transaction by undoing it: newest first, removes the files and
  // directories it made and moves backed-up files back; then deletes the
  // backup directory and the pointer, unless a file could not be moved back
  // (then the backup is kept with its journal and pointer, so that a later
  // start tries again, and named in outcome()). Returns `code`.
  ErrorCode Rollback(ErrorCode code);

  // True when an entry whose recorded time is `last_write` must be copied to
  // `destination`: the destination cannot be opened for reading (missing,
  // most often) or its time cannot be read, or its modification time is
  // earlier than `last_write`. File systems keep whole seconds here, so an
  // entry time with a sub-second part is always found newer.
  static bool NeedsCopy(const WideString& destination, FileTime last_write);

  const Outcome& outcome() const { return outcome_; }

 private:
  struct Transaction;

  Transaction* Current();
  // Checks every name of the table before anything is written; fills
  // outcome_ on failure, naming entries below `shown_target`. Returns 0,
  // 87 for a name that cannot be installed, or the reader's code.
  ErrorCode CheckNames(KitReader* reader, const std::string& shown_target);
  // A failed read of the kit's table: a damaged kit, or what the reader
  // says the system refused.
  ErrorCode KitReadFailed(const KitReader& reader, ErrorCode code);
  // Makes, opens and locks the template directory.
  ErrorCode OpenTarget(Transaction& t);
  // Makes the backup directory with its journal and the pointer to it, once,
  // before the transaction's first change.
  ErrorCode EnsureBackup(Transaction& t);
  // Installs one entry at `relative` (the locale-encoded path below the
  // template directory).
  ErrorCode InstallEntry(KitReader* reader, const KitEntry& entry,
                         const std::string& relative);
  // Makes the directory `relative` and its missing parents, recording them.
  ErrorCode EnsureDirectory(const std::string& relative);
  // Records the times of the directory `relative` before its first change,
  // unless the job made it.
  ErrorCode NoteChange(const std::string& relative);
  ErrorCode Backup(const std::string& relative);
  // Moves every file left in the backup home; the rollback's fallback when
  // the journal cannot be read. False when something stays.
  bool RestoreFromBackup(const std::string& relative);
  void RemoveBackup(const Transaction& t);
  void RemovePointer(const Transaction& t);
  // Notes where and why a step failed; returns the code for `error`, or
  // `code`. The path is made absolute for the report.
  ErrorCode Failed(const std::string& path, int error);
  ErrorCode Failed(const std::string& path, int error, ErrorCode code);
  ErrorCode FailedFor(const std::string& path, FailureReason reason,
                      ErrorCode code);
  // A failure of a call on a name beneath the template directory: a link
  // that leads outside is named as such.
  ErrorCode FailedBeneath(const std::string& relative, int error);

  // A stack: Begin pushes, Commit and Rollback pop; the other operations
  // work on the top.
  std::vector<std::unique_ptr<Transaction>> transactions_;
  UiChannel* channel_ = nullptr;
  Outcome outcome_;
};

#endif  // ENGINE_INSTALL_ENGINE_H_
