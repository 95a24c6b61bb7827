#include "engine/install_transaction.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <numeric>
#include <set>

#include "engine/backup_place.h"
#include "engine/journal_owner.h"
#include "engine/journal_undoer.h"
#include "engine/recovery.h"
#include "engine/state_directory.h"
#include "platform/file_operations.h"
#include "platform/narrow_path.h"
#include "platform/system_api.h"

namespace {

// A bench-only build leaves out the flushes that make an installation
// survive a power loss, so that their cost can be measured side by side.
#ifdef TQ_BENCH_WITHOUT_FLUSHES
constexpr bool kPowerLossFlushes = false;
#else
constexpr bool kPowerLossFlushes = true;
#endif

// How often a transaction that found its directory replaced while it waited
// looks again before it gives up.
constexpr int kMaxTargetAttempts = 100;

// A batch that holds this much has the file system flushed on the
// flusher's thread while it is installed, this often: enough that the
// flush before the commit finds little left, rare enough that each flush
// has some work.
constexpr uint64_t kKeepFlushingFromBytes = 32u << 20;
constexpr std::chrono::milliseconds kFlushPeriod{50};

// The directory part of a normalised relative path; "" for a name in the
// top directory.
std::string ParentRelative(const std::string& relative) {
  const size_t slash = relative.rfind('/');
  return slash == std::string::npos ? std::string() : relative.substr(0, slash);
}

}  // namespace

// Makes the directories below the template directory, recording each level
// it makes (and the times of the directory it is made in) before its mkdir,
// and voiding the record when the mkdir fails, so that a rollback never
// removes a directory it did not make.
class InstallTransaction::LevelRecorder : public BeneathLevelMaker {
 public:
  explicit LevelRecorder(InstallTransaction& t)
      : BeneathLevelMaker(t.root_), t_(t) {}
  // The failure came from the records, which name their paths already.
  bool recording_failed() const { return recording_failed_; }

 protected:
  bool Known(const std::string& level) override {
    return t_.directories_.count(level) != 0;
  }
  void Found(const std::string& level) override {
    t_.directories_.emplace(level, false);
  }
  Status BeforeMake(const std::string& level) override {
    const auto planned = t_.planned_directories_.find(level);
    if (planned != t_.planned_directories_.end()) {
      record_start_ = planned->second;
      t_.planned_directories_.erase(planned);
      return Status::Ok();
    }
    Status noted = t_.NoteChange(ParentRelative(level));
    if (noted.ok()) {
      record_start_ = t_.journal_.length();
      noted = t_.Record(JournalKind::kCreatedDirectory, level);
    }
    recording_failed_ = !noted.ok();
    return noted;
  }
  void AfterMake(const std::string& level, bool made) override {
    if (made) {
      t_.directories_[level] = true;
    } else {
      t_.Void(record_start_, level);
    }
  }

 private:
  InstallTransaction& t_;
  uint64_t record_start_ = 0;
  bool recording_failed_ = false;
};

// Makes the template directory's own levels (the path as given, which may
// lead through links anywhere: the user chose it), recording each one made.
class InstallTransaction::TargetLevels : public LevelMaker {
 public:
  explicit TargetLevels(InstallTransaction& t) : t_(t) {}
  bool made() const { return made_; }

 protected:
  int StatLevel(const std::string& level, struct stat* status) override {
    return t_.sys_.Stat(level.c_str(), status);
  }
  int MakeLevel(const std::string& level) override {
    return t_.sys_.Mkdir(level.c_str(), 0777);
  }
  Status BeforeMake(const std::string& level) override {
    record_start_ = t_.journal_.length();
    Status recorded =
        t_.journal_.Append(JournalKind::kCreatedDirectory, t_.Absolute(level));
    // On disk before the level is: a power loss must not leave a directory
    // that no record names. Rare: once per level of a new directory.
    if (recorded.ok() && kPowerLossFlushes) recorded = t_.journal_.Sync();
    if (recorded.ok()) return recorded;
    return Status::System(recorded.error() != 0 ? recorded.error() : EIO,
                          level);
  }
  void AfterMake(const std::string& level, bool made) override {
    if (made) {
      made_ = level == WithoutTrailingSlashes(t_.target_);
    } else if (!t_.journal_
                    .Append(JournalKind::kVoid, t_.Absolute(level))
                    .ok()) {
      t_.void_start_ = record_start_;
    }
  }

 private:
  InstallTransaction& t_;
  uint64_t record_start_ = 0;
  bool made_ = false;
};

