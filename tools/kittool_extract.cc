// kittool extract: the installer's engine, driven from a terminal.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>

#include "engine/install_engine.h"
#include "engine/recovery.h"
#include "engine/ui_channel.h"
#include "engine/worker_thread.h"
#include "kit/kit_reader.h"
#include "l10n/string_table.h"
#include "l10n/user_message.h"
#include "text/text_conversion.h"
#include "tools/kittool_lib.h"

namespace {

// Bytes on the wake-up pipe of the main thread.
constexpr char kSignalled = 'S';
constexpr char kJobEnded = 'E';
// Lines for a file or a pipe are collected and written in blocks.
constexpr size_t kReportBlock = 64 * 1024;
// How often the bar on a terminal is drawn.
constexpr int kRedrawMilliseconds = 100;

// The write end of the wake-up pipe, for the signal handler.
std::atomic<int> g_wake_fd{-1};

extern "C" void OnStopSignal(int) {
  const int saved = errno;
  const int fd = g_wake_fd.load(std::memory_order_relaxed);
  if (fd != -1) {
    const char byte = kSignalled;
    [[maybe_unused]] ssize_t ignored = write(fd, &byte, 1);
  }
  errno = saved;
}

// The signals that cancel the job: Ctrl-C, a kill, a closed terminal or
// session, and the quit key, each of which would otherwise end the process
// with the target half written.
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr size_t kStopSignalCount = sizeof(kStopSignals) / sizeof(int);

// Takes over the stop signals for the lifetime of the object: each one puts
// a byte into a pipe that the main thread watches. The signals are blocked
// from construction until Unblock, so that the threads started in between
// inherit the block and only the main thread ever runs the handler. SIGPIPE
// is ignored meanwhile: a reader of the progress that goes away must not end
// the job half-way; writes then fail with EPIPE and the job goes on.
class StopSignals {
 public:
  StopSignals() {
    if (pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0) {
      fds_[0] = fds_[1] = -1;
      return;
    }
    sigemptyset(&set_);
    for (const int signal_number : kStopSignals) {
      sigaddset(&set_, signal_number);
    }
    pthread_sigmask(SIG_BLOCK, &set_, &old_mask_);
    g_wake_fd.store(fds_[1], std::memory_order_relaxed);
    struct sigaction action;
    std::memset(&action, 0, sizeof(action));
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (size_t i = 0; i < kStopSignalCount; ++i) {
      sigaction(kStopSignals[i], &action, &old_actions_[i]);
    }
    struct sigaction ignore;
    std::memset(&ignore, 0, sizeof(ignore));
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, &old_pipe_);
  }
  ~StopSignals() {
    if (fds_[0] == -1) return;
    sigaction(SIGPIPE, &old_pipe_, nullptr);
    for (size_t i = 0; i < kStopSignalCount; ++i) {
      sigaction(kStopSignals[i], &old_actions_[i], nullptr);
    }
    g_wake_fd.store(-1, std::memory_order_relaxed);
    pthread_sigmask(SIG_SETMASK, &old_mask_, nullptr);
    close(fds_[0]);
    close(fds_[1]);
  }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  bool ok() const { return fds_[0] != -1; }
  int read_fd() const { return fds_[0]; }
  int write_fd() const { return fds_[1]; }
  void Unblock() { pthread_sigmask(SIG_UNBLOCK, &set_, nullptr); }

 private:
  int fds_[2];
  sigset_t set_;
  sigset_t old_mask_;
  struct sigaction old_actions_[kStopSignalCount];
  struct sigaction old_pipe_;
};

// Reports the job's progress. For a file or a pipe it writes one line per
// entry from the worker thread, in blocks; for a terminal it keeps the
// latest state, and the main thread draws it as a bar.
class ProgressReport : public ChannelObserver {
 public:
  ProgressReport(std::ostream& err, bool terminal, int wake_fd,
                 const ExtractHooks* hooks, UiChannel* channel)
      : err_(err),
        terminal_(terminal),
        wake_fd_(wake_fd),
        hooks_(hooks),
        channel_(channel) {}

