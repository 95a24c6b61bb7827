#include "engine/install_engine.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "engine/install_journal.h"
#include "engine/recovery.h"
#include "engine/ui_channel.h"
#include "kit/kit_reader.h"
#include "l10n/string_table.h"
#include "platform/directory_enumerator.h"
#include "platform/file_operations.h"
#include "platform/narrow_path.h"
#include "platform/system_api.h"
#include "text/path_utils.h"
#include "text/text_conversion.h"

namespace {

constexpr uint32_t kAttributeNormal = 0x80;

// Where backed-up files go inside the backup directory, apart from the
// journal, so that no kit name can collide with it.
constexpr char kBackupFiles[] = "files/";
constexpr char kJournalName[] = "journal";

std::string Narrow(const WideString& text) { return ToNarrow(text).c_str(); }

WideString Wide(const std::string& text) {
  return ToWide(NarrowString(text.c_str()));
}

bool IsDirectory(const std::string& path) {
  struct stat status;
  return Sys().Stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

}  // namespace

struct InstallEngine::Transaction {
  WideString target_dir;  // as given, ending in "/"
  WideString backup_dir;  // ".../ktstp<N>/", empty until made
  std::string target;     // the narrow forms
  std::string backup;
  InstallJournal journal;
  // The last directory known to exist under the target (without trailing
  // "/") and whether this job made it; kits list files directory by
  // directory, so most entries find their parent here without a system
  // call. The same for the backup tree.
  std::string known_dir;
  bool known_dir_ours = false;
  std::string known_backup_dir;
  // The pointer to the journal under the home directory; empty when none
  // could be made.
  std::string pointer;
  // The working directory when the job began: the journal holds absolute
  // paths, so that a recovery started elsewhere finds them.
  std::string cwd;
  std::string Absolute(const std::string& path) const {
    if (path.empty() || path[0] == '/' || cwd.empty()) return path;
    return cwd + "/" + path;
  }
  // The start of a record whose step did not happen although no kVoid
  // record could be written for it; the rollback skips it.
  uint64_t void_start = 0;
};

InstallEngine::InstallEngine() = default;

InstallEngine::~InstallEngine() {
  while (!transactions_.empty()) Rollback(kErrorCancelled);
}

InstallEngine::Transaction* InstallEngine::Current() {
  return transactions_.empty() ? nullptr : transactions_.back().get();
}

ErrorCode InstallEngine::Failed(const std::string& path, int error) {
  return Failed(path, error, ErrorFromErrno(error));
}

ErrorCode InstallEngine::Failed(const std::string& path, int error,
                                ErrorCode code) {
  outcome_.failed_path = path;
  outcome_.system_error = error;
  return code;
}

ErrorCode InstallEngine::Run(UiChannel* channel) {
  channel_ = channel;
  WideString target;
  KitReader* reader = channel->TakeJob(&target);
  ErrorCode code = Begin(target);
  if (code != kSuccess) return ReportError(code, 0);
  if (reader == nullptr) return ReportError(kErrorInvalidParameter, 0);
  const uint32_t count = reader->entry_count();
  int32_t progress = 0;
  for (uint32_t i = 0; i < count; ++i) {
    progress = static_cast<int32_t>(static_cast<uint64_t>(i) * 100 / count);
    KitEntry entry;
    code = reader->ReadEntry(i, &entry);
    if (code != kSuccess) return ReportError(code, progress);
    WideString name = entry.name;
    ToSlashes(name);
    const WideString destination = target + name;
    channel->Post(kSuccess, destination, progress);
    code = InstallEntry(reader, entry, Narrow(destination));
    if (code != kSuccess) return ReportError(code, progress);
    if (channel->IsCancelled()) {
      // Posted once the directory is back as it was, so that the GUI can
      // say so as soon as it sees the state.
      Rollback(kErrorCancelled);
      channel->Post(kErrorCancelled, WideString(), progress);
      return kErrorCancelled;
    }
  }
  // A kit inflated while it is installed may still turn out damaged.
  code = reader->FinishInflation();
  if (code != kSuccess) return ReportError(code, progress);
  Commit();
  channel->Post(kSuccess, StringTable::Lookup("IDS_INSTALL_FINISH"), 100);
  return kSuccess;
}

ErrorCode InstallEngine::ReportError(ErrorCode code, int32_t progress) {
  if (channel_ != nullptr) {
    channel_->Post(code, StringTable::Lookup("IDS_INSTALL_ERROR"), progress);
  }
  return Rollback(code);
}

ErrorCode InstallEngine::InstallEntry(KitReader* reader, const KitEntry& entry,
                                      const std::string& destination) {
  Transaction& t = *Current();
  const std::string parent = ParentOf(destination);
  // A directory this job has just made holds only the job's own files; the
  // look at the destination is saved there, and O_EXCL below still catches
  // a file the kit lists twice.
  bool look = !(parent == t.known_dir && t.known_dir_ours);
  for (;;) {
    if (look) {
      struct stat status;
      if (Sys().Lstat(destination.c_str(), &status) == 0) {
        bool regular = S_ISREG(status.st_mode);
        if (S_ISLNK(status.st_mode)) {
          // A link to a file counts as that file; the link itself is what
          // gets backed up and replaced.
          struct stat target;
          regular = Sys().Stat(destination.c_str(), &target) == 0 &&
                    S_ISREG(target.st_mode);
          status.st_mtim = target.st_mtim;
        }
        if (!regular) {
          return Failed(destination, EEXIST, kErrorAlreadyExists);
        }
        if (FileTimeFromUnixSeconds(status.st_mtim.tv_sec) >=
            entry.last_write) {
          ++outcome_.up_to_date;
          return kSuccess;
        }
        const ErrorCode code = Backup(destination);
        if (code != kSuccess) return code;
      } else if (errno != ENOENT && errno != ENOTDIR) {
        // Whether something is there is unknown, so nothing may be written.
        return Failed(destination, errno);
      }
    }
    ErrorCode code = EnsureDirectory(parent, true);
    if (code != kSuccess) return code;
    // Recorded before it exists, so that a kill between the create and the
    // completion record still finds the file.
    const uint64_t record_start = t.journal.length();
    code = t.journal.Append(JournalKind::kCreatedFile, t.Absolute(destination));
    if (code != kSuccess) return Failed(destination, errno, code);
    const int fd = Sys().Open(destination.c_str(),
                              O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0660);
    if (fd == -1) {
      const int error = errno;
      // Whatever is at the destination is not the job's: the record must
      // not make a rollback delete it.
      if (t.journal.Append(JournalKind::kVoid, t.Absolute(destination)) !=
          kSuccess) {
        t.void_start = record_start;
      }
      if (error == EEXIST && !look) {
        look = true;
        continue;
      }
      return Failed(
          destination, error,
          error == EEXIST ? kErrorAlreadyExists : ErrorFromErrno(error));
    }
    code = reader->CopyEntryTo(entry, fd);
    // A damaged kit is no error of the system's.
    int error = code == kSuccess || code == kErrorInvalidData ? 0 : errno;
    // The file's identity once its bytes and time are final (closing does
    // not change it), so that a recovery can tell it from a file someone
    // changed or put there after an interruption.
    struct stat done;
    if (code == kSuccess && Sys().Fstat(fd, &done) != 0) {
      code = ErrorFromErrno(errno);
      error = errno;
    }
    const ErrorCode closed = FileClose(fd);
    if (code == kSuccess && closed != kSuccess) {
      code = closed;
      error = errno;
    }
    if (code == kSuccess) {
      code = t.journal.Append(JournalKind::kFileDone, std::string(),
                              EncodeIdentity(IdentityOf(done)));
      if (code != kSuccess) error = errno;
    }
    if (code != kSuccess) return Failed(destination, error, code);
    ++outcome_.copied;
    return kSuccess;
  }
}

ErrorCode InstallEngine::Begin(const WideString& target_dir) {
  transactions_.push_back(std::make_unique<Transaction>());
  Transaction& t = *transactions_.back();
  t.target_dir = target_dir;
  t.target = Narrow(target_dir);
  {
    char buffer[4096];
    if (getcwd(buffer, sizeof(buffer)) != nullptr) t.cwd = buffer;
  }
  // Without a directory the names would land wherever the process happens
  // to run, and nothing could be backed up.
  if (target_dir.empty()) return kErrorPathNotFound;
  WideString temp;
  ErrorCode code = GetTempDirectory(&temp);
  if (code != kSuccess) return code;
  std::string base = Narrow(temp);
  code = EnsureDirectory(WithoutTrailingSlashes(base), false);
  if (code != kSuccess) return code;
  if (base.back() != '/') base.push_back('/');
  // mkdir is the test and the claim in one step, so two installers can
  // never share a backup directory; only the owner may look inside.
  for (uint64_t n = 0;; ++n) {
    const std::string candidate = base + "ktstp" + std::to_string(n);
    if (Sys().Mkdir(candidate.c_str(), 0700) != 0) {
      if (errno != EEXIST) return Failed(candidate, errno);
      continue;
    }
    t.backup = candidate + "/";
    t.backup_dir = Wide(t.backup);
    const std::string journal = t.backup + kJournalName;
    code = t.journal.Create(journal);
    if (code == kSuccess) {
      // A recovery in another process takes an empty backup directory, or
      // one whose journal names no owner yet, for the remains of a killed
      // run and removes it; it can do so only before the lock is ours.
      struct stat status;
      if (Sys().Fstat(t.journal.fd(), &status) != 0) {
        return Failed(journal, errno);
      }
      if (status.st_nlink > 0) break;
      t.journal.Close();
    } else if (errno != ENOENT && errno != EWOULDBLOCK) {
      return Failed(journal, errno, code);
    }
    // Taken away or being taken away: that name is no longer ours.
    t.backup.clear();
    t.backup_dir = WideString();
  }
  const std::string journal = t.backup + kJournalName;
  code = t.journal.Append(JournalKind::kTarget, t.Absolute(t.target));
  if (code == kSuccess) {
    code = t.journal.Append(JournalKind::kOwner, std::string(), CurrentOwner());
  }
  // The owner and the target must survive a power loss before anything is
  // changed: without them a journal cannot be recovered.
  if (code == kSuccess) code = t.journal.Sync();
  if (code == kSuccess && !SyncDirectory(WithoutTrailingSlashes(t.backup))) {
    code = ErrorFromErrno(errno);
  }
  if (code != kSuccess) return Failed(journal, errno, code);
  t.pointer = MakeJournalPointer(t.Absolute(journal));
  return kSuccess;
}

ErrorCode InstallEngine::CreateDirectories(const WideString& path) {
  return CreateDirectories(path, true);
}

ErrorCode InstallEngine::CreateDirectories(const WideString& path,
                                           bool record) {
  if (Current() == nullptr) return kErrorInvalidParameter;
  return EnsureDirectory(WithoutTrailingSlashes(Narrow(path)), record);
}

ErrorCode InstallEngine::EnsureDirectory(const std::string& directory,
                                         bool record) {
  Transaction* t = Current();
  if (directory.empty()) return kErrorPathNotFound;
  if (directory == "/") return kSuccess;
  std::string& known = record ? t->known_dir : t->known_backup_dir;
  if (directory == known) return kSuccess;
  bool made = false;
  const ErrorCode code = MakeDirectories(directory, record, &made);
  if (code != kSuccess) return code;
  known = directory;
  if (record) t->known_dir_ours = made;
  return kSuccess;
}

ErrorCode InstallEngine::MakeDirectories(const std::string& path, bool record,
                                         bool* made_last) {
  Transaction& t = *Current();
  // A level is recorded before its mkdir; a mkdir that then fails voids the
  // record, so that a rollback never removes a directory it did not make.
  uint64_t record_start = 0;
  auto before = [&]() -> ErrorCode {
    if (!record) return kSuccess;
    record_start = t.journal.length();
    const ErrorCode code =
        t.journal.Append(JournalKind::kCreatedDirectory, t.Absolute(path));
    return code == kSuccess ? code : Failed(path, errno, code);
  };
  auto not_made = [&]() {
    if (!record) return;
    const int error = errno;
    if (t.journal.Append(JournalKind::kVoid, t.Absolute(path)) != kSuccess) {
      t.void_start = record_start;
    }
    errno = error;
  };
  auto made = [&]() -> ErrorCode {
    *made_last = true;
    return kSuccess;
  };
  auto failed = [&](int error) -> ErrorCode {
    // mkdir says EEXIST for a file too, and ENOTDIR for a file above.
    if (error == EEXIST || error == ENOTDIR) {
      return Failed(path, error, kErrorAlreadyExists);
    }
    return Failed(path, error);
  };
  *made_last = false;
  const std::string parent = ParentOf(path);
  const bool has_parent = !parent.empty() && parent != "/" && parent != path;
  ErrorCode code;
  int error;
  if (record) {
    // A look first: an existing directory needs no record, and a missing
    // one is made parents first, so that no record is written for a mkdir
    // that is bound to fail.
    struct stat status;
    if (Sys().Stat(path.c_str(), &status) == 0) {
      if (S_ISDIR(status.st_mode)) return kSuccess;
      return failed(EEXIST);
    }
    if (errno != ENOENT) return failed(errno);
  } else {
    // Trying mkdir first costs one call for a new directory, the common
    // case; an existing one costs a second look.
    if (Sys().Mkdir(path.c_str(), 0777) == 0) return made();
    error = errno;
    if (error == EEXIST && IsDirectory(path)) return kSuccess;
    if (error != ENOENT) return failed(error);
    if (!has_parent) return Failed(path, error, kErrorPathNotFound);
  }
  if (has_parent) {
    bool parent_made = false;
    code = MakeDirectories(parent, record, &parent_made);
    if (code != kSuccess) return code;
  }
  code = before();
  if (code != kSuccess) return code;
  if (Sys().Mkdir(path.c_str(), 0777) == 0) return made();
  error = errno;
  not_made();
  if (error == EEXIST && IsDirectory(path)) return kSuccess;
  if (error == ENOENT && !has_parent) {
    return Failed(path, error, kErrorPathNotFound);
  }
  return failed(error);
}

ErrorCode InstallEngine::BackupFile(const WideString& destination) {
  return Backup(Narrow(destination));
}

ErrorCode InstallEngine::Backup(const std::string& path) {
  Transaction* t = Current();
  if (t == nullptr || t->backup.empty()) return kErrorPathNotFound;
  if (path.size() <= t->target.size() ||
      path.compare(0, t->target.size(), t->target) != 0) {
    return kErrorInvalidParameter;
  }
  const std::string backup_path =
      t->backup + kBackupFiles + path.substr(t->target.size());
  ErrorCode code = EnsureDirectory(ParentOf(backup_path), false);
  if (code != kSuccess) return code;
  struct stat status;
  if (Sys().Lstat(backup_path.c_str(), &status) == 0) {
    // The kit lists this file twice and the user's file is in the backup
    // already: what is at the destination now is the job's own copy.
    if (Sys().Unlink(path.c_str()) != 0) return Failed(path, errno);
    return kSuccess;
  }
  if (errno != ENOENT) return Failed(backup_path, errno);
  // A record whose move never happens is harmless: its undo finds no
  // backup to move back.
  code = t->journal.Append(JournalKind::kBackup, t->Absolute(path),
                           t->Absolute(backup_path));
  if (code != kSuccess) return Failed(path, errno, code);
  code = RunMove(Wide(path), Wide(backup_path));
  return code == kSuccess ? code : Failed(path, errno, code);
}

void InstallEngine::Commit() {
  Transaction* t = Current();
  if (t == nullptr) return;
  if (t->journal.is_open()) {
    // The mark must be on disk before the first backup goes: a recovery
    // must never roll back a committed installation with half its backups
    // gone. Without the mark, the journal goes first instead, so that
    // nothing is left that could be rolled back.
    if (t->journal.Append(JournalKind::kCommitted, std::string()) !=
            kSuccess ||
        t->journal.Sync() != kSuccess) {
      Sys().Unlink((t->backup + kJournalName).c_str());
    }
  }
  RemoveBackup(*t);
  t->journal.Close();
  RemovePointer(*t);
  transactions_.pop_back();
}

void InstallEngine::RemovePointer(const Transaction& t) {
  if (t.pointer.empty()) return;
  // One more try after a passing failure; a pointer left over anyway names
  // a journal that is gone, and the next recovery removes it.
  if (Sys().Unlink(t.pointer.c_str()) != 0 && errno != ENOENT) {
    Sys().Unlink(t.pointer.c_str());
  }
}

void InstallEngine::RemoveBackup(const Transaction& t) {
  if (t.backup.empty()) return;
  // The backed-up files before the journal: a removal cut short leaves a
  // journal that says what to do with the rest.
  RemoveTree(t.backup_dir + Wide(kBackupFiles));
  Sys().Unlink((t.backup + kJournalName).c_str());
  RemoveTree(t.backup_dir);
  // The removal goes on past what it cannot remove; one more pass catches
  // a passing failure, so that no backup outlives its job.
  struct stat status;
  if (Sys().Lstat(t.backup.c_str(), &status) == 0) RemoveTree(t.backup_dir);
}

ErrorCode InstallEngine::Rollback(ErrorCode code) {
  Transaction* t = Current();
  if (t == nullptr) return code;
  bool all_back = true;
  if (t->journal.is_open()) {
    bool skip_next = false;
    // Where the record being visited ends: the start of the newer one.
    uint64_t end = t->journal.length();
    const ErrorCode read = t->journal.VisitNewestFirst(
        [&](JournalKind kind, const std::string& path,
            const std::string& second, uint64_t start) {
          const uint64_t record_end = end;
          end = start;
          if (kind == JournalKind::kVoid) {
            skip_next = true;
            return;
          }
          if (kind == JournalKind::kCreatedFile ||
              kind == JournalKind::kCreatedDirectory) {
            const bool skip = skip_next || (t->void_start != 0 &&
                                            start == t->void_start);
            skip_next = false;
            if (skip) return;
          }
          switch (kind) {
            case JournalKind::kCreatedFile:
              Sys().Unlink(path.c_str());
              break;
            case JournalKind::kCreatedDirectory:
              // Fails, and keeps the directory, when something the job did
              // not make was put into it meanwhile.
              Sys().Rmdir(path.c_str());
              break;
            case JournalKind::kBackup: {
              // Every newer record is undone: forget them, so that a
              // recovery after a kill from here on does not undo them a
              // second time over the file about to come back. This record
              // stays until the file is back.
              t->journal.TruncateTo(record_end);
              struct stat status;
              // A move that never happened leaves nothing to move back.
              if (Sys().Lstat(second.c_str(), &status) != 0 &&
                  errno == ENOENT) {
                break;
              }
              if (RunMove(Wide(second), Wide(path)) != kSuccess) {
                all_back = false;
              }
              break;
            }
            default:
              break;
          }
        });
    if (read != kSuccess) {
      // The older records are lost; at least every file still in the
      // backup goes home.
      all_back = RestoreTree(t->target_dir,
                             t->backup_dir + Wide(kBackupFiles)) == kSuccess &&
                 all_back;
    }
  }
  if (!t->backup_dir.empty()) {
    if (all_back) {
      RemoveBackup(*t);
      t->journal.Close();
      RemovePointer(*t);
    } else {
      // Kept with its journal and pointer: a later start tries again.
      outcome_.kept_backup = t->backup;
    }
  }
  t->journal.Close();
  transactions_.pop_back();
  return code;
}

ErrorCode InstallEngine::RestoreTree(const WideString& target,
                                     const WideString& backup) {
  // The names are read first, so that the moves cannot disturb the listing.
  std::vector<std::pair<WideString, bool>> items;
  DirectoryEnumerator listing;
  for (bool more = listing.First(backup + WideString(u"*")); more;
       more = listing.Next()) {
    const WideString name = listing.Name();
    if (name == WideString(u".") || name == WideString(u"..")) continue;
    items.emplace_back(name, listing.Attributes() & kFileAttributeDirectory);
  }
  ErrorCode result = kSuccess;
  for (const auto& [name, is_directory] : items) {
    ErrorCode code;
    if (is_directory) {
      code = RestoreTree(target + name + WideString(u"/"),
                         backup + name + WideString(u"/"));
    } else {
      code = RunMove(backup + name, target + name);
    }
    if (code != kSuccess) result = kErrorFileNotFound;
  }
  return result;
}

ErrorCode InstallEngine::RemoveTree(const WideString& path) {
  if (!path.empty()) RunRemoveTree(path);
  return kSuccess;
}

bool InstallEngine::NeedsCopy(const WideString& destination,
                              FileTime last_write) {
  FileHandle file = kInvalidFileHandle;
  if (FileOpen(destination, kFileAccessRead, 0, kFileOpenExisting, &file,
               kAttributeNormal) != kSuccess) {
    return true;
  }
  FileTime on_disk = 0;
  const ErrorCode code = FileGetTimes(file, nullptr, nullptr, &on_disk);
  FileClose(file);
  // A file whose time cannot be read is replaced rather than trusted.
  if (code != kSuccess) return true;
  return on_disk < last_write;
}