InstallTransaction::InstallTransaction(SystemApi& sys, Hooks hooks)
    : sys_(sys),
      hooks_(std::move(hooks)),
      journal_(sys),
      root_(sys),
      saved_(sys),
      lock_(sys),
      flusher_(sys) {}

InstallTransaction::~InstallTransaction() {
  if (open_) Rollback();
}

std::string InstallTransaction::Absolute(const std::string& path) const {
  if (path.empty() || path[0] == '/' || cwd_.empty()) return path;
  return cwd_ + "/" + path;
}

std::string InstallTransaction::Shown(const std::string& relative) const {
  return relative.empty() ? WithoutTrailingSlashes(target_)
                          : target_ + relative;
}

Status InstallTransaction::FailedBeneath(const std::string& relative,
                                         int error) const {
  if (error == EXDEV) {
    const std::string& link = !root_.outside_link().empty()
                                  ? root_.outside_link()
                                  : saved_.outside_link();
    if (!link.empty()) {
      return Status::Of(Status::Kind::kLinkOutside, Shown(link));
    }
  }
  if (error == EEXIST || error == ENOTDIR || error == EISDIR) {
    return Status::Of(Status::Kind::kInTheWay, Shown(relative), error);
  }
  return Status::System(error, Shown(relative));
}

Status InstallTransaction::Begin(const std::string& target_dir) {
  open_ = true;
  target_ = target_dir;
  if (!target_.empty() && target_.back() != '/') target_.push_back('/');
  if (target_dir.empty()) return Status::Of(Status::Kind::kNoTarget);
  // The journal names absolute paths, which a relative target or temporary
  // directory takes from the working directory: without it the journal
  // could not be recovered.
  const Status cwd = CurrentDirectory(sys_, &cwd_);
  if (!cwd.ok() &&
      (target_[0] != '/' || GetTempDirectory(sys_).front() != '/')) {
    return cwd;
  }
  target_abs_ = Absolute(target_);
  return OpenTarget();
}

Status InstallTransaction::OpenToLook(const std::string& target_dir) {
  target_ = target_dir;
  if (target_dir.empty()) return Status::Of(Status::Kind::kNoTarget);
  if (target_.back() != '/') target_.push_back('/');
  const std::string path = WithoutTrailingSlashes(target_);
  if (root_.Open(path) == 0) return Status::Ok();
  if (errno != ENOENT && errno != ENOTDIR) return Status::System(errno, path);
  // Nothing is there yet: the levels would be made where the nearest one
  // that exists is a directory.
  const std::string existing = NearestExisting(sys_, path);
  struct stat status;
  if (existing.empty() || sys_.Stat(existing.c_str(), &status) != 0) {
    return Status::System(errno != 0 ? errno : ENOENT, path);
  }
  if (!S_ISDIR(status.st_mode)) {
    return Status::Of(Status::Kind::kInTheWay, existing, ENOTDIR);
  }
  return Status::Ok();
}

Status InstallTransaction::LookLevels(const std::string& relative) {
  if (!root_.is_open()) return Status::Ok();
  std::string level = relative;
  for (;;) {
    const size_t slash = level.rfind('/');
    level = slash == std::string::npos ? std::string() : level.substr(0, slash);
    if (level.empty() || looked_levels_.count(level) != 0) return Status::Ok();
    struct stat status;
    if (root_.Stat(level, &status, true) == 0) {
      if (!S_ISDIR(status.st_mode)) return FailedBeneath(level, EEXIST);
      looked_levels_.insert(level);
      return Status::Ok();
    }
    if (errno != ENOENT && errno != ENOTDIR) {
      return FailedBeneath(level, errno);
    }
  }
}

