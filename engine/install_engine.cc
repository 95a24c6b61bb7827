#include "engine/install_engine.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <set>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "engine/install_journal.h"
#include "engine/recovery.h"
#include "engine/target_lock.h"
#include "engine/ui_channel.h"
#include "kit/entry_names.h"
#include "kit/kit_reader.h"
#include "l10n/string_table.h"
#include "l10n/user_message.h"
#include "platform/beneath_dir.h"
#include "platform/file_operations.h"
#include "platform/narrow_path.h"
#include "platform/system_api.h"
#include "text/path_utils.h"
#include "text/text_conversion.h"

namespace {

constexpr uint32_t kAttributeNormal = 0x80;

// Where backed-up files go inside the backup directory, apart from the
// journal, so that no kit name can collide with it.
constexpr char kBackupFiles[] = "files";
constexpr char kJournalName[] = "journal";

// How often a job that found its directory replaced while it waited looks
// again before it gives up.
constexpr int kMaxTargetAttempts = 100;

std::string Narrow(const WideString& text) { return ToNarrow(text).c_str(); }

WideString Wide(const std::string& text) {
  return ToWide(NarrowString(text.c_str()));
}

bool IsDirectory(const std::string& path) {
  struct stat status;
  return Sys().Stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// The directory part of a normalised relative path; "" for a name in the
// top directory.
std::string ParentRelative(const std::string& relative) {
  const size_t slash = relative.rfind('/');
  return slash == std::string::npos ? std::string() : relative.substr(0, slash);
}

// The entry's name as the locale spells it, for a report, with what the
// encoding cannot hold written as "\uXXXX".
std::string ShownName(const WideString& name) {
  std::string shown;
  for (uint32_t i = 0; i < name.length(); ++i) {
    const WideString unit(name.c_str() + i, 1);
    NarrowString bytes;
    if (ToNarrowExact(unit, &bytes)) {
      shown += bytes.c_str();
    } else {
      char escape[8];
      std::snprintf(escape, sizeof(escape), "\\u%04X",
                    static_cast<unsigned>(name[i]));
      shown += escape;
    }
  }
  return shown;
}

// The path below the template directory at which `name` installs: its
// exact form in the locale's encoding with "/" separators and without
// empty or "." components. False when there is no exact form.
bool RelativePathOf(const WideString& name, std::string* encoded,
                    std::string* relative) {
  WideString slashed = name;
  ToSlashes(slashed);
  NarrowString narrow;
  if (!ToNarrowExact(slashed, &narrow)) return false;
  *encoded = std::string(narrow.c_str(), narrow.length());
  *relative = NormalisedEntryPath(*encoded);
  return true;
}

}  // namespace

struct InstallEngine::Transaction {
  WideString target_dir;  // as given, ending in "/"
  std::string target;     // its narrow form, as the user gave it
  std::string target_abs;  // absolute, ending in "/": the journal's form
  WideString backup_dir;  // ".../ktstp<N>/", empty until made
  std::string backup;
  InstallJournal journal;
  BeneathDir root;   // the template directory, once made and locked
  BeneathDir saved;  // the backup's "files" directory
  TargetLock lock;
  // Directories below the template directory ("" is the directory itself)
  // known to exist, and whether this job made them: kits list files
  // directory by directory, and a directory the job made holds only the
  // job's own files, so the look at a destination is saved there.
  std::unordered_map<std::string, bool> directories;
  // Directories whose times are in the journal (or that the job made).
  std::unordered_set<std::string> timed;
  // The last directory made in the backup tree.
  std::string known_backup_dir;
  // The pointer to the journal under the home directory; empty when none
  // could be made.
  std::string pointer;
  // The working directory when the job began: the journal holds absolute
  // paths, so that a recovery started elsewhere finds them.
  std::string cwd;
  // The start of a record whose step did not happen although no kVoid
  // record could be written for it; the rollback skips it.
  uint64_t void_start = 0;

