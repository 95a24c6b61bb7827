#include "engine/recovery.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <ctime>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "engine/backup_dir.h"
#include "engine/backup_place.h"
#include "engine/install_journal.h"
#include "engine/journal_owner.h"
#include "engine/journal_undoer.h"
#include "engine/state_directory.h"
#include "engine/target_lock.h"
#include "kit/kit_container.h"
#include "platform/beneath_dir.h"
#include "platform/file_operations.h"
#include "platform/narrow_path.h"
#include "platform/system_api.h"

namespace {

// Seconds a kit container must be unchanged before a free lock counts as
// its owner being gone: a reader locks it just after making it.
constexpr time_t kOrphanedContainerAge = 60;

// What a journal says about its transaction, read forwards.
struct JournalSummary {
  std::string target;
  std::string owner;
  bool committed = false;
  bool steps = false;
  // A path outside the transaction's own directories, when one is named.
  std::string outside;
  // The files the job completed, with their identities then; the newest
  // created file, which an older layout's kFileDone record describes.
  std::vector<std::pair<std::string, FileIdentity>> done;
  std::string newest_created;
};

// Checks one record against the directories its transaction may touch.
void Summarise(JournalKind kind, const std::string& path,
               const std::string& second, const BackupDir& backup,
               JournalSummary* summary) {
  const std::string& target = summary->target;
  bool inside = true;
  switch (kind) {
    case JournalKind::kTarget:
      if (target.empty()) summary->target = path;
      return;
    case JournalKind::kOwner:
      if (summary->owner.empty()) summary->owner = second;
      return;
    case JournalKind::kCommitted:
      summary->committed = true;
      return;
    case JournalKind::kCreatedDirectory:
    case JournalKind::kVoid:
      // The levels made for the template directory itself are named by
      // their own paths.
      summary->steps = true;
      inside = IsBelow(path, target) || IsLevelOf(path, target);
      break;
    case JournalKind::kCreatedFile:
      summary->steps = true;
      summary->newest_created = path;
      inside = IsBelow(path, target);
      break;
    case JournalKind::kDirectoryTimes:
      inside = IsBelow(path, target) || path == target;
      break;
    case JournalKind::kBackup: {
      summary->steps = true;
      std::string saved;
      inside = IsBelow(path, target) && backup.RelativeOfSaved(second, &saved);
      break;
    }
    case JournalKind::kFileDone: {
      FileIdentity identity;
      if (DecodeIdentity(second, &identity)) {
        summary->done.emplace_back(
            path.empty() ? summary->newest_created : path, identity);
      }
      return;
    }
  }
  if (target.empty() || !inside) summary->outside = path;
}

bool UsableTarget(const std::string& target) {
  return target.empty() ||
         (target[0] == '/' && target.back() == '/' && !HasDotDot(target));
}

class Recoverer {
 public:
  // A settling pass: only journals into `target`, whose lock the caller
  // holds on `held_fd`.
  struct Only {
    std::string target;
    int held_fd = -1;
  };

  explicit Recoverer(SystemApi& sys, std::optional<Only> only = std::nullopt,
                     bool look_only = false)
      : sys_(sys), only_(std::move(only)), look_only_(look_only) {}

  std::vector<RecoveryEvent> Run() {
    // Where the pointers go now, and where they went before XDG_STATE_HOME
    // was heeded: a journal left there by an older run is still ours.
    std::vector<std::string> states = {StateDirectory(sys_)};
    const std::string old_state = HomeStateDirectory(sys_);
    if (old_state != states.front()) states.push_back(old_state);
    for (const std::string& state : states) {
      if (state.empty()) continue;
      ScanPointers(state + "/" + kJournalsFolder);
      if (!look_only_) RemoveEmptyStateFolder(sys_, state, kJournalsFolder);
    }
    // A pointer may be lost where its backup directory was not (a power
    // loss before the pointer's folder was on disk).
    if (!states.front().empty()) {
      ScanTemp(states.front() + "/" + kBackupsFolder);
      if (!look_only_) {
        RemoveEmptyStateFolder(sys_, states.front(), kBackupsFolder);
      }
    }
    std::string temp = WithoutTrailingSlashes(GetTempDirectory(sys_));
    // The journals name their backup directories by absolute paths.
    char cwd[4096];
    if (!temp.empty() && temp[0] != '/' &&
        sys_.Getcwd(cwd, sizeof(cwd)) != nullptr) {
      temp = std::string(cwd) + "/" + temp;
    }
    ScanTemp(temp);
    if (only_) {
      // A start has reported these already.
      std::erase_if(events_, [](const RecoveryEvent& event) {
        return event.kind == RecoveryEvent::Kind::kRefused;
      });
    }
    return std::move(events_);
  }