Status InstallTransaction::OpenTarget() {
  const std::string path = WithoutTrailingSlashes(target_);
  for (int attempt = 0;; ++attempt) {
    // Levels to make are recorded: the journal is needed now. Into an
    // existing directory it waits for the first change, so that an
    // installation that finds everything up to date makes no backup at all.
    struct stat existing;
    if (sys_.Stat(path.c_str(), &existing) != 0 ||
        !S_ISDIR(existing.st_mode)) {
      TQ_RETURN_IF_ERROR(EnsureBackup());
    }
    TargetLevels levels(*this);
    Status made = levels.Make(path);
    if (!made.ok()) {
      if (made.kind() == Status::Kind::kSystem &&
          (made.error() == ENOTDIR || made.error() == EEXIST)) {
        return Status::Of(Status::Kind::kInTheWay, made.path(), made.error());
      }
      return made;
    }
    if (root_.Open(path) != 0) return Status::System(errno, path);
    bool waited = false;
    const Status locked = lock_.Acquire(
        root_.fd(), hooks_.cancelled,
        [this, &path] {
          if (hooks_.on_wait) hooks_.on_wait(path);
        },
        &waited);
    TQ_RETURN_IF_ERROR(locked);
    // The installation waited for may have removed the directory (its
    // rollback) or another may have put a new one in its place: only the
    // directory that the path names now is installed into.
    struct stat named;
    struct stat held;
    if (!waited ||
        (sys_.Stat(path.c_str(), &named) == 0 &&
         sys_.Fstat(root_.fd(), &held) == 0 && named.st_dev == held.st_dev &&
         named.st_ino == held.st_ino)) {
      if (levels.made()) directories_[""] = true;
      // Before anything of this installation happens, nothing of an
      // interrupted one into this directory may be left for a later start
      // to undo over it.
      settled_ = SettleInterruptedInstallsInto(sys_, target_abs_, root_.fd());
      return Status::Ok();
    }
    lock_.Release();
    root_.Close();
    if (attempt >= kMaxTargetAttempts) return Status::System(ESTALE, path);
  }
}

Status InstallTransaction::EnsureBackup() {
  if (!backup_.empty()) return Status::Ok();
  std::string base;
  for (int attempt = 0;; ++attempt) {
    int error = 0;
    base = BackupBase(sys_, target_abs_, &error);
    if (base.empty()) return Status::System(error, GetTempDirectory(sys_));
    const Status claimed = ClaimBackupDirectory(base);
    // Another run that found the folder empty may remove it between its
    // making and the claim: then it is made again.
    if (claimed.ok()) break;
    if (claimed.error() != ENOENT || attempt >= kMaxTargetAttempts) {
      return claimed;
    }
  }
  // The backup directory's name on disk before anything is moved there.
  (void)SyncDirectory(sys_, WithoutTrailingSlashes(base));
  Status status = journal_.Append(JournalKind::kTarget, target_abs_);
  if (status.ok()) {
    status = journal_.Append(JournalKind::kOwner, std::string(),
                             CurrentOwner(sys_));
  }
  const std::string files = backup_.files();
  if (status.ok() && (sys_.Mkdir(files.c_str(), 0700) != 0 ||
                      saved_.Open(files, false) != 0)) {
    status = Status::System(errno, files);
  }
  // The owner and the target must survive a power loss before anything is
  // changed: without them a journal cannot be recovered. So must the name
  // of the folder the user's files are moved into.
  if (status.ok()) status = journal_.Sync();
  if (status.ok()) status = SyncDirectory(sys_, backup_.path());
  TQ_RETURN_IF_ERROR(status);
  // Without its pointer a later run with another temporary directory would
  // not find the journal after a kill: nothing may change then. The
  // pointer's folders may be new: their names must last too, or a power
  // loss could hide a journal kept beside the template directory.
  const std::string existed =
      NearestExisting(sys_, StateDirectory(sys_) + "/" + kJournalsFolder);
  TQ_RETURN_IF_ERROR(MakeJournalPointer(sys_, backup_.journal(), &pointer_));
  SyncMadeLevels(sys_, ParentOf(pointer_), existed);
  return Status::Ok();
}

Status InstallTransaction::ClaimBackupDirectory(const std::string& base) {
  // mkdir is the test and the claim in one step, so two installers can
  // never share a backup directory; only the owner may look inside.
  for (uint64_t n = 0;; ++n) {
    const std::string candidate = base + kBackupPrefix + std::to_string(n);
    if (sys_.Mkdir(candidate.c_str(), 0700) != 0) {
      if (errno != EEXIST) return Status::System(errno, candidate);
      continue;
    }
    backup_ = BackupDir(candidate);
    Status created = journal_.Create(backup_.journal());
    if (created.ok()) {
      // A recovery in another process takes an empty backup directory, or
      // one whose journal names no owner yet, for the remains of a killed
      // run and removes it; it can do so only before the lock is ours.
      struct stat status;
      if (sys_.Fstat(journal_.fd(), &status) != 0) {
        return Status::System(errno, backup_.journal());
      }
      if (status.st_nlink > 0) return Status::Ok();
      journal_.Close();
    } else if (created.error() != ENOENT && created.error() != EWOULDBLOCK) {
      return created;
    }
    // Taken away or being taken away: that name is no longer ours.
    backup_ = BackupDir();
  }
}

