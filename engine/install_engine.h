// The install engine: one installation job on the worker thread. It walks
// the kit's file table, copies every entry that is missing or older at its
// destination out of the kit's container, and does so inside a transaction
// that can be undone completely: an existing file is moved into a private
// backup directory ("ktstp<N>" in the temporary directory) before it is
// replaced, and every file and every directory level the job creates is
// recorded, before it is made, in a write-ahead journal inside the backup
// directory (engine/install_journal.h) that the job holds locked and points
// to from the home directory. A commit deletes the backup; a rollback
// removes what the job created, deepest first, and moves every backed-up
// file back with its bytes, mode and times. A job killed half-way is rolled
// back (or, past its commit mark, finished) by the next start of the
// installer or of kittool extract (engine/recovery.h).
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

class InstallEngine {
 public:
  // What the finished job did and, after a failure, where it failed. For
  // reports that say more than the channel's text (kittool).
  struct Outcome {
    uint32_t copied = 0;      // entries written
    uint32_t up_to_date = 0;  // entries left alone: present and not older
    // The path at which the job failed, and the system's errno for it when
    // one is known (0 otherwise).
    std::string failed_path;
    int system_error = 0;
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

  // The job: takes reader and directory from `channel`, installs every entry
  // in table order (posting the destination and (i * 100) / N before each),
  // and ends with a commit and the text of "IDS_INSTALL_FINISH" at 100, or
  // with a rollback. Checks for a cancel request after every entry, copied
  // or not; a cancelled job rolls back and posts 1223 with an empty text.
  // Returns 0, the code of the step that failed (also posted, with the text
  // of "IDS_INSTALL_ERROR"), or 1223 when cancelled. No reader, or an empty
  // directory: 87 or 3, reported like any failure.
  ErrorCode Run(UiChannel* channel);

  // Posts (code, text of "IDS_INSTALL_ERROR", progress) into the job's
  // channel (if Run set one), rolls back and returns `code`.
  ErrorCode ReportError(ErrorCode code, int32_t progress);

  // Opens a transaction for `target_dir` (ending in "/"): makes the backup
  // directory base + "ktstp" + N with mode 0700, taking the first N whose
  // mkdir does not find the name taken (or that a recovery in another
  // process does not take away at once), starts its journal with the target
  // and this process as its owner, flushes both to disk, and makes the
  // pointer to it under the home directory (a pointer that cannot be made
  // is no failure). Returns 0;
  // 3 for an empty target (nothing may be installed without a backup
  // directory); otherwise the failing step's code (2 or 87). The transaction
  // is open even after a failure, so that Rollback cleans up.
  ErrorCode Begin(const WideString& target_dir);

  // Makes `path` (a trailing "/" is ignored) a directory, creating missing
  // parents. The first form records every level it makes, so that a
  // rollback removes it; the second, with record false, is for the backup
  // tree. "/" and an existing directory (or a link to one) are 0 at once.
  // Returns 0; 3 when a level is missing and there is no parent to make; 183
  // when a file is in the way; 2 or 87 when mkdir fails; 87 when the record
  // cannot be written (the level stays recorded for the rollback).
  // REQUIRES: Begin (a transaction is open).
  ErrorCode CreateDirectories(const WideString& path);
  ErrorCode CreateDirectories(const WideString& path, bool record);

  // Moves the existing file `destination` (under the target directory) to
  // the same relative place in the backup directory and records it. When the
  // backup already holds that path (the kit lists the file twice), the file
  // now at `destination` is the job's own and is removed instead, so that
  // the first backup, the user's file, stays. Returns 0; 2 when the move
  // fails (nothing at `destination` included); 87 for a destination outside
  // the target directory or a record that cannot be written; the codes of
  // CreateDirectories for the backup tree.
  ErrorCode BackupFile(const WideString& destination);

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

  // Moves every file under `backup` to the same relative place under
  // `target` (both ending in "/"), recursing into directories, going on past
  // failures. The rollback's fallback when the journal cannot be read.
  // Returns 0, or 2 when something could not be moved.
  ErrorCode RestoreTree(const WideString& target, const WideString& backup);

  // Removes `path` and everything below it, never following links. Returns
  // 0, also for an empty path (nothing is done then).
  ErrorCode RemoveTree(const WideString& path);

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
  // Installs one entry at `destination`; the paths below are the narrow
  // forms the system takes.
  ErrorCode InstallEntry(KitReader* reader, const KitEntry& entry,
                         const std::string& destination);
  ErrorCode EnsureDirectory(const std::string& directory, bool record);
  ErrorCode MakeDirectories(const std::string& path, bool record,
                            bool* made_last);
  ErrorCode Backup(const std::string& destination);
  void RemoveBackup(const Transaction& t);
  void RemovePointer(const Transaction& t);
  // Notes where and why a step failed; returns the code for `error`.
  ErrorCode Failed(const std::string& path, int error);
  ErrorCode Failed(const std::string& path, int error, ErrorCode code);

  // A stack: Begin pushes, Commit and Rollback pop; the other operations
  // work on the top.
  std::vector<std::unique_ptr<Transaction>> transactions_;
  UiChannel* channel_ = nullptr;
  Outcome outcome_;
};

#endif  // ENGINE_INSTALL_ENGINE_H_