 private:
  enum class Result { kDone, kLeft };

  void ScanPointers(const std::string& directory) {
    for (const std::string& name : List(directory)) {
      const std::string pointer = directory + "/" + name;
      struct stat status;
      if (sys_.Lstat(pointer.c_str(), &status) != 0) continue;
      // Only links of this user's are pointers; anything else is never
      // followed or opened, and said.
      if (!S_ISLNK(status.st_mode) || status.st_uid != sys_.GetEuid()) {
        Refuse(pointer, RecoveryEvent::Refusal::kNotAPointer);
        continue;
      }
      char text[4096];
      const ssize_t length = sys_.Readlink(pointer.c_str(), text, sizeof(text));
      if (length <= 0 || static_cast<size_t>(length) >= sizeof(text)) continue;
      const std::string journal(text, static_cast<size_t>(length));
      const std::string backup = BackupDir::OfJournal(journal);
      if (backup.empty()) {
        Refuse(journal, RecoveryEvent::Refusal::kPointerNotAJournal, pointer);
        continue;
      }
      struct stat backup_status;
      if (sys_.Lstat(backup.c_str(), &backup_status) != 0 && errno == ENOENT) {
        // Its job ended after its backup directory was gone.
        if (!look_only_) sys_.Unlink(pointer.c_str());
        continue;
      }
      if (!seen_.insert(backup).second) continue;
      if (RecoverBackup(BackupDir(backup)) == Result::kDone && !look_only_) {
        sys_.Unlink(pointer.c_str());
      }
    }
  }

  void ScanTemp(const std::string& temp) {
    for (const std::string& name : List(temp)) {
      if (IsKitContainerName(name)) {
        if (!only_ && !look_only_) RemoveOrphanedContainer(temp + "/" + name);
        continue;
      }
      if (!BackupDir::IsBackupName(name)) continue;
      const std::string backup = temp + "/" + name;
      if (!seen_.insert(backup).second) continue;
      RecoverBackup(BackupDir(backup));
    }
  }

  // A kit's inflated container (as big as the kit's contents) that a killed
  // run left behind. A live reader holds the container's lock from just
  // after making it until it removes it; the age rule covers that first
  // moment. Only a regular file of ours is removed, and only the file that
  // was locked.
  void RemoveOrphanedContainer(const std::string& path) {
    struct stat status;
    if (sys_.Lstat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode) ||
        status.st_uid != sys_.GetEuid() ||
        time(nullptr) - status.st_mtime < kOrphanedContainerAge) {
      return;
    }
    const int fd = sys_.Open(
        path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0);
    if (fd == -1) return;
    struct stat opened;
    if (sys_.Flock(fd, LOCK_EX | LOCK_NB) == 0 &&
        sys_.Fstat(fd, &opened) == 0 && opened.st_dev == status.st_dev &&
        opened.st_ino == status.st_ino &&
        sys_.Lstat(path.c_str(), &status) == 0 &&
        opened.st_dev == status.st_dev && opened.st_ino == status.st_ino) {
      sys_.Unlink(path.c_str());
    }
    sys_.Close(fd);
  }