Status InstallTransaction::Record(JournalKind kind, const std::string& relative,
                                  const std::string& second) {
  Status recorded = journal_.Append(kind, Recorded(relative), second);
  if (recorded.ok()) return recorded;
  return Status::System(recorded.error() != 0 ? recorded.error() : EIO,
                        Shown(relative));
}

void InstallTransaction::Void(uint64_t record_start,
                              const std::string& relative) {
  if (!journal_.Append(JournalKind::kVoid, Recorded(relative)).ok()) {
    void_start_ = record_start;
  }
}

Status InstallTransaction::NoteChange(const std::string& relative) {
  // Every change begins here: the journal must exist before it.
  TQ_RETURN_IF_ERROR(EnsureBackup());
  if (timed_.count(relative) != 0) return Status::Ok();
  if (Made(relative)) {
    // The transaction made it; a rollback removes it.
    timed_.insert(relative);
    return Status::Ok();
  }
  struct stat status;
  if (root_.Stat(relative, &status, true) != 0) {
    return FailedBeneath(relative, errno);
  }
  TQ_RETURN_IF_ERROR(Record(JournalKind::kDirectoryTimes, relative,
                            EncodeTimes(status.st_atim, status.st_mtim)));
  timed_.insert(relative);
  return Status::Ok();
}

bool InstallTransaction::Made(const std::string& relative) const {
  const auto known = directories_.find(relative);
  return known != directories_.end() && known->second;
}

Status InstallTransaction::EnsureDirectory(const std::string& relative) {
  if (relative.empty() || directories_.count(relative) != 0) {
    return Status::Ok();
  }
  LevelRecorder recorder(*this);
  Status made = recorder.Make(relative);
  if (made.ok() || recorder.recording_failed()) return made;
  // The maker names the level relative to the directory.
  return FailedBeneath(made.path(), made.error());
}

Status InstallTransaction::Look(const std::string& relative, bool* exists,
                                struct stat* status) {
  *exists = false;
  // Looking into a directory that is not there yet finds nothing.
  if (!root_.is_open()) return Status::Ok();
  if (root_.Stat(relative, status, false) != 0) {
    // Whether something is there is unknown, so nothing may be written.
    if (errno == ENOENT || errno == ENOTDIR) return Status::Ok();
    return FailedBeneath(relative, errno);
  }
  bool regular = S_ISREG(status->st_mode);
  if (S_ISLNK(status->st_mode)) {
    // A link to a file inside the directory counts as that file; the link
    // itself is what gets backed up and replaced.
    struct stat target;
    if (root_.Stat(relative, &target, true) == 0) {
      regular = S_ISREG(target.st_mode);
      status->st_mode = target.st_mode;
      status->st_mtim = target.st_mtim;
      status->st_size = target.st_size;
    } else if (errno == EXDEV) {
      return FailedBeneath(relative, EXDEV);
    }
  }
  if (!regular) {
    if (S_ISDIR(status->st_mode)) return FailedBeneath(relative, EISDIR);
    return Status::Of(Status::Kind::kNotAFile, Shown(relative));
  }
  *exists = true;
  return Status::Ok();
}

Status InstallTransaction::PlanDirectory(const std::string& relative) {
  if (timed_.count(relative) != 0 ||
      planned_directories_.count(relative) != 0) {
    return Status::Ok();
  }
  if (relative.empty() || directories_.count(relative) != 0) {
    return NoteChange(relative);
  }
  struct stat status;
  if (root_.Stat(relative, &status, true) == 0) {
    // Something that is no directory is in the way: the step will say so.
    if (!S_ISDIR(status.st_mode)) return Status::Ok();
    directories_.emplace(relative, false);
    return NoteChange(relative);
  }
  if (errno != ENOENT) return FailedBeneath(relative, errno);
  TQ_RETURN_IF_ERROR(PlanDirectory(ParentRelative(relative)));
  const uint64_t start = journal_.length();
  TQ_RETURN_IF_ERROR(Record(JournalKind::kCreatedDirectory, relative));
  planned_directories_.emplace(relative, start);
  return Status::Ok();
}