  std::string Absolute(const std::string& path) const {
    if (path.empty() || path[0] == '/' || cwd.empty()) return path;
    return cwd + "/" + path;
  }
  // The journal's name of `relative` below the template directory.
  std::string Recorded(const std::string& relative) const {
    return target_abs + relative;
  }
  // The name of `relative` in reports: below the directory as given.
  std::string Shown(const std::string& relative) const {
    return relative.empty() ? WithoutTrailingSlashes(target) : target + relative;
  }
  // A journal path below (or at) the template directory, made relative.
  bool RelativeOf(const std::string& path, std::string* relative) const {
    if (path.size() < target_abs.size() ||
        path.compare(0, target_abs.size(), target_abs) != 0) {
      return false;
    }
    *relative = path.substr(target_abs.size());
    return true;
  }
  // The template directory itself or a level above it (as the journal
  // names the levels the job made for it).
  bool IsTargetLevel(const std::string& path) const {
    const std::string level = WithoutTrailingSlashes(path);
    const std::string top = WithoutTrailingSlashes(target_abs);
    return top.compare(0, level.size(), level) == 0 &&
           (level.size() == top.size() || level == "/" ||
            top[level.size()] == '/');
  }
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
  outcome_.reason = FailureReason::kNone;
  return code;
}

ErrorCode InstallEngine::KitReadFailed(const KitReader& reader,
                                       ErrorCode code) {
  if (code == kErrorInvalidData) {
    return FailedFor(std::string(), FailureReason::kDamagedKit, code);
  }
  return Failed(reader.failure().path, reader.failure().system_error, code);
}

ErrorCode InstallEngine::FailedFor(const std::string& path,
                                   FailureReason reason, ErrorCode code) {
  outcome_.failed_path = path;
  outcome_.system_error = 0;
  outcome_.reason = reason;
  return code;
}

ErrorCode InstallEngine::FailedBeneath(const std::string& relative,
                                       int error) {
  Transaction& t = *Current();
  if (error == EXDEV) {
    const std::string& link = !t.root.outside_link().empty()
                                  ? t.root.outside_link()
                                  : t.saved.outside_link();
    if (!link.empty()) {
      return FailedFor(t.Shown(link), FailureReason::kLinkOutside,
                       kErrorAccessDenied);
    }
  }
  if (error == EEXIST || error == ENOTDIR || error == EISDIR) {
    return Failed(t.Shown(relative), error, kErrorAlreadyExists);
  }
  return Failed(t.Shown(relative), error);
}

WideString InstallEngine::FailureMessage(ErrorCode code,
                                         const Outcome& outcome) {
  MessageDetail detail;
  detail.path = outcome.failed_path;
  detail.system_error = outcome.system_error;
  const char* key = "IDS_INSTALL_ERROR";
  switch (outcome.reason) {
    case FailureReason::kNone:
      break;
    case FailureReason::kLinkOutside:
      detail.reason_key = "IDS_REASON_LINK_OUTSIDE";
      break;
    case FailureReason::kNameEncoding:
      detail.reason_key = "IDS_REASON_NAME_ENCODING";
      break;
    case FailureReason::kNameTwice:
      detail.reason_key = "IDS_REASON_NAME_TWICE";
      break;
    case FailureReason::kNameInvalid:
      detail.reason_key = "IDS_REASON_NAME_INVALID";
      break;
    case FailureReason::kNotAFile:
      detail.reason_key = "IDS_REASON_NOT_A_FILE";
      break;
    case FailureReason::kDamagedKit:
      key = "IDS_ERROR_DAMAGEDSOURCE";
      break;
  }
  if (code == kErrorInvalidData) key = "IDS_ERROR_DAMAGEDSOURCE";
  return UserMessage(key, detail);
}

ErrorCode InstallEngine::Run(UiChannel* channel) {
  channel_ = channel;
  WideString target;
  KitReader* reader = channel->TakeJob(&target);
  if (reader == nullptr) return ReportError(kErrorInvalidParameter, 0);
  // Without a directory the names would land wherever the process happens
  // to run, and nothing could be backed up.
  if (target.empty()) return ReportError(kErrorPathNotFound, 0);
  ErrorCode code = CheckNames(reader, Narrow(target));
  if (code != kSuccess) return ReportError(code, 0);
  code = Begin(target);
  if (code == kErrorCancelled) {
    Rollback(kErrorCancelled);
    channel->Post(kErrorCancelled, WideString(), 0);
    return kErrorCancelled;
  }
  if (code != kSuccess) return ReportError(code, 0);
  const uint32_t count = reader->entry_count();
  int32_t progress = 0;
  // Whether the last entry of the table was copied (and so every byte of
  // the files was inflated).
  bool last_copied = false;
  for (uint32_t i = 0; i < count; ++i) {
    progress = static_cast<int32_t>(static_cast<uint64_t>(i) * 100 / count);
    KitEntry entry;
    code = reader->ReadEntry(i, &entry);
    if (code != kSuccess) {
      return ReportError(KitReadFailed(*reader, code), progress);
    }
    std::string encoded;
    std::string relative;
    if (!RelativePathOf(entry.name, &encoded, &relative)) {
      return ReportError(
          FailedFor(Narrow(target) + ShownName(entry.name),
                    FailureReason::kNameEncoding, kErrorInvalidParameter),
          progress);
    }
    WideString name = entry.name;
    ToSlashes(name);
    channel->Post(kSuccess, target + name, progress);
    const uint32_t copied_before = outcome_.copied;
    code = InstallEntry(reader, entry, relative);
    if (code != kSuccess) return ReportError(code, progress);
    last_copied = outcome_.copied > copied_before;
    // The user may be deciding whether to cancel: nothing more happens
    // until the answer.
    channel->WaitWhilePaused();
    if (channel->IsCancelled()) {
      // Posted once the directory is back as it was, so that the GUI can
      // say so as soon as it sees the state.
      Rollback(kErrorCancelled);
      channel->Post(kErrorCancelled, WideString(), progress);
      return kErrorCancelled;
    }
  }
  // A kit inflated while it is installed may still turn out damaged after
  // the last file. When later files were up to date, their bytes are not
  // inflated at all (nor checked): what was installed is whole.
  code = last_copied ? reader->FinishInflation() : kSuccess;
  // A kit with a checksum file must match it, however much was copied.
  if (code == kSuccess) code = reader->VerifyChecksum();
  if (code != kSuccess) {
    return ReportError(KitReadFailed(*reader, code), progress);
  }
  // A question about cancelling that is still open holds the commit back:
  // its answer decides.
  if (!channel->BeginCommit()) {
    Rollback(kErrorCancelled);
    channel->Post(kErrorCancelled, WideString(), progress);
    return kErrorCancelled;
  }
  Commit();
  channel->Post(kSuccess, StringTable::Lookup("IDS_INSTALL_FINISH"), 100);
  return kSuccess;
}

ErrorCode InstallEngine::ReportError(ErrorCode code, int32_t progress) {
  if (channel_ != nullptr) {
    channel_->Post(code, FailureMessage(code, outcome_), progress);
  }
  return Rollback(code);
}

ErrorCode InstallEngine::CheckNames(KitReader* reader,
                                     const std::string& shown_target) {
  DuplicateNameFinder duplicates;
  duplicates.Reserve(reader->entry_count());
  // A name refused here is told as such; any other failure is the reader's.
  bool refused = false;
  ErrorCode code = reader->VisitEntries([&](uint32_t index,
                                            const KitEntry& entry) {
    refused = true;
    std::string encoded;
    std::string relative;
    if (!RelativePathOf(entry.name, &encoded, &relative)) {
      return FailedFor(shown_target + ShownName(entry.name),
                       FailureReason::kNameEncoding, kErrorInvalidParameter);
    }
    if (CheckEntryPath(encoded) != EntryNameProblem::kNone) {
      return FailedFor(shown_target + encoded, FailureReason::kNameInvalid,
                       kErrorInvalidParameter);
    }
    duplicates.Add(index, relative);
    refused = false;
    return kSuccess;
  });
  if (code != kSuccess) return refused ? code : KitReadFailed(*reader, code);
  const std::vector<std::pair<uint32_t, uint32_t>> pairs =
      duplicates.Candidates();
  if (pairs.empty()) return kSuccess;
  // Equal hashes; the names themselves decide.
  std::set<uint32_t> wanted;
  for (const auto& [first, second] : pairs) {
    wanted.insert(first);
    wanted.insert(second);
  }
  std::unordered_map<uint32_t, std::string> names;
  code = reader->VisitEntries([&](uint32_t index, const KitEntry& entry) {
    if (wanted.count(index) != 0) {
      std::string encoded;
      RelativePathOf(entry.name, &encoded, &names[index]);
    }
    return kSuccess;
  });
  if (code != kSuccess) return KitReadFailed(*reader, code);
  for (const auto& [first, second] : pairs) {
    if (names[first] == names[second]) {
      return FailedFor(shown_target + names[second], FailureReason::kNameTwice,
                       kErrorInvalidParameter);
    }
  }
  return kSuccess;
}

ErrorCode InstallEngine::InstallEntry(KitReader* reader, const KitEntry& entry,
                                      const std::string& relative) {
  Transaction& t = *Current();
  const std::string parent = ParentRelative(relative);
  const auto known = t.directories.find(parent);
  // A directory this job has just made holds only the job's own files; the
  // look at the destination is saved there, and O_EXCL below still catches
  // anything put there meanwhile.
  bool look = known == t.directories.end() || !known->second;
  for (;;) {
    if (look) {
      struct stat status;
      if (t.root.Stat(relative, &status, false) == 0) {
        bool regular = S_ISREG(status.st_mode);
        if (S_ISLNK(status.st_mode)) {
          // A link to a file inside the directory counts as that file; the
          // link itself is what gets backed up and replaced.
          struct stat target;
          if (t.root.Stat(relative, &target, true) == 0) {
            regular = S_ISREG(target.st_mode);
            status.st_mode = target.st_mode;
            status.st_mtim = target.st_mtim;
          } else if (errno == EXDEV) {
            return FailedBeneath(relative, EXDEV);
          }
        }
        if (!regular) {
          if (S_ISDIR(status.st_mode)) return FailedBeneath(relative, EISDIR);
          return FailedFor(t.Shown(relative), FailureReason::kNotAFile,
                           kErrorAlreadyExists);
        }
        if (FileTimeFromUnixSeconds(status.st_mtim.tv_sec) >=
            entry.last_write) {
          ++outcome_.up_to_date;
          return kSuccess;
        }
        const ErrorCode code = Backup(relative);
        if (code != kSuccess) return code;
      } else if (errno != ENOENT && errno != ENOTDIR) {
        // Whether something is there is unknown, so nothing may be written.
        return FailedBeneath(relative, errno);
      }
    }
    ErrorCode code = EnsureDirectory(parent);
    if (code != kSuccess) return code;
    code = NoteChange(parent);
    if (code != kSuccess) return code;
    // Recorded before it exists, so that a kill between the create and the
    // completion record still finds the file.
    const uint64_t record_start = t.journal.length();
    code = t.journal.Append(JournalKind::kCreatedFile, t.Recorded(relative));
    if (code != kSuccess) return Failed(t.Shown(relative), errno, code);
    const int fd =
        t.root.OpenFile(relative, O_WRONLY | O_CREAT | O_EXCL, 0660);
    if (fd == -1) {
      const int error = errno;
      // Whatever is at the destination is not the job's: the record must
      // not make a rollback delete it.
      if (t.journal.Append(JournalKind::kVoid, t.Recorded(relative)) !=
          kSuccess) {
        t.void_start = record_start;
      }
      if (error == EEXIST && !look) {
        look = true;
        continue;
      }
      return FailedBeneath(relative, error);
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
    if (code == kErrorInvalidData) {
      return FailedFor(t.Shown(relative), FailureReason::kDamagedKit, code);
    }
    if (code != kSuccess && !reader->failure().path.empty()) {
      return KitReadFailed(*reader, code);
    }
    if (code != kSuccess) return Failed(t.Shown(relative), error, code);
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
  if (target_dir.empty()) return kErrorPathNotFound;
  t.target_abs = t.Absolute(t.target);
  if (t.target_abs.back() != '/') t.target_abs.push_back('/');
  return OpenTarget(t);
}

ErrorCode InstallEngine::EnsureBackup(Transaction& t) {
  if (!t.backup.empty()) return kSuccess;
  WideString temp;
  ErrorCode code = GetTempDirectory(&temp);
  if (code != kSuccess) return code;
  std::string base = Narrow(temp);
  if (RunMakeDirectory(temp) != kSuccess) {
    return Failed(WithoutTrailingSlashes(base), errno);
  }
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
  code = t.journal.Append(JournalKind::kTarget, t.target_abs);
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
  const std::string files = t.backup + kBackupFiles;
  if (Sys().Mkdir(files.c_str(), 0700) != 0 || t.saved.Open(files, false) != 0) {
    return Failed(files, errno);
  }
  return kSuccess;
}

namespace {

// Makes the template directory's own levels (the path as given, which may
// lead through links anywhere: the user chose it), recording each one made.
struct LevelMaker {
  LevelMaker(InstallJournal& journal_in, uint64_t& void_start_in,
             std::function<std::string(const std::string&)> absolute_in)
      : journal(journal_in),
        void_start(void_start_in),
        absolute(std::move(absolute_in)) {}

  InstallJournal& journal;
  uint64_t& void_start;
  std::function<std::string(const std::string&)> absolute;
  std::string failed_path;
  int error = 0;

  // Returns 0, or the code with failed_path and error set; *made tells
  // whether `path` itself was made.
  ErrorCode Make(const std::string& path, bool* made) {
    *made = false;
    struct stat status;
    if (Sys().Stat(path.c_str(), &status) == 0) {
      if (S_ISDIR(status.st_mode)) return kSuccess;
      return Fail(path, ENOTDIR, kErrorAlreadyExists);
    }
    if (errno != ENOENT) return Fail(path, errno, ErrorFromErrno(errno));
    // A relative path's first level lies in the working directory.
    const std::string parent = ParentOf(path);
    if (parent == path) return Fail(path, ENOENT, kErrorPathNotFound);
    if (!parent.empty() && parent != "/") {
      bool parent_made = false;
      const ErrorCode code = Make(parent, &parent_made);
      if (code != kSuccess) return code;
    }
    // A level is recorded before its mkdir; a mkdir that then fails voids
    // the record, so that a rollback never removes a directory it did not
    // make.
    const uint64_t record_start = journal.length();
    ErrorCode code =
        journal.Append(JournalKind::kCreatedDirectory, absolute(path));
    if (code != kSuccess) return Fail(path, errno, code);
    if (Sys().Mkdir(path.c_str(), 0777) == 0) {
      *made = true;
      return kSuccess;
    }
    const int failure = errno;
    if (journal.Append(JournalKind::kVoid, absolute(path)) != kSuccess) {
      void_start = record_start;
    }
    if (failure == EEXIST && IsDirectory(path)) return kSuccess;
    return Fail(path, failure,
                failure == EEXIST || failure == ENOTDIR
                    ? kErrorAlreadyExists
                    : ErrorFromErrno(failure));
  }

  ErrorCode Fail(const std::string& path, int failure, ErrorCode code) {
    failed_path = path;
    error = failure;
    return code;
  }
};

}  // namespace

ErrorCode InstallEngine::OpenTarget(Transaction& t) {
  const std::string path = WithoutTrailingSlashes(t.target);
  for (int attempt = 0;; ++attempt) {
    // Levels to make are recorded: the journal is needed now. Into an
    // existing directory it waits for the first change, so that an
    // installation that finds everything up to date makes no backup at all.
    struct stat existing;
    if (Sys().Stat(path.c_str(), &existing) != 0 ||
        !S_ISDIR(existing.st_mode)) {
      const ErrorCode code = EnsureBackup(t);
      if (code != kSuccess) return code;
    }
    LevelMaker levels(t.journal, t.void_start,
                      [&t](const std::string& p) { return t.Absolute(p); });
    bool made = false;
    ErrorCode code = levels.Make(path, &made);
    if (code != kSuccess) {
      return Failed(levels.failed_path, levels.error, code);
    }
    if (t.root.Open(path) != 0) return Failed(path, errno);
    bool waited = false;
    code = t.lock.Acquire(
        t.root.fd(),
        [this] { return channel_ != nullptr && channel_->IsCancelled(); },
        [this, &path] {
          if (channel_ == nullptr) return;
          MessageDetail detail;
          detail.path = path;
          channel_->PostWaiting(UserMessage("IDS_WAIT_OTHER_INSTALL", detail));
        },
        &waited);
    if (code != kSuccess) return code;
    // The installation waited for may have removed the directory (its
    // rollback) or another may have put a new one in its place: only the
    // directory that the path names now is installed into.
    struct stat named;
    struct stat locked;
    if (!waited ||
        (Sys().Stat(path.c_str(), &named) == 0 &&
         Sys().Fstat(t.root.fd(), &locked) == 0 &&
         named.st_dev == locked.st_dev && named.st_ino == locked.st_ino)) {
      if (made) t.directories[""] = true;
      return kSuccess;
    }
    t.lock.Release();
    t.root.Close();
    if (attempt >= kMaxTargetAttempts) return Failed(path, ESTALE);
  }
}

ErrorCode InstallEngine::CreateDirectories(const WideString& path) {
  Transaction* t = Current();
  if (t == nullptr || !t->root.is_open()) return kErrorInvalidParameter;
  std::string relative;
  if (!t->RelativeOf(t->Absolute(Narrow(path)) + "/", &relative) &&
      !t->RelativeOf(t->Absolute(Narrow(path)), &relative)) {
    return kErrorInvalidParameter;
  }
  return EnsureDirectory(NormalisedEntryPath(relative));
}

ErrorCode InstallEngine::EnsureDirectory(const std::string& relative) {
  Transaction& t = *Current();
  if (relative.empty() || t.directories.count(relative) != 0) return kSuccess;
  struct stat status;
  if (t.root.Stat(relative, &status, true) == 0) {
    if (!S_ISDIR(status.st_mode)) return FailedBeneath(relative, ENOTDIR);
    t.directories[relative] = false;
    return kSuccess;
  }
  if (errno != ENOENT && errno != ENOTDIR) {
    return FailedBeneath(relative, errno);
  }
  // A missing level, or a file somewhere above: the parents first, which
  // also finds the file in the way.
  const std::string parent = ParentRelative(relative);
  ErrorCode code = EnsureDirectory(parent);
  if (code != kSuccess) return code;
  code = NoteChange(parent);
  if (code != kSuccess) return code;
  // Recorded before the mkdir; a mkdir that fails voids the record, so that
  // a rollback never removes a directory it did not make.
  const uint64_t record_start = t.journal.length();
  code = t.journal.Append(JournalKind::kCreatedDirectory, t.Recorded(relative));
  if (code != kSuccess) return Failed(t.Shown(relative), errno, code);
  if (t.root.MakeDirectory(relative, 0777) == 0) {
    t.directories[relative] = true;
    return kSuccess;
  }
  const int error = errno;
  if (t.journal.Append(JournalKind::kVoid, t.Recorded(relative)) != kSuccess) {
    t.void_start = record_start;
  }
  if (error == EEXIST && t.root.Stat(relative, &status, true) == 0 &&
      S_ISDIR(status.st_mode)) {
    t.directories[relative] = false;
    return kSuccess;
  }
  return FailedBeneath(relative, error);
}

ErrorCode InstallEngine::NoteChange(const std::string& relative) {
  Transaction& t = *Current();
  // Every change begins here: the journal must exist before it.
  const ErrorCode made = EnsureBackup(t);
  if (made != kSuccess) return made;
  if (t.timed.count(relative) != 0) return kSuccess;
  const auto known = t.directories.find(relative);
  if (known != t.directories.end() && known->second) {
    // The job made it; a rollback removes it.
    t.timed.insert(relative);
    return kSuccess;
  }
  struct stat status;
  if (t.root.Stat(relative, &status, true) != 0) {
    return FailedBeneath(relative, errno);
  }
  const ErrorCode code =
      t.journal.Append(JournalKind::kDirectoryTimes, t.Recorded(relative),
                       EncodeTimes(status.st_atim, status.st_mtim));
  if (code != kSuccess) return Failed(t.Shown(relative), errno, code);
  t.timed.insert(relative);
  return kSuccess;
}

ErrorCode InstallEngine::Backup(const std::string& relative) {
  Transaction& t = *Current();
  ErrorCode code = EnsureBackup(t);
  if (code != kSuccess) return code;
  if (!t.saved.is_open()) return kErrorPathNotFound;
  const std::string parent = ParentRelative(relative);
  code = NoteChange(parent);
  if (code != kSuccess) return code;
  if (!parent.empty() && parent != t.known_backup_dir) {
    // The backup tree is the job's own; levels that exist are fine.
    size_t end = 0;
    while (end != std::string::npos) {
      end = parent.find('/', end + 1);
      const std::string level = parent.substr(0, end);
      if (t.saved.MakeDirectory(level, 0700) != 0 && errno != EEXIST) {
        return Failed(t.backup + kBackupFiles + "/" + level, errno);
      }
    }
    t.known_backup_dir = parent;
  }
  struct stat status;
  if (t.saved.Stat(relative, &status, false) == 0) {
    // The names were checked to be unique; a second backup of one file
    // would lose the user's.
    return FailedFor(t.Shown(relative), FailureReason::kNameTwice,
                     kErrorInvalidParameter);
  }
  // A record whose move never happens is harmless: its undo finds no
  // backup to move back.
  code = t.journal.Append(
      JournalKind::kBackup, t.Recorded(relative),
      t.Absolute(t.backup) + kBackupFiles + "/" + relative);
  if (code != kSuccess) return Failed(t.Shown(relative), errno, code);
  if (MoveBeneath(t.root, relative, t.saved, relative) != kSuccess) {
    return FailedBeneath(relative, errno);
  }
  return kSuccess;
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
  t->lock.Release();
  transactions_.pop_back();
}

void InstallEngine::RemovePointer(const Transaction& t) {
  if (!t.pointer.empty()) RemoveJournalPointer(t.pointer);
}

void InstallEngine::RemoveBackup(const Transaction& t) {
  if (t.backup.empty()) return;
  // The backed-up files before the journal: a removal cut short leaves a
  // journal that says what to do with the rest.
  RunRemoveTree(Wide(t.backup + kBackupFiles));
  Sys().Unlink((t.backup + kJournalName).c_str());
  RunRemoveTree(t.backup_dir);
  // The removal goes on past what it cannot remove; one more pass catches
  // a passing failure, so that no backup outlives its job.
  struct stat status;
  if (Sys().Lstat(t.backup.c_str(), &status) == 0) RunRemoveTree(t.backup_dir);
}

ErrorCode InstallEngine::Rollback(ErrorCode code) {
  Transaction* t = Current();
  if (t == nullptr) return code;
  bool all_back = true;
  const std::string saved_prefix = t->Absolute(t->backup) + kBackupFiles + "/";
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
          std::string relative;
          const bool beneath = t->root.is_open() &&
                               t->RelativeOf(path, &relative) &&
                               !relative.empty();
          switch (kind) {
            case JournalKind::kCreatedFile:
              if (beneath) t->root.RemoveFile(relative);
              break;
            case JournalKind::kCreatedDirectory:
              // Fails, and keeps the directory, when something the job did
              // not make was put into it meanwhile.
              if (beneath) {
                t->root.RemoveDirectory(relative);
              } else if (t->IsTargetLevel(path)) {
                Sys().Rmdir(path.c_str());
              }
              break;
            case JournalKind::kDirectoryTimes: {
              struct timespec times[2];
              if (!t->root.is_open() || !t->RelativeOf(path, &relative) ||
                  !DecodeTimes(second, times)) {
                break;
              }
              const int fd = t->root.OpenDirectory(relative);
              if (fd != -1) {
                Sys().Futimens(fd, times);
                Sys().Close(fd);
              }
              break;
            }
            case JournalKind::kBackup: {
              // Every newer record is undone: forget them, so that a
              // recovery after a kill from here on does not undo them a
              // second time over the file about to come back. This record
              // stays until the file is back.
              t->journal.TruncateTo(record_end);
              if (!beneath || second.compare(0, saved_prefix.size(),
                                             saved_prefix) != 0) {
                break;
              }
              const std::string saved = second.substr(saved_prefix.size());
              struct stat status;
              // A move that never happened leaves nothing to move back.
              if (t->saved.Stat(saved, &status, false) != 0 &&
                  errno == ENOENT) {
                break;
              }
              if (MoveBeneath(t->saved, saved, t->root, relative) !=
                  kSuccess) {
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
      all_back = RestoreFromBackup(std::string()) && all_back;
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
  t->lock.Release();
  transactions_.pop_back();
  return code;
}

bool InstallEngine::RestoreFromBackup(const std::string& relative) {
  Transaction& t = *Current();
  if (!t.root.is_open() || !t.saved.is_open()) return false;
  // The names are read first, so that the moves cannot disturb the listing.
  std::vector<std::pair<std::string, bool>> items;
  const std::string directory = t.backup + kBackupFiles +
                                (relative.empty() ? "" : "/" + relative);
  DIR* listing = Sys().OpenDir(directory.c_str());
  if (listing == nullptr) return errno == ENOENT;
  while (struct dirent* item = Sys().ReadDir(listing)) {
    const std::string name = item->d_name;
    if (name == "." || name == "..") continue;
    const std::string path = relative.empty() ? name : relative + "/" + name;
    struct stat status;
    const bool is_directory = t.saved.Stat(path, &status, false) == 0 &&
                              S_ISDIR(status.st_mode);
    items.emplace_back(path, is_directory);
  }
  Sys().CloseDir(listing);
  bool all_back = true;
  for (const auto& [path, is_directory] : items) {
    const bool back = is_directory
                          ? RestoreFromBackup(path)
                          : MoveBeneath(t.saved, path, t.root, path) ==
                                kSuccess;
    all_back = back && all_back;
  }
  return all_back;
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
