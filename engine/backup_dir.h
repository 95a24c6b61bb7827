// The backup directory of one install transaction, its layout written down
// once: "ktstp<N>" (mode 0700) holding the transaction's journal
// ("journal", engine/install_journal.h) and the user's files it moved aside
// ("files/", under their paths below the template directory). The install
// transaction makes it; the undoer and the recovery read it; a file that a
// recovery finds changed is kept beside itself as "<name>.ktstp-kept".
// A backup whose files could not all go home is set aside as
// "unfinished-ktstp<N>": no recovery takes that name for a journal to undo,
// so it is undone at most once and never over a later installation.
//
// Pure path work except RemoveBackupDirectory. Any thread.
#ifndef ENGINE_BACKUP_DIR_H_
#define ENGINE_BACKUP_DIR_H_

#include <string>

#include "platform/status.h"

class SystemApi;

inline constexpr char kBackupPrefix[] = "ktstp";
inline constexpr char kKeptSuffix[] = ".ktstp-kept";
inline constexpr char kAsidePrefix[] = "unfinished-";

class BackupDir {
 public:
  BackupDir() = default;
  // `path`: the backup directory, absolute; trailing slashes are dropped.
  explicit BackupDir(const std::string& path);

  bool empty() const { return path_.empty(); }
  // The directory, without a trailing slash.
  const std::string& path() const { return path_; }
  std::string journal() const { return path_ + "/journal"; }
  std::string files() const { return path_ + "/files"; }
  // Where the backup of `relative` (below the template directory) lies, as
  // the journal records it.
  std::string SavedPath(const std::string& relative) const {
    return files() + "/" + relative;
  }
  // The path below files() of `saved` (a journal's backup path); false when
  // `saved` is not below files() or climbs out of it with "..".
  bool RelativeOfSaved(const std::string& saved, std::string* relative) const;

  // The directory that holds the journal `journal_path` when that is a
  // backup directory's journal ("<...>/ktstp*/journal", absolute, no ".."
  // component); empty otherwise.
  static std::string OfJournal(const std::string& journal_path);
  // True for a name a backup directory has: "ktstp" and anything after it.
  static bool IsBackupName(const std::string& name);

 private:
  std::string path_;
};

// Removes the backup directory: the saved files before the journal, so that
// a removal cut short leaves a journal that says what to do with the rest,
// then the directory, with one more pass after a passing failure.
void RemoveBackupDirectory(SystemApi& sys, const BackupDir& backup);

// Renames the backup directory beside itself to "unfinished-<its name>"
// (with "-<N>" after it when that is taken) and flushes the parent, so that
// neither this version nor an older one ever undoes its journal again; the
// user's files it holds stay there for the user. The new path in *aside.
Status SetBackupAside(SystemApi& sys, const BackupDir& backup,
                      std::string* aside);

// True when `path` has a ".." component.
bool HasDotDot(const std::string& path);

#endif  // ENGINE_BACKUP_DIR_H_