  void OnPost(const ChannelState& state) override {
    const bool ended = state.state != JobState::kRunning;
    if (state.waiting) {
      // Another installation runs in the directory: said once, at once.
      std::lock_guard<std::mutex> lock(mutex_);
      WriteLines();
      err_ << "kittool: " << EscapeForTerminal(OneLine(state.text)) << "\n"
           << std::flush;
    } else if (terminal_) {
      std::lock_guard<std::mutex> lock(mutex_);
      // The bar ends full after a finish, where it stood otherwise.
      if (!ended || state.state == JobState::kFinished) {
        latest_ = state;
        if (ended) latest_.text = WideString();
        changed_ = true;
      }
    } else if (!ended) {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_ += std::to_string(state.progress) + "% " +
                EscapeForTerminal(state.text) + "\n";
      if (lines_.size() >= kReportBlock || hooks_ != nullptr) WriteLines();
    }
    if (hooks_ != nullptr && hooks_->after_post) {
      hooks_->after_post(*channel_, state);
    }
    if (ended) {
      const char byte = kJobEnded;
      [[maybe_unused]] ssize_t ignored = write(wake_fd_, &byte, 1);
    }
  }

  // Main thread, terminals only: draws the bar if something changed.
  void Redraw() {
    if (!terminal_) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!changed_) return;
    changed_ = false;
    const std::string line =
        ProgressBarLine(latest_.progress, EscapeForTerminal(latest_.text),
                        TerminalColumns(STDERR_FILENO));
    err_ << line << std::flush;
    drawn_ = true;
  }

  // Main thread, after the worker has been joined: writes what is left and
  // ends the bar's line.
  void Finish() {
    std::lock_guard<std::mutex> lock(mutex_);
    WriteLines();
    if (drawn_) err_ << "\n";
    err_ << std::flush;
  }

 private:
  // REQUIRES: mutex_ held.
  void WriteLines() {
    if (lines_.empty()) return;
    err_ << lines_ << std::flush;
    lines_.clear();
  }

  std::ostream& err_;
  const bool terminal_;
  const int wake_fd_;
  const ExtractHooks* const hooks_;
  UiChannel* const channel_;
  std::mutex mutex_;
  // Guarded by mutex_.
  std::string lines_;
  ChannelState latest_;
  bool changed_ = false;
  bool drawn_ = false;
};

// Why the job failed, as a sentence.
std::string DescribeInstallFailure(ErrorCode code,
                                   const InstallEngine::Outcome& outcome,
                                   const std::string& dir) {
  // The engine's path holds an entry's name from the kit.
  const std::string path =
      EscapeForTerminal(ToWide(NarrowString(outcome.failed_path.c_str())));
  switch (outcome.reason) {
    case FailureReason::kLinkOutside:
      return "\"" + path + "\" is a link that leads outside \"" + dir +
             "\"; nothing is written through it";
    case FailureReason::kNameEncoding:
      // Shown as the engine spells it: what the locale cannot hold as
      // \uXXXX.
      return "the name \"" + outcome.failed_path +
             "\" cannot be written in this locale's file-name encoding; no "
             "name is ever changed, so nothing was installed (a UTF-8 locale "
             "holds every name)";
    case FailureReason::kNameTwice:
      return "the kit holds \"" + path +
             "\" twice; nothing was installed (\"kittool verify\" says more)";
    case FailureReason::kNameInvalid:
      return "\"" + path +
             "\" is not a valid file name; nothing was installed (\"kittool "
             "verify\" says more)";
    default:
      break;
  }
  switch (code) {
    case kErrorInvalidData:
      return path.empty()
                 ? "the kit is damaged: its stream is corrupt or ends early, "
                   "its tables are broken, or it does not match its checksum "
                   "file (\"kittool verify\" says more)"
                 : "the kit is damaged: the bytes of \"" + path +
                       "\" are missing from it";
    case kErrorAlreadyExists:
      return "\"" + path +
             "\" is in the way: it is not a regular file where the kit has "
             "a file (a directory, a link to one, a device...), or a file "
             "where the kit needs a directory; it is never replaced";
    case kErrorPathNotFound:
      if (path.empty()) return "no directory to install into";
      break;
    default:
      break;
  }
  if (path.empty())
    return "error " + std::to_string(code) + " in \"" + dir + "\"";
  if (outcome.system_error != 0) {
    return "cannot write \"" + path +
           "\": " + std::strerror(outcome.system_error);
  }
  return "cannot write \"" + path + "\" (error " + std::to_string(code) + ")";
}

}  // namespace

