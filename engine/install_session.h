// One installation run, whatever face shows it: the recovery of
// installations interrupted earlier, finding and opening the kit (with its
// checksum), the pre-checks (room for the kit, a writable template
// directory), the job on the worker thread inside its transaction, and the
// record of the directory in the launcher configuration. The wizard (ui/),
// a console run of setup (app/) and kittool extract (tools/) are faces over
// it: they decide what the user sees and when, the session does the work
// and reports typed values (Statuses, channel states, recovery events). It
// makes no text for the user and uses no toolkit.
//
// The steps, in the order a run takes them: Recover; LocateKit (or
// SetKitPath), ProposeTarget, CheckSpace, OpenKit, CheckTarget (Prepare
// runs these for setup); Start, then Poll and the pause/cancel calls while
// the job runs, then Finish; RecordTarget after a success.
//
// Threads: every call on the face's thread; the job runs on the worker,
// which posts into the observer (on the worker thread, see
// engine/job_channel.h). The session owns the kit reader, the channel and
// the worker; the destructor cancels and joins a job still running.
#ifndef ENGINE_INSTALL_SESSION_H_
#define ENGINE_INSTALL_SESSION_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/install_engine.h"
#include "engine/job_channel.h"
#include "engine/recovery.h"
#include "engine/worker_thread.h"
#include "kit/kit_reader.h"
#include "platform/status.h"
#include "text/wide_string.h"

class SystemApi;

// How a run ended, and the process's exit status for it.
enum class RunOutcome {
  kUnfinished,  // closed before the installation ended
  kSucceeded,
  kFailed,     // a pre-check or the installation failed
  kCancelled,  // the user cancelled the copying (or a signal did)
  kNoDisplay,  // no display and not silent: nothing was attempted
};
// 0 succeeded, 1 failed or no display, 2 cancelled or closed before success.
int ExitStatusFor(RunOutcome outcome);

// True when a kit of `kit_size` bytes needs more room than `free_bytes` of
// the temporary directory: three times its size (computed without
// overflow) is more than the free bytes. A size or free-space figure that
// could not be read (nullopt) skips the check.
bool LacksSpaceForKit(std::optional<uint64_t> kit_size,
                      std::optional<uint64_t> free_bytes);

// The kit beside the executable at `executable_path`: everything before the
// path's last "/" (all of it when there is none) + "/tqkt.efd". Empty for an
// empty path.
WideString KitPathBeside(const WideString& executable_path);

// The one line a silent run and kittool extract end with, for scripts and
// the same in every language: "installed into DIR: N copied, M up to date"
// (DIR without trailing slashes), or for a dry run "would install into
// DIR: N to copy, M up to date".
std::string SummaryLine(const std::string& dir, const JobResult& result,
                        bool dry_run = false);

// What a face tells the session besides the job's posts.
class SessionObserver : public JobObserver {
 public:
  // The face's thread: the launcher configuration listed template
  // directories, but none could be used; `directory` (the default) is
  // proposed instead.
  virtual void OnFellBackToDefault(const std::string& /*directory*/) {}
  // The face's thread, once a session: XDG_STATE_HOME cannot be used for
  // the installer's state (`why`: kNoStateDirectory naming the place and
  // the reason, see engine/state_directory.h); the home's is used instead.
  virtual void OnStateDirectoryPassedOver(const Status& /*why*/) {}
  void OnPost(const ChannelState& /*state*/) override {}
};

class InstallSession {
 public:
  // How much of the kit OpenKit checks before it returns.
  enum class KitCheck {
    kStreaming,  // the tables; the rest while the job installs
    kWhole,      // everything, before anything is shown (the wizard)
  };

  // What Prepare does for setup.
  struct PrepareOptions {
    bool use_current_dir = false;  // the kit in the working directory
    KitCheck check = KitCheck::kStreaming;
    // A run without questions: a directory must be proposed, and the
    // default one, which no probe chose, must be writable.
    bool silent = false;
    // The kit to install instead (a path in the locale's encoding,
    // relative to the working directory); empty: as use_current_dir says.
    std::string kit;
    // The directory to propose instead of the configuration's (made
    // absolute against the working directory); empty: as configured.
    std::string target;
    // A dry run (Preview): nothing may be written anywhere, so the
    // directories are asked for their permissions instead of probed with a
    // file. Stays for the session's later checks.
    bool dry_run = false;
  };

  // `observer` (may be null) is told of the job's posts and of notes; it
  // must outlive the session.
  InstallSession(SystemApi& sys, SessionObserver* observer);
  ~InstallSession();
  InstallSession(const InstallSession&) = delete;
  InstallSession& operator=(const InstallSession&) = delete;

  SystemApi& sys() const { return sys_; }
  // Replaces the observer (when the face is chosen after the session was
  // made); only while no job runs.
  void SetObserver(SessionObserver* observer) { observer_ = observer; }

  // Recovers the installations this user left interrupted
  // (engine/recovery.h) before anything else looks at the directories.
  std::vector<RecoveryEvent> Recover();
  // What Recover would do, changing nothing (a dry run): kPending events
  // and the refusals.
  std::vector<RecoveryEvent> PendingRecoveries();

