// The backup directory of one install transaction, its layout written down
// once: "ktstp<N>" (mode 0700) holding the transaction's journal
// ("journal", engine/install_journal.h) and the user's files it moved aside
// ("files/", under their paths below the template directory). The install
// transaction makes it; the undoer and the recovery read it; a file that a
// recovery finds changed is kept beside itself as "<name>.ktstp-kept".
//
// Pure path work except RemoveBackupDirectory. Any thread.
#ifndef ENGINE_BACKUP_DIR_H_
#define ENGINE_BACKUP_DIR_H_

#include <string>

class SystemApi;

inline constexpr char kBackupPrefix[] = "ktstp";
inline constexpr char kKeptSuffix[] = ".ktstp-kept";

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

// True when `path` has a ".." component.
bool HasDotDot(const std::string& path);

#endif  // ENGINE_BACKUP_DIR_H_