Status InstallTransaction::Plan(const std::vector<PlannedFile>& batch) {
  plan_tickets_.push_back(0);
  if (batch.empty()) return Status::Ok();
  TQ_RETURN_IF_ERROR(EnsureBackup());
  // The folders of the backup tree that the batch's backups go into, made
  // now and flushed with the records: a move into a folder whose name a
  // power loss took would lose the file.
  std::set<std::string> made_in;
  for (const PlannedFile& file : batch) {
    const std::string parent = ParentRelative(file.relative);
    TQ_RETURN_IF_ERROR(PlanDirectory(parent));
    if (file.replaces) {
      TQ_RETURN_IF_ERROR(MakeBackupLevels(parent, &made_in));
      TQ_RETURN_IF_ERROR(Record(JournalKind::kBackup, file.relative,
                                backup_.SavedPath(file.relative)));
      planned_backups_.insert(file.relative);
    }
    const uint64_t start = journal_.length();
    TQ_RETURN_IF_ERROR(Record(JournalKind::kCreatedFile, file.relative));
    planned_files_.emplace(file.relative, start);
  }
  if (!kPowerLossFlushes) return Status::Ok();
  for (const std::string& folder : made_in) {
    const std::string path =
        folder.empty() ? backup_.files() : backup_.SavedPath(folder);
    TQ_RETURN_IF_ERROR(SyncDirectory(sys_, path));
  }
  // The first batch's records alone, at once; with each later one, what
  // the batches before it installed goes to the disk too, while the batch
  // before it is installed.
  const uint64_t batch_bytes = std::accumulate(
      batch.begin(), batch.end(), uint64_t{0},
      [](uint64_t sum, const PlannedFile& file) { return sum + file.size; });
  Flusher::Target target{.file_fd = journal_.fd()};
  if (planned_batches_++ > 0) target.file_system_fd = root_.fd();
  plan_tickets_.back() = flusher_.Flush(target);
  // A batch of large files is flushed while it is installed as well.
  if (!keeps_flushing_ && batch_bytes >= kKeepFlushingFromBytes) {
    keeps_flushing_ = true;
    flusher_.KeepFlushing({.file_system_fd = root_.fd()}, kFlushPeriod);
  }
  return Status::Ok();
}

Status InstallTransaction::AwaitPlan() {
  if (plan_tickets_.empty()) return Status::Ok();
  const uint64_t ticket = plan_tickets_.front();
  plan_tickets_.pop_front();
  if (ticket == 0) return Status::Ok();
  const int error = flusher_.Await(ticket);
  if (error == 0) return Status::Ok();
  return Status::System(error, backup_.journal());
}

Status InstallTransaction::MakeBackupLevels(const std::string& parent,
                                            std::set<std::string>* made_in) {
  if (parent.empty() || parent == known_backup_dir_) return Status::Ok();
  // The backup tree is the transaction's own; levels that exist are fine.
  class Maker : public BeneathLevelMaker {
   public:
    Maker(BeneathDir& dir, std::set<std::string>* made_in)
        : BeneathLevelMaker(dir, 0700), made_in_(made_in) {}

   protected:
    void AfterMake(const std::string& level, bool made) override {
      if (made) made_in_->insert(ParentRelative(level));
    }

   private:
    std::set<std::string>* made_in_;
  };
  Status made = Maker(saved_, made_in).Make(parent);
  if (!made.ok()) {
    return Status::System(made.error(), backup_.SavedPath(parent));
  }
  known_backup_dir_ = parent;
  return Status::Ok();
}

Status InstallTransaction::Backup(const std::string& relative) {
  TQ_RETURN_IF_ERROR(EnsureBackup());
  if (!saved_.is_open()) return Status::Of(Status::Kind::kNoTarget);
  const std::string parent = ParentRelative(relative);
  TQ_RETURN_IF_ERROR(NoteChange(parent));
  std::set<std::string> made_in;
  TQ_RETURN_IF_ERROR(MakeBackupLevels(parent, &made_in));
  struct stat status;
  if (saved_.Stat(relative, &status, false) == 0) {
    // The names were checked to be unique; a second backup of one file
    // would lose the user's.
    return Status::Of(Status::Kind::kNameTwice, Shown(relative));
  }
  // A record whose move never happens is harmless: its undo finds no
  // backup to move back. The user's file leaves its place only once the
  // record is on disk.
  if (planned_backups_.erase(relative) == 0) {
    TQ_RETURN_IF_ERROR(
        Record(JournalKind::kBackup, relative, backup_.SavedPath(relative)));
    const Status synced = journal_.Sync();
    if (!synced.ok()) {
      return Status::System(synced.error() != 0 ? synced.error() : EIO,
                            backup_.journal());
    }
  }
  Status moved = MoveBeneath(root_, relative, saved_, relative);
  if (!moved.ok()) return FailedBeneath(relative, moved.error());
  return Status::Ok();
}

