#include "engine/install_engine.h"

#include <sys/stat.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "engine/install_transaction.h"
#include "engine/job_channel.h"
#include "kit/entry_names.h"
#include "kit/kit_names_check.h"
#include "kit/kit_reader.h"
#include "platform/file_io.h"
#include "platform/system_api.h"
#include "text/path_utils.h"
#include "text/text_conversion.h"

namespace {

std::string Narrow(const WideString& text) { return ToNarrow(text).c_str(); }

// The directory part of a normalised relative path; "" for a name in the
// top directory.
std::string ParentRelative(const std::string& relative) {
  const size_t slash = relative.rfind('/');
  return slash == std::string::npos ? std::string() : relative.substr(0, slash);
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

Status NameFailure(Status::Kind kind, const std::string& path) {
  return Status::Of(kind, path);
}

// The installer's kinds are those setup has words for: a name no locale
// installs is no valid file name, and a file that is also a directory is
// one path given twice.
Status::Kind KindOf(const NameRefusal& refusal) {
  switch (refusal.kind) {
    case NameRefusal::Kind::kLocaleEncoding:
      return Status::Kind::kNameEncoding;
    case NameRefusal::Kind::kTwice:
    case NameRefusal::Kind::kFileAndDirectory:
      return Status::Kind::kNameTwice;
    case NameRefusal::Kind::kInvalid:
    case NameRefusal::Kind::kLoneSurrogate:
    case NameRefusal::Kind::kNotText:
      break;
  }
  return Status::Kind::kNameInvalid;
}

// Entries whose steps are recorded, and flushed, at once.
constexpr uint32_t kBatchEntries = 1024;

// A file at the destination is up to date when it is newer than the
// kit's, or has the kit's time and size. A file with the kit's time but
// another size is an installed one cut short (by a power loss, say), and
// is copied again; a newer one is the user's, whatever its size.
bool UpToDate(const struct stat& status, const KitEntry& entry) {
  if (FileTimeFromUnixSeconds(status.st_mtim.tv_sec) < entry.last_write) {
    return false;
  }
  return status.st_mtim.tv_sec != UnixSecondsFromFileTime(entry.last_write) ||
         static_cast<uint64_t>(status.st_size) == entry.size;
}

}  // namespace

InstallEngine::InstallEngine(SystemApi& sys) : sys_(sys) {}

InstallEngine::~InstallEngine() = default;

Status InstallEngine::Run(JobChannel* channel) {
  channel_ = channel;
  WideString target;
  KitReader* reader = channel->TakeJob(&target);
  if (reader == nullptr) {
    return Fail(Status::Of(Status::Kind::kInvalidArgument), 0);
  }
  // Without a directory the names would land wherever the process happens
  // to run, and nothing could be backed up.
  if (target.empty()) return Fail(Status::Of(Status::Kind::kNoTarget), 0);
  Status status = CheckNames(reader, Narrow(target));
  if (!status.ok()) return Fail(std::move(status), 0);
  InstallTransaction::Hooks hooks;
  hooks.cancelled = [channel] { return channel->IsCancelled(); };
  hooks.on_wait = [channel](const std::string& directory) {
    channel->PostWaiting(ToWide(NarrowString(directory.c_str())));
  };
  transaction_ = std::make_unique<InstallTransaction>(sys_, std::move(hooks));
  status = transaction_->Begin(Narrow(target));
  result_.settled = transaction_->settled();
  if (status.kind() == Status::Kind::kCancelled) return Cancel(0);
  if (!status.ok()) return Fail(std::move(status), 0);
  const uint32_t count = reader->entry_count();
  int32_t progress = 0;
  // Whether the last entry of the table was copied (and so every byte of
  // the files was inflated).
  bool last_copied = false;
  const std::string shown_target = Narrow(target);
  std::vector<Step> next;
  status =
      PlanBatch(reader, 0, std::min(count, kBatchEntries), shown_target, &next);
  for (uint32_t first = 0; status.ok() && first < count;
       first += kBatchEntries) {
    std::vector<Step> steps = std::move(next);
    next.clear();
    // The next batch is recorded, and its records flushed, while this one
    // is installed. A batch that stops at a failure has no next one.
    const uint32_t after = first + kBatchEntries;
    if (after < count && steps.back().failure.ok()) {
      status = PlanBatch(reader, after, std::min(count, after + kBatchEntries),
                         shown_target, &next);
    }
    if (status.ok()) status = transaction_->AwaitPlan();
    if (!status.ok()) break;
    for (const Step& step : steps) {
      progress = static_cast<int32_t>(static_cast<uint64_t>(step.index) *
                                      100 / count);
      if (!step.failure.ok()) return Fail(step.failure, progress);
      channel->Post(kSuccess, target + step.name, progress);
      const uint32_t copied_before = result_.copied;
      status = InstallEntry(reader, step);
      if (!status.ok()) return Fail(std::move(status), progress);
      last_copied = result_.copied > copied_before;
      // The user may be deciding whether to cancel: nothing more happens
      // until the answer.
      channel->WaitWhilePaused();
      if (channel->IsCancelled()) return Cancel(progress);
    }
  }
  if (!status.ok()) return Fail(std::move(status), progress);
  // A kit inflated while it is installed may still turn out damaged after
  // the last file. When later files were up to date, their bytes are not
  // inflated at all (nor checked): what was installed is whole.
  if (last_copied) status = reader->FinishInflation();
  // A kit with a checksum file must match it, however much was copied.
  if (status.ok()) status = reader->VerifyChecksum();
  if (!status.ok()) return Fail(std::move(status), progress);
  // A question about cancelling that is still open holds the commit back:
  // its answer decides.
  if (!channel->BeginCommit()) return Cancel(progress);
  status = transaction_->Commit();
  if (!status.ok()) return Fail(std::move(status), progress);
  channel->Post(kSuccess, WideString(), 100);
  return Status::Ok();
}

Status InstallEngine::Preview(
    KitReader* reader, const WideString& target,
    const std::function<void(const std::string& path)>& to_copy) {
  result_ = JobResult();
  const auto failed = [this](Status failure) {
    result_.failure = failure;
    return failure;
  };
  if (target.empty()) return failed(Status::Of(Status::Kind::kNoTarget));
  const std::string shown_target = Narrow(target);
  Status status = CheckNames(reader, shown_target);
  if (!status.ok()) return failed(std::move(status));
  transaction_ = std::make_unique<InstallTransaction>(sys_);
  status = transaction_->OpenToLook(shown_target);
  if (!status.ok()) return failed(std::move(status));
  for (uint32_t i = 0; i < reader->entry_count(); ++i) {
    Step step;
    step.index = i;
    status = PlanStep(reader, shown_target, &step);
    if (status.ok() && step.action == Step::kCopy) {
      status = transaction_->LookLevels(step.relative);
    }
    if (!status.ok()) return failed(std::move(status));
    if (step.action == Step::kUpToDate) {
      ++result_.up_to_date;
    } else {
      ++result_.copied;
      if (to_copy) to_copy(transaction_->Shown(step.relative));
    }
  }
  // A real job would find a damaged stream or a kit that does not match
  // its checksum file only while it copies: here the whole kit is read.
  status = reader->FinishInflation();
  if (status.ok()) status = reader->VerifyChecksum();
  if (!status.ok()) return failed(std::move(status));
  return Status::Ok();
}

Status InstallEngine::Fail(Status failure, int32_t progress) {
  result_.failure = failure;
  // Posted before the rollback, so that the face can tell the user while
  // the directory is put back.
  if (channel_ != nullptr) channel_->PostFailure(failure, progress);
  if (transaction_ != nullptr && !transaction_->Rollback()) {
    result_.kept_backup = transaction_->kept_backup();
  }
  return failure;
}

Status InstallEngine::Cancel(int32_t progress) {
  result_.failure = Status::Of(Status::Kind::kCancelled);
  if (transaction_ != nullptr && !transaction_->Rollback()) {
    result_.kept_backup = transaction_->kept_backup();
  }
  // Posted once the directory is back as it was, so that the face can say
  // so as soon as it sees the state.
  if (channel_ != nullptr) channel_->PostFailure(result_.failure, progress);
  return result_.failure;
}

Status InstallEngine::CheckNames(KitReader* reader,
                                 const std::string& shown_target) {
  Status refused;
  const NameWalk walk = [reader](const NameVisit& visit) {
    return reader->VisitEntries([&visit](uint32_t index, const KitEntry& entry) {
      return visit(index, entry.name);
    });
  };
  TQ_RETURN_IF_ERROR(CheckKitNames(
      reader->entry_count(), walk, [&](const NameRefusal& refusal) {
        refused = NameFailure(KindOf(refusal), shown_target + refusal.path);
        return false;
      }));
  return refused;
}

Status InstallEngine::PlanBatch(KitReader* reader, uint32_t first,
                                uint32_t end, const std::string& target,
                                std::vector<Step>* steps) {
  InstallTransaction& t = *transaction_;
  std::vector<InstallTransaction::PlannedFile> planned;
  for (uint32_t i = first; i < end; ++i) {
    Step step;
    step.index = i;
    step.failure = PlanStep(reader, target, &step);
    const bool failed = !step.failure.ok();
    if (!failed && step.action != Step::kUpToDate) {
      planned.push_back(
          {step.relative, step.action == Step::kReplace, step.entry.size});
    }
    steps->push_back(std::move(step));
    // What follows a failure is never done.
    if (failed) break;
  }
  // Nothing of the batch may happen without its records.
  return t.Plan(planned);
}

Status InstallEngine::PlanStep(KitReader* reader, const std::string& target,
                               Step* step) {
  TQ_RETURN_IF_ERROR(reader->ReadEntry(step->index, &step->entry));
  std::string encoded;
  if (!RelativePathOf(step->entry.name, &encoded, &step->relative)) {
    return NameFailure(Status::Kind::kNameEncoding,
                       target + ShownEntryPath(step->entry.name));
  }
  step->name = step->entry.name;
  ToSlashes(step->name);
  InstallTransaction& t = *transaction_;
  // A directory this job has made holds only the job's own files; the
  // look at the destination is saved there, and O_EXCL still catches
  // anything put there meanwhile.
  if (t.Made(ParentRelative(step->relative))) return Status::Ok();
  bool exists = false;
  struct stat status;
  TQ_RETURN_IF_ERROR(t.Look(step->relative, &exists, &status));
  if (exists) {
    step->action = UpToDate(status, step->entry) ? Step::kUpToDate
                                                 : Step::kReplace;
  }
  return Status::Ok();
}

Status InstallEngine::InstallEntry(KitReader* reader, const Step& step) {
  InstallTransaction& t = *transaction_;
  const std::string& relative = step.relative;
  if (step.action == Step::kUpToDate) {
    ++result_.up_to_date;
    return Status::Ok();
  }
  if (step.action == Step::kReplace) TQ_RETURN_IF_ERROR(t.Backup(relative));
  // Something put at a free destination after the look is looked at again.
  bool look = step.action == Step::kReplace;
  for (;;) {
    TQ_RETURN_IF_ERROR(t.EnsureDirectory(ParentRelative(relative)));
    Status status = CopyEntry(reader, step.entry, relative);
    if (!look && status.kind() == Status::Kind::kInTheWay &&
        status.error() == EEXIST) {
      look = true;
      bool exists = false;
      struct stat there;
      TQ_RETURN_IF_ERROR(t.Look(relative, &exists, &there));
      if (exists) {
        if (UpToDate(there, step.entry)) {
          ++result_.up_to_date;
          return Status::Ok();
        }
        TQ_RETURN_IF_ERROR(t.Backup(relative));
      }
      continue;
    }
    if (!status.ok()) return status;
    ++result_.copied;
    return Status::Ok();
  }
}

Status InstallEngine::CopyEntry(KitReader* reader, const KitEntry& entry,
                                const std::string& relative) {
  InstallTransaction& t = *transaction_;
  int fd = -1;
  TQ_RETURN_IF_ERROR(t.CreateFile(relative, &fd));
  Status copied = reader->CopyEntryTo(entry, fd);
  if (!copied.ok()) {
    sys_.Close(fd);
    // A damaged kit shows in the entry being written; what the kit's way in
    // refused names its own file; the destination is named otherwise.
    if (copied.IsKitDamage()) {
      return Status::Of(copied.kind(), t.Shown(relative));
    }
    if (!copied.path().empty()) return copied;
    return Status::System(copied.error(), t.Shown(relative));
  }
  return t.FinishFile(relative, fd);
}
