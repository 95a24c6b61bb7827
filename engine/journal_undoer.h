// The one way an install transaction is undone: newest record first, from
// its journal (engine/install_journal.h). The rollback of a live job that
// failed or was cancelled and the recovery of a job that was killed run
// this same code over the same records, so both leave the same directory.
//
// What it does for each record: a file the job created is removed (or,
// when it is no longer what the job wrote, kept aside as
// "<name>.ktstp-kept"); a directory the job made is removed when empty; a
// directory whose times the job changed gets them back; a user's file the
// job moved into the backup comes home (whatever stands in its place and
// differs from it is kept aside first). A record whose step did not happen
// is harmless: there is nothing to undo. Before each move home the journal
// is cut after the record, so that an undo killed half-way and finished by
// the next start does not undo the newer records twice.
//
// The first step that cannot be undone stops the walk: the journal then
// still says what is left to do, and a later start goes on from there.
// Afterwards SweepBackup moves home what is still in the backup (a move
// whose record a power loss took) where its place is free.
//
// One thread; all file work goes through the directories' SystemApi.
#ifndef ENGINE_JOURNAL_UNDOER_H_
#define ENGINE_JOURNAL_UNDOER_H_

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>

#include "engine/backup_dir.h"
#include "engine/install_journal.h"

class BeneathDir;

class JournalUndoer {
 public:
  // `target`: the template directory as the journal names it (absolute,
  // ending in "/"); `root`: it, opened (closed when it is gone: nothing
  // below it is left to undo then); `saved`: the backup's files directory,
  // opened (closed when there is none); `on_kept`: told of each file kept
  // aside (its relative path and the name it now has).
  JournalUndoer(std::string target, BeneathDir& root, BeneathDir& saved,
                const BackupDir& backup,
                std::function<void(const std::string& relative,
                                   const std::string& kept_as)>
                    on_kept);

  // Undoes `journal` newest first. The record starting at `void_start`
  // (when not 0) did not happen although no kVoid record says so. False
  // when a step could not be undone or the journal could not be read.
  bool Undo(InstallJournal& journal, uint64_t void_start = 0);

  // Leaves the template directory and the levels above it standing even
  // where the journal says the job made them: another installation holds
  // them now.
  void KeepTargetLevels() { keep_levels_ = true; }

  // Moves every file under `relative` in the backup to the same place
  // under the template directory where that place is free, and drops
  // copies identical to what is there. False when something stays.
  bool SweepBackup(const std::string& relative = std::string());

 private:
  // One method per kind of record; each returns false when its step could
  // not be undone.
  bool UndoCreatedFile(const std::string& path, const std::string& relative,
                       bool reachable, const FileIdentity* identity);
  // *left false when the journal moves the user's file at `path` into the
  // backup and it is not there: the move never happened. False when that
  // cannot be known.
  bool BackupLeft(const std::string& path, bool* left);
  bool UndoCreatedDirectory(const std::string& path,
                            const std::string& relative, bool reachable);
  bool UndoDirectoryTimes(const std::string& relative,
                          const std::string& times);
  bool UndoBackup(const std::string& relative, bool reachable,
                  const std::string& saved_path);

  // Moves `relative` aside beside itself; false when it could not.
  bool KeepAside(const std::string& relative);
  // Makes the directory `relative` and its parents below the template
  // directory.
  bool MakeLevels(const std::string& relative);
  SystemApi& sys() const;

  const std::string target_;
  BeneathDir& root_;
  BeneathDir& saved_;
  const BackupDir backup_;
  std::function<void(const std::string&, const std::string&)> on_kept_;
  bool keep_levels_ = false;
  // State of the walk: a kVoid record voids the next older creation of its
  // path; a kFileDone record gives the identity of the next older created
  // file of its path (of any path, in older layouts: key ""). Every
  // backup record's path and backup path.
  std::set<std::string> voided_;
  std::map<std::string, FileIdentity> identities_;
  std::map<std::string, std::string> backed_up_;
};

// True when `status` is the file a kFileDone record described, unchanged
// since, even if a power loss cut its data or times short.
bool StillAsDone(const struct stat& status, const FileIdentity& done);

// True when `path` lies strictly below `directory` (which ends in "/") and
// has no ".." component.
bool IsBelow(const std::string& path, const std::string& directory);
// True when `path` is `directory` itself or a level above it (absolute, no
// ".." component): the levels a job made for its template directory.
bool IsLevelOf(const std::string& path, const std::string& directory);

#endif  // ENGINE_JOURNAL_UNDOER_H_