Status InstallTransaction::CreateFile(const std::string& relative, int* fd) {
  TQ_RETURN_IF_ERROR(NoteChange(ParentRelative(relative)));
  // Recorded before it exists, so that a kill between the create and the
  // completion record still finds the file.
  uint64_t record_start = journal_.length();
  const auto planned = planned_files_.find(relative);
  if (planned != planned_files_.end()) {
    record_start = planned->second;
    planned_files_.erase(planned);
  } else {
    TQ_RETURN_IF_ERROR(Record(JournalKind::kCreatedFile, relative));
  }
  *fd = root_.OpenFile(relative, O_WRONLY | O_CREAT | O_EXCL, 0660);
  if (*fd != -1) {
    if (keeps_flushing_) flusher_.WriteBegins();
    return Status::Ok();
  }
  const int error = errno;
  // Whatever is at the destination is not the job's: the record must not
  // make a rollback delete it.
  Void(record_start, relative);
  return FailedBeneath(relative, error);
}

Status InstallTransaction::FinishFile(const std::string& relative, int fd) {
  // The file's identity once its bytes and time are final (closing does
  // not change it), so that a recovery can tell it from a file someone
  // changed or put there after an interruption.
  if (keeps_flushing_) flusher_.WriteEnds();
  struct stat done;
  Status status;
  if (sys_.Fstat(fd, &done) != 0) status = Status::System(errno);
  if (sys_.Close(fd) != 0 && status.ok()) status = Status::System(errno);
  if (status.ok()) {
    status = journal_.Append(JournalKind::kFileDone, Recorded(relative),
                             EncodeIdentity(IdentityOf(done)));
  }
  if (status.ok()) return status;
  return Status::System(status.error() != 0 ? status.error() : EIO,
                        Shown(relative));
}

Status InstallTransaction::Commit() {
  if (!open_) return Status::Ok();
  if (journal_.is_open()) {
    // Every installed byte, and every name of the new files, on disk
    // before the mark: a mark that outlives the files' data would let the
    // backups go while the files read empty after a power loss. One flush
    // of the file system costs far less than one per file; one under way
    // on the flusher's thread may have begun before the last files.
    if (kPowerLossFlushes && sys_.Syncfs(root_.fd()) != 0) {
      return Status::System(errno, WithoutTrailingSlashes(target_));
    }
    flusher_.Drain();
    // The mark must be on disk before the first backup goes: a recovery
    // must never roll back a committed installation with half its backups
    // gone. Without the mark, the journal goes first instead, so that
    // nothing is left that could be rolled back.
    if (!journal_.Append(JournalKind::kCommitted, std::string()).ok() ||
        !journal_.Sync().ok()) {
      sys_.Unlink(backup_.journal().c_str());
    }
  }
  RemoveBackupDirectory(sys_, backup_);
  journal_.Close();
  RemovePointer();
  if (!backup_.empty()) RemoveEmptyBackupBase(sys_, backup_.path());
  End();
  return Status::Ok();
}

bool InstallTransaction::Rollback() {
  if (!open_) return true;
  // The journal is read and cut back below: no flush of it may be left.
  flusher_.Drain();
  bool all_back = true;
  if (journal_.is_open()) {
    JournalUndoer undoer(target_abs_, root_, saved_, backup_, nullptr);
    all_back = undoer.Undo(journal_, void_start_);
    // A file still in the backup has no record that took it home; it goes
    // home when its place is free.
    if (all_back) all_back = undoer.SweepBackup();
  }
  if (!backup_.empty()) {
    if (all_back) {
      RemoveBackupDirectory(sys_, backup_);
      journal_.Close();
      RemovePointer();
      RemoveEmptyBackupBase(sys_, backup_.path());
    } else {
      // What could not go home stays for the user, set aside so that no
      // later start undoes it again over a later installation. Only when
      // even that fails does it keep its name and pointer for the next
      // start to try.
      journal_.Close();
      std::string aside;
      if (SetBackupAside(sys_, backup_, &aside).ok()) {
        kept_backup_ = aside + "/";
        RemovePointer();
      } else {
        kept_backup_ = backup_.path() + "/";
      }
    }
  }
  End();
  return all_back;
}

void InstallTransaction::RemovePointer() {
  if (!pointer_.empty()) RemoveJournalPointer(sys_, pointer_);
  pointer_.clear();
}

void InstallTransaction::End() {
  flusher_.Drain();
  journal_.Close();
  lock_.Release();
  root_.Close();
  saved_.Close();
  open_ = false;
}