int RunExtract(const KittoolOptions& options, std::ostream& out,
               std::ostream& err, bool terminal, const ExtractHooks* hooks) {
  // The engine posts its texts from the string tables; kittool speaks
  // English.
  StringTable::SetCurrentLanguage(kLanguageEnglish);
  const std::string& dir = options.target_dir;
  StopSignals signals;
  if (!signals.ok()) {
    err << "kittool: cannot set up the handling of Ctrl-C: "
        << std::strerror(errno) << "\n";
    return kExitFailure;
  }
  // An installation killed earlier is undone (or finished) before anything
  // else looks at the directories.
  for (const RecoveryEvent& event : RecoverInterruptedInstalls()) {
    err << "kittool: " << DescribeRecoveryEvent(event) << "\n";
  }
  KitReader reader;
  const ErrorCode opened =
      reader.OpenStreaming(ToWide(NarrowString(options.kit.c_str())));
  if (opened != kSuccess) {
    err << "kittool: " << DescribeOpenFailure(opened, options.kit) << "\n";
    return kExitFailure;
  }
  WideString target = ToWide(NarrowString(dir.c_str()));
  // The channel would take a trailing backslash for a separator; on this
  // system it is part of a name.
  if (!target.empty() && target[target.length() - 1] != u'/') {
    target.push_back(u'/');
  }
  UiChannel channel;
  channel.Init();
  ProgressReport report(err, terminal, signals.write_fd(), hooks, &channel);
  channel.SetObserver(&report);
  channel.StartJob(&reader, target);
  ErrorCode code;
  InstallEngine::Outcome outcome;
  {
    // Declared after the channel and the reader: joined before they go.
    WorkerThread worker;
    code = worker.Start(&channel);
    if (code != kSuccess) {
      err << "kittool: cannot start the install thread\n";
      return kExitFailure;
    }
    signals.Unblock();
    bool ended = false;
    while (!ended) {
      struct pollfd wake = {signals.read_fd(), POLLIN, 0};
      const int ready = poll(&wake, 1, kRedrawMilliseconds);
      if (ready > 0) {
        char bytes[64];
        ssize_t got;
        while ((got = read(signals.read_fd(), bytes, sizeof(bytes))) > 0) {
          for (ssize_t i = 0; i < got; ++i) {
            if (bytes[i] == kSignalled) channel.RequestCancel();
            if (bytes[i] == kJobEnded) ended = true;
          }
        }
      }
      report.Redraw();
    }
    worker.RequestStop();
    code = worker.Join();
    outcome = worker.outcome();
  }
  channel.SetObserver(nullptr);
  report.Finish();
  reader.Close();
  if (code != kSuccess) {
    if (code == kErrorCancelled) {
      err << "kittool: cancelled";
    } else {
      err << "kittool: cannot install \"" << options.kit << "\" into \"" << dir
          << "\": " << DescribeInstallFailure(code, outcome, dir);
    }
    if (outcome.kept_backup.empty()) {
      err << "; \"" << dir << "\" is unchanged\n";
    } else {
      err << "; not every replaced file could be put back, so they are kept "
             "in \""
          << outcome.kept_backup << "\"\n";
    }
    return kExitFailure;
  }
  out << "Installed \"" << options.kit << "\" into \"" << dir << "\": copied "
      << outcome.copied << ", up to date " << outcome.up_to_date << ".\n";
  return kExitOk;
}