  std::vector<std::string> List(const std::string& directory) {
    std::vector<std::string> names;
    DIR* dir = sys_.OpenDir(directory.c_str());
    if (dir == nullptr) return names;
    while (struct dirent* entry = sys_.ReadDir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    sys_.CloseDir(dir);
    return names;
  }

  void Refuse(const std::string& backup, RecoveryEvent::Refusal refusal,
              const std::string& path = std::string(), int error = 0) {
    RecoveryEvent event{};
    event.kind = RecoveryEvent::Kind::kRefused;
    event.backup = backup;
    event.refusal = refusal;
    event.path = path;
    event.error = error;
    events_.push_back(event);
  }

  void Report(RecoveryEvent::Kind kind, const std::string& target,
              const std::string& backup) {
    RecoveryEvent event{};
    event.kind = kind;
    event.target = target;
    event.backup = backup;
    events_.push_back(event);
  }

  // The steps of one backup directory: open its journal, read and check
  // it, then finish a committed transaction or undo any other.
  Result RecoverBackup(const BackupDir& backup) {
    int fd = -1;
    Result early = Result::kLeft;
    if (!OpenJournal(backup, &fd, &early)) return early;
    InstallJournal journal(sys_);
    JournalSummary summary;
    const Status read = journal.Adopt(
        fd, backup.journal(),
        [&](JournalKind kind, const std::string& path,
            const std::string& second,
            uint64_t) { Summarise(kind, path, second, backup, &summary); });
    if (!Trusted(backup, read, summary)) return Result::kLeft;
    if (look_only_) {
      // One that never changed anything would only be cleared away.
      if (!summary.owner.empty() && OwnerIsGone(sys_, summary.owner)) {
        Report(RecoveryEvent::Kind::kPending, summary.target, backup.path());
        events_.back().committed = summary.committed;
      }
      return Result::kLeft;
    }
    if (summary.owner.empty()) {
      // Killed while it began, before it changed anything (or a run that
      // lost the name to this look, and went on under another): whatever
      // its target, nothing in it is anyone's.
      RemoveBackupDirectory(sys_, backup);
      RemoveEmptyBackupBase(sys_, backup.path());
      return Result::kDone;
    }
    if (!IsOurTarget(summary.target)) return Result::kLeft;
    if (!OwnerIsGone(sys_, summary.owner)) return Result::kLeft;
    // A torn tail goes, so that nothing is ever appended after it.
    (void)journal.TruncateTo(journal.length());
    // A commit mark that reached the disk before the files' data (a disk
    // that reorders or ignores flushes) must not cost the user's files:
    // such an installation is undone instead.
    if (summary.committed && InstalledWhole(summary)) {
      RemoveBackupDirectory(sys_, backup);
      RemoveEmptyBackupBase(sys_, backup.path());
      Report(RecoveryEvent::Kind::kFinishedCommit, summary.target,
             backup.path());
      return Result::kDone;
    }
    return RollBack(backup, summary.target, journal);
  }

  // Opens and locks the journal of `backup` when the directory is one this
  // recovery may work on. False with *result set otherwise (kDone when the
  // directory was only the empty start of a killed run and is gone).
  bool OpenJournal(const BackupDir& backup, int* fd, Result* result) {
    const std::string& path = backup.path();
    struct stat status;
    if (sys_.Lstat(path.c_str(), &status) != 0) return false;
    // Another user's directory in a shared /tmp is none of ours to report.
    if (status.st_uid != sys_.GetEuid()) return false;
    if (!S_ISDIR(status.st_mode)) {
      if (S_ISLNK(status.st_mode)) {
        Refuse(path, RecoveryEvent::Refusal::kLink);
      }
      return false;
    }
    if ((status.st_mode & 077) != 0) {
      Refuse(path, RecoveryEvent::Refusal::kOpenToOthers);
      return false;
    }
    for (int attempt = 0; *fd == -1; ++attempt) {
      *fd = sys_.Open(backup.journal().c_str(),
                      (look_only_ ? O_RDONLY : O_RDWR) | O_NOFOLLOW |
                          O_NONBLOCK | O_CLOEXEC,
                      0);
      if (*fd != -1) break;
      if (errno != ENOENT) {
        Refuse(path, RecoveryEvent::Refusal::kJournalUnopenable, "", errno);
        return false;
      }
      // An empty start, or a job that ends now: nothing to report.
      if (look_only_) return false;
      // Killed before its journal existed, or after the journal of a
      // committed job was removed: an empty directory goes.
      if (sys_.Rmdir(path.c_str()) == 0 || errno == ENOENT) {
        *result = Result::kDone;
        return false;
      }
      // A live installation may have made its journal just now, between
      // the look and the rmdir: look once more. Content without a journal
      // after that says nothing we could act on.
      if (attempt > 0) {
        Refuse(path, RecoveryEvent::Refusal::kNoJournal);
        return false;
      }
    }
    struct stat journal_status;
    if (sys_.Fstat(*fd, &journal_status) != 0 ||
        !S_ISREG(journal_status.st_mode) ||
        journal_status.st_uid != sys_.GetEuid()) {
      sys_.Close(*fd);
      Refuse(path, RecoveryEvent::Refusal::kJournalNotOurs);
      return false;
    }
    // A live owner holds the lock for as long as its job runs; while this
    // recovery holds it, no other recovery works on the journal.
    if (sys_.Flock(*fd, LOCK_EX | LOCK_NB) != 0) {
      sys_.Close(*fd);
      return false;
    }
    return true;
  }

  // Whether every file a committed job completed that is still the job's
  // (not removed or changed since) has the size it had then.
  bool InstalledWhole(const JournalSummary& summary) {
    for (const auto& [path, done] : summary.done) {
      struct stat status;
      if (sys_.Lstat(path.c_str(), &status) == 0 &&
          S_ISREG(status.st_mode) && StillAsDone(status, done) &&
          static_cast<uint64_t>(status.st_size) != done.size) {
        return false;
      }
    }
    return true;
  }

  // Whether a journal into `target` is one this pass works on: any, or in a
  // settling pass the directory the caller holds, by name or by identity.
  bool IsOurTarget(const std::string& target) {
    if (!only_ || target == only_->target) return true;
    struct stat named;
    struct stat held;
    return !target.empty() && sys_.Stat(target.c_str(), &named) == 0 &&
           sys_.Fstat(only_->held_fd, &held) == 0 &&
           named.st_dev == held.st_dev && named.st_ino == held.st_ino;
  }

  // Whether the journal read can be acted on; reports why not.
  bool Trusted(const BackupDir& backup, const Status& read,
               const JournalSummary& summary) {
    using Refusal = RecoveryEvent::Refusal;
    if (!read.ok()) {
      Refuse(backup.path(), Refusal::kJournalUnreadable);
    } else if (!UsableTarget(summary.target)) {
      Refuse(backup.path(), Refusal::kUnusableTarget);
    } else if (!summary.outside.empty()) {
      Refuse(backup.path(), Refusal::kOutside, summary.outside);
    } else if (summary.owner.empty() && summary.steps) {
      Refuse(backup.path(), Refusal::kNoOwner);
    } else {
      return true;
    }
    return false;
  }

  // Undoes the transaction of `journal` into `target` as its owner's
  // rollback would have, holding the template directory's lock, so that no
  // installation runs in it meanwhile.
  Result RollBack(const BackupDir& backup, const std::string& target,
                  InstallJournal& journal) {
    // The template directory as the journal names it (it may be a link),
    // with every name below it resolved beneath it.
    BeneathDir root(sys_);
    BeneathDir saved(sys_);
    const int opened = root.Open(target);
    if (opened != 0 && errno != ENOENT && errno != ENOTDIR) {
      Report(RecoveryEvent::Kind::kKeptBackup, target, backup.path());
      return Result::kLeft;
    }
    TargetLock lock(sys_);
    if (opened == 0 && !only_) {
      bool waited = false;
      (void)lock.Acquire(root.fd(), nullptr, nullptr, &waited);
    }
    JournalUndoer undoer(
        target, root, saved, backup,
        [&](const std::string& relative, const std::string& kept_as) {
          RecoveryEvent event{};
          event.kind = RecoveryEvent::Kind::kKeptFile;
          event.target = target;
          event.path = target + relative;
          event.kept_as = target + kept_as;
          events_.push_back(event);
        });
    // The installation that settles holds the directory and goes on in it.
    if (only_) undoer.KeepTargetLevels();
    // Without the backed-up files nothing could go home: the backup stays
    // (unless there never were any).
    bool all_back =
        saved.Open(backup.files(), false) == 0 || errno == ENOENT;
    if (all_back) all_back = undoer.Undo(journal);
    // A file still in the backup has no record that took it home: after a
    // power loss the record of a move can be lost while the move is not.
    // It goes home when its place is free; otherwise the backup stays.
    if (all_back) all_back = undoer.SweepBackup();
    lock.Release();
    if (!all_back) {
      // Tried once: a later start must not undo it again, perhaps over the
      // files of an installation that ran in between.
      std::string aside;
      const bool set_aside = SetBackupAside(sys_, backup, &aside).ok();
      Report(RecoveryEvent::Kind::kKeptBackup, target, backup.path());
      events_.back().kept_as = aside;
      return set_aside ? Result::kDone : Result::kLeft;
    }
    RemoveBackupDirectory(sys_, backup);
    RemoveEmptyBackupBase(sys_, backup.path());
    Report(RecoveryEvent::Kind::kRolledBack, target, backup.path());
    return Result::kDone;
  }

  SystemApi& sys_;
  const std::optional<Only> only_;
  const bool look_only_;
  std::set<std::string> seen_;
  std::vector<RecoveryEvent> events_;
};

}  // namespace

std::vector<RecoveryEvent> RecoverInterruptedInstalls(SystemApi& sys) {
  return Recoverer(sys).Run();
}

std::vector<RecoveryEvent> ListPendingInstalls(SystemApi& sys) {
  return Recoverer(sys, std::nullopt, true).Run();
}

std::vector<RecoveryEvent> SettleInterruptedInstallsInto(
    SystemApi& sys, const std::string& target, int held_fd) {
  return Recoverer(sys, Recoverer::Only{target, held_fd}).Run();
}
