#include "engine/install_session.h"

#include <sys/stat.h>

#include <cerrno>
#include <memory>

#include "engine/state_directory.h"
#include "launcher_config/launcher_paths.h"
#include "launcher_config/template_locations.h"
#include "platform/directory_enumerator.h"
#include "platform/file_operations.h"
#include "platform/home_directory.h"
#include "platform/narrow_path.h"
#include "platform/system_api.h"
#include "text/text_conversion.h"

namespace {

std::string Narrow(const WideString& text) { return ToNarrow(text).c_str(); }

bool Exists(SystemApi& sys, const WideString& path) {
  struct stat status;
  return sys.Stat(Narrow(path).c_str(), &status) == 0;
}

// The running program's own path, read from /proc/self/exe; empty when it
// cannot be read. The link's target may be of any length.
std::string OwnExecutable(SystemApi& sys) {
  for (size_t size = 256; size <= (size_t{1} << 20); size *= 2) {
    std::unique_ptr<char[]> buffer(new char[size]);
    const ssize_t length = sys.Readlink("/proc/self/exe", buffer.get(), size);
    if (length <= 0) return std::string();
    if (static_cast<size_t>(length) < size) {
      return std::string(buffer.get(), static_cast<size_t>(length));
    }
  }
  return std::string();
}

// A temporary directory that is full or refuses the container for its
// quota is told as such, not as a file the installation could not write.
Status ExplainKitFailure(Status status) {
  if (status.error() == ENOSPC || status.error() == EDQUOT) {
    return Status::Of(Status::Kind::kNoSpace, status.path(), status.error());
  }
  return status;
}

}  // namespace

int ExitStatusFor(RunOutcome outcome) {
  switch (outcome) {
    case RunOutcome::kSucceeded:
      return 0;
    case RunOutcome::kFailed:
    case RunOutcome::kNoDisplay:
      return 1;
    case RunOutcome::kUnfinished:
    case RunOutcome::kCancelled:
      break;
  }
  return 2;
}

bool LacksSpaceForKit(std::optional<uint64_t> kit_size,
                      std::optional<uint64_t> free_bytes) {
  if (!kit_size || !free_bytes) return false;
  return static_cast<unsigned __int128>(*kit_size) * 3 > *free_bytes;
}

std::string SummaryLine(const std::string& dir, const JobResult& result,
                        bool dry_run) {
  return std::string(dry_run ? "would install into " : "installed into ") +
         WithoutTrailingSlashes(dir) + ": " + std::to_string(result.copied) +
         (dry_run ? " to copy, " : " copied, ") +
         std::to_string(result.up_to_date) + " up to date";
}

WideString KitPathBeside(const WideString& executable_path) {
  if (executable_path.empty()) return WideString();
  WideString result = executable_path;
  for (uint32_t i = result.length(); i > 0; --i) {
    if (result[i - 1] == u'/') {
      result.erase(i - 1);
      break;
    }
  }
  return result + u"/tqkt.efd";
}

InstallSession::InstallSession(SystemApi& sys, SessionObserver* observer)
    : sys_(sys), observer_(observer), reader_(sys), worker_(sys) {
  channel_.Init();
}

InstallSession::~InstallSession() {
  // Only an early return of the face can leave a job running here; it is
  // rolled back before the reader and the channel it uses go away.
  if (worker_.running()) channel_.RequestCancel();
  worker_.Join();
  reader_.Close();
}

std::vector<RecoveryEvent> InstallSession::Recover() {
  return RecoverInterruptedInstalls(sys_);
}

std::vector<RecoveryEvent> InstallSession::PendingRecoveries() {
  return ListPendingInstalls(sys_);
}

Status InstallSession::Prepare(const PrepareOptions& options) {
  dry_run_ = options.dry_run;
  // Setup's own files lie under the home directory, and no installation
  // may begin that a kill would leave unrecoverable.
  TQ_RETURN_IF_ERROR(CheckHome());
  TQ_RETURN_IF_ERROR(CheckStateDirectory());
  TQ_RETURN_IF_ERROR(options.kit.empty() ? LocateKit(options.use_current_dir)
                                          : UseKitAt(options.kit));
  ProposeTarget();
  if (!options.target.empty()) {
    // Recorded in the launcher configuration after a success: a relative
    // name would mean another place to every later reader.
    std::string target = options.target;
    if (target[0] != '/') {
      std::string cwd;
      TQ_RETURN_IF_ERROR(CurrentDirectory(sys_, &cwd));
      target = cwd + "/" + target;
    }
    proposed_ = ToWide(NarrowString(target.c_str()));
    target_probed_ = false;
  }
  TQ_RETURN_IF_ERROR(CheckSpace());
  // The wizard checks the whole kit before it shows anything of it; a
  // silent run reads the tables and installs while the rest is inflated (a
  // stream found damaged later is rolled back and told alike).
  TQ_RETURN_IF_ERROR(OpenKit(options.check));
  if (!options.silent) return Status::Ok();
  // Nobody can type a directory in a silent run, and an empty one would
  // mean the current directory.
  if (proposed_.empty()) return Status::Of(Status::Kind::kNoTarget);
  // The default directory, which no probe chose, must be writable too.
  if (!target_probed_) return CheckTarget(proposed_);
  return Status::Ok();
}

Status InstallSession::CheckHome() {
  std::string home;
  return ExistingUserHome(sys_, &home);
}

Status InstallSession::CheckStateDirectory() {
  std::string directory;
  Status passed_over;
  Status chosen = ChooseStateDirectory(sys_, &directory, &passed_over);
  if (!passed_over.ok() && !state_note_told_ && observer_ != nullptr) {
    state_note_told_ = true;
    observer_->OnStateDirectoryPassedOver(passed_over);
  }
  return chosen;
}