  // The pre-checks of setup, in order: CheckHome, CheckStateDirectory,
  // LocateKit (or the kit the options name: kKitNotFound naming it when it
  // is not there), ProposeTarget (or the target the options name),
  // CheckSpace, OpenKit and, for a silent run, a proposed directory and
  // CheckTarget of one that no probe chose. The first failure ends them.
  Status Prepare(const PrepareOptions& options);

  // The home directory, under which setup keeps the launcher configuration
  // and the default template directory (platform/home_directory.h):
  // kUnusableHome when it cannot be used. Nothing is written.
  Status CheckHome();
  // Whether the journal pointer of this run's installation has a state
  // directory (engine/state_directory.h): an installation that a kill
  // would leave unrecoverable must not begin. kUnusableHome or
  // kNoStateDirectory when none can hold it. The observer hears once a
  // session when XDG_STATE_HOME is passed over. Nothing is written.
  Status CheckStateDirectory();

  // The kit beside the running program, or with `use_current_dir` in the
  // working directory: kKitNotFound (naming where it looked, with the
  // system's reason) when it is not there, kNoCurrentDirectory when the
  // working directory cannot be asked for (it was deleted).
  Status LocateKit(bool use_current_dir);
  // The kit at `path` when it is there: kKitNotFound naming it, with the
  // system's reason, when not.
  Status UseKitAt(const std::string& path);
  // The kit at `path` (kittool, a test).
  void SetKitPath(const std::string& path) { kit_path_ = path; }
  const std::string& kit_path() const { return kit_path_; }

  // Reads the template locations of the launcher configuration and proposes
  // the first usable one, else the default directory (the observer hears of
  // a fall-back). Empty when a URL came first: the user must type one.
  const WideString& ProposeTarget();
  const WideString& proposed_target() const { return proposed_; }
  // The locations read, for the record after a success.
  const std::vector<WideString>& template_locations() const {
    return locations_;
  }

  // kNoSpace, naming the temporary directory (with the system's reason when
  // its room cannot be asked), when it cannot take three times the kit.
  Status CheckSpace();

  // Opens the kit (engine/kit_reader.h). A temporary directory that is full
  // or over quota is kNoSpace naming it; other failures as the reader gives
  // them.
  Status OpenKit(KitCheck check);
  KitReader& kit() { return reader_; }

  // Whether the job could write into `dir` (or the nearest existing folder
  // above it): kTargetNotWritable naming the folder probed, with the
  // system's reason, when not.
  Status CheckTarget(const WideString& dir);

  // A dry run of the job into `target_dir` on this thread, after a
  // Prepare (InstallEngine::Preview): the counts in the result, the
  // destinations to copy told to `to_copy`; the kit is closed afterwards.
  // Nothing is written, locked or recorded.
  JobResult Preview(const WideString& target_dir,
                    const std::function<void(const std::string& path)>&
                        to_copy);

  // Starts the job into `target_dir` on the worker thread, opening the kit
  // for streaming first when it is closed (the wizard checked it whole).
  // A failure here means no job runs: no state directory can hold the
  // journal pointer (CheckStateDirectory), the kit has changed or gone, or
  // no thread could be made.
  Status Start(const WideString& target_dir);
  // While the job runs: its state; the pause for a question, and the cancel.
  ChannelState Poll() { return channel_.Poll(); }
  bool TryPause() { return channel_.TryPause(); }
  void Resume() { channel_.Resume(); }
  void RequestCancel() { channel_.RequestCancel(); }
  // Joins the worker (after its end was seen in Poll, or to wait for it)
  // and closes the kit. Returns what the job did.
  const JobResult& Finish();
  const JobResult& result() const { return worker_.result(); }
  const WorkerThread& worker() const { return worker_; }
  const WideString& target() const { return target_; }

  // After a success: puts the directory in front of the template locations
  // and writes them to the launcher configuration files that take them. A
  // file that cannot be written only loses the suggestion: its failure is
  // returned (the installation stays a success), and the other file is
  // still written. When a file could not be read whole before (kNotAFile
  // for one that is no regular file), nothing is written and its failure
  // is returned.
  std::vector<Status> RecordTarget();

 private:
  SystemApi& sys_;
  SessionObserver* observer_;
  std::string kit_path_;
  KitReader reader_;
  JobChannel channel_;
  std::vector<WideString> locations_;
  WideString proposed_;
  bool target_probed_ = false;
  // The locations came from the common launcher configuration; the common
  // configuration file exists; why a configuration file could not be read
  // whole (the locations are then not written back).
  bool common_locations_used_ = false;
  bool common_config_exists_ = false;
  Status locations_failure_;
  // The observer has heard that XDG_STATE_HOME was passed over.
  bool state_note_told_ = false;
  bool dry_run_ = false;
  WideString target_;
  // Declared last so that it is destroyed, and joined, first.
  WorkerThread worker_;
};

#endif  // ENGINE_INSTALL_SESSION_H_