Status InstallSession::LocateKit(bool use_current_dir) {
  std::string path;
  if (use_current_dir) {
    std::string cwd;
    TQ_RETURN_IF_ERROR(CurrentDirectory(sys_, &cwd));
    path = cwd + "/tqkt.efd";
  } else {
    const std::string executable = OwnExecutable(sys_);
    if (!executable.empty()) {
      path = Narrow(KitPathBeside(ToWide(NarrowString(executable.c_str()))));
    }
  }
  if (path.empty()) return Status::Of(Status::Kind::kKitNotFound);
  return UseKitAt(path);
}

Status InstallSession::UseKitAt(const std::string& path) {
  struct stat status;
  if (sys_.Stat(path.c_str(), &status) != 0) {
    return Status::Of(Status::Kind::kKitNotFound, path, errno);
  }
  kit_path_ = path;
  return Status::Ok();
}

const WideString& InstallSession::ProposeTarget() {
  locations_.clear();
  locations_failure_ = Status::Ok();
  proposed_ = WideString();
  const WideString base = DefaultTemplateBase(sys_);
  // Without a home directory (CheckHome) nothing here has a place.
  if (base.empty()) return proposed_;
  common_config_exists_ = Exists(sys_, CommonConfigPath(sys_));
  if (Exists(sys_, UserConfigPath(sys_))) {
    locations_failure_ = ReadTemplateLocations(sys_, locations_, false);
  } else if (common_config_exists_) {
    locations_failure_ = ReadTemplateLocations(sys_, locations_, true);
    common_locations_used_ = !locations_.empty();
  }
  const WideString default_dir = base + u"tmplts/";
  const TargetChoice choice = ChooseTargetDir(
      locations_, default_dir, HomeDirectory(sys_),
      [this](const WideString& dir) { return CheckTarget(dir).ok(); });
  proposed_ = choice.dir;
  // A location was probed when it was chosen; the default was not.
  target_probed_ = choice.dir != CleanTemplateLocation(default_dir);
  if (choice.fell_back && observer_ != nullptr) {
    observer_->OnFellBackToDefault(WithoutTrailingSlashes(Narrow(choice.dir)));
  }
  return proposed_;
}

Status InstallSession::CheckSpace() {
  uint64_t value = 0;
  std::optional<uint64_t> kit_size;
  std::optional<uint64_t> free_bytes;
  if (GetFileSize(sys_, ToWide(NarrowString(kit_path_.c_str())), &value)
          .ok()) {
    kit_size = value;
  }
  // Free space that cannot be asked for counts as none, with the reason.
  const Status asked = GetFreeSpace(sys_, &value);
  if (asked.ok()) free_bytes = value;
  if (!LacksSpaceForKit(kit_size, free_bytes)) return Status::Ok();
  return Status::Of(Status::Kind::kNoSpace,
                    WithoutTrailingSlashes(GetTempDirectory(sys_)),
                    asked.error());
}

Status InstallSession::OpenKit(KitCheck check) {
  const WideString path = ToWide(NarrowString(kit_path_.c_str()));
  return ExplainKitFailure(check == KitCheck::kWhole
                               ? reader_.Check(path)
                               : reader_.OpenStreaming(path));
}

Status InstallSession::CheckTarget(const WideString& dir) {
  const WritableCheck check = dry_run_ ? CheckWritableWithoutWriting(sys_, dir)
                                       : CheckWritableDirectory(sys_, dir);
  if (check.writable) return Status::Ok();
  return Status::Of(Status::Kind::kTargetNotWritable, check.probed,
                    check.error);
}

JobResult InstallSession::Preview(
    const WideString& target_dir,
    const std::function<void(const std::string& path)>& to_copy) {
  target_ = target_dir;
  if (!reader_.is_open()) {
    const Status opened = OpenKit(KitCheck::kStreaming);
    if (!opened.ok()) {
      JobResult result;
      result.failure = opened;
      return result;
    }
  }
  InstallEngine engine(sys_);
  // The failure is in the result too.
  (void)engine.Preview(&reader_, target_dir, to_copy);
  reader_.Close();
  return engine.result();
}

Status InstallSession::Start(const WideString& target_dir) {
  target_ = target_dir;
  TQ_RETURN_IF_ERROR(CheckStateDirectory());
  // The wizard checked the kit before its first page; now it installs
  // while it inflates, as a silent run does.
  if (!reader_.is_open()) TQ_RETURN_IF_ERROR(OpenKit(KitCheck::kStreaming));
  channel_.SetObserver(observer_);
  channel_.StartJob(&reader_, target_dir);
  return worker_.Start(&channel_);
}

const JobResult& InstallSession::Finish() {
  worker_.Join();
  channel_.SetObserver(nullptr);
  reader_.Close();
  return worker_.result();
}

std::vector<Status> InstallSession::RecordTarget() {
  // The list is written back whole: one that missed locations because a
  // file could not be read would drop them from the configuration. The
  // suggestion is lost instead, and the user told.
  if (!locations_failure_.ok()) return {locations_failure_};
  locations_ = LocationsAfterSuccess(locations_, target_);
  const ConfigWrites writes =
      ConfigFilesToWrite(common_locations_used_, common_config_exists_);
  std::vector<Status> failures;
  for (const bool common : {false, true}) {
    if (!(common ? writes.common : writes.user)) continue;
    Status written = WriteTemplateLocations(sys_, locations_, common);
    if (!written.ok()) {
      failures.push_back(std::move(written).WithPathIfNone(Narrow(
          common ? CommonConfigPath(sys_) : UserConfigPath(sys_))));
    }
  }
  return failures;
}
