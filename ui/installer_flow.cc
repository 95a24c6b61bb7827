// The installation flow: pre-checks, the steps of the wizard, the copying on
// the worker and the end of the run. The frame is in installer_dlg.cc.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "l10n/string_table.h"
#include "l10n/user_message.h"
#include "launcher_config/launcher_paths.h"
#include "launcher_config/template_locations.h"
#include "platform/directory_enumerator.h"
#include "platform/file_operations.h"
#include "platform/narrow_path.h"
#include "text/path_utils.h"
#include "text/terminal_text.h"
#include "text/text_conversion.h"
#include "ui/document_opener.h"
#include "ui/installer_dlg.h"
#include "ui/message_box.h"

namespace {

// The main loop is woken at least this often while the worker copies, so
// that every state it posts reaches the page even when no event arrives.
constexpr guint kPollIntervalMs = 50;
// The progress page is redrawn at most about 30 times a second.
constexpr gint64 kRedrawIntervalUs = 33 * 1000;

// Set by the handler, which may run on the worker's thread (a process
// signal goes to any thread that does not block it), read by the main
// thread: an atomic, lock-free and so safe in a handler.
std::atomic<int> g_stop_signal{0};
static_assert(std::atomic<int>::is_always_lock_free);

void OnStopSignal(int) { g_stop_signal.store(1, std::memory_order_relaxed); }

// While files are being copied, SIGINT, SIGTERM, SIGHUP (the terminal was
// closed) and SIGQUIT ask for the job to be rolled back instead of leaving
// a half-installed directory, and SIGPIPE (a reader of the messages went
// away) is ignored; the previous handlers come back afterwards.
class StopSignalScope {
 public:
  StopSignalScope() {
    g_stop_signal.store(0, std::memory_order_relaxed);
    struct sigaction action = {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    for (size_t i = 0; i < kStopSignalCount; ++i) {
      sigaction(kStopSignals[i], &action, &old_[i]);
    }
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, &old_pipe_);
  }
  ~StopSignalScope() {
    for (size_t i = 0; i < kStopSignalCount; ++i) {
      sigaction(kStopSignals[i], &old_[i], nullptr);
    }
    sigaction(SIGPIPE, &old_pipe_, nullptr);
  }
  StopSignalScope(const StopSignalScope&) = delete;
  StopSignalScope& operator=(const StopSignalScope&) = delete;

  bool received() const {
    return g_stop_signal.load(std::memory_order_relaxed) != 0;
  }

 private:
  static constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
  static constexpr size_t kStopSignalCount = 4;
  struct sigaction old_[kStopSignalCount] = {};
  struct sigaction old_pipe_ = {};
};

gboolean KeepWaking(gpointer) { return TRUE; }

WideString CurrentDirectory() {
  char* dir = getcwd(nullptr, 0);
  if (dir == nullptr) return WideString();
  WideString result = ToWide(NarrowString(dir));
  std::free(dir);
  return result;
}

bool Exists(const WideString& path) {
  DirectoryEnumerator probe;
  return probe.First(path);
}

std::string Narrow(const WideString& text) { return ToNarrow(text).c_str(); }

MessageDetail DetailOf(const std::string& path, int error) {
  MessageDetail detail;
  detail.path = path;
  detail.system_error = error;
  return detail;
}

}  // namespace

WideString CInstallerDlg::LocateKit() const {
  if (use_current_dir_) {
    const WideString dir = CurrentDirectory();
    return dir.empty() ? dir : dir + u"/tqkt.efd";
  }
  // The link's target may be of any length: grow the buffer until it fits.
  for (size_t size = 256; size <= (size_t{1} << 20); size *= 2) {
    std::unique_ptr<char[]> buffer(new char[size]);
    const ssize_t length = readlink("/proc/self/exe", buffer.get(), size);
    if (length <= 0) return WideString();
    if (static_cast<size_t>(length) < size) {
      return KitPathBeside(
          ToWide(NarrowString(buffer.get(), static_cast<uint32_t>(length))));
    }
  }
  return WideString();
}

bool CInstallerDlg::PrepareInstall() {
  const WideString path = LocateKit();
  struct stat status;
  if (path.empty() || stat(Narrow(path).c_str(), &status) != 0) {
    // Where it looked, and why the kit was not there.
    Tell(UserMessage("IDS_ERROR_NOSOURCE",
                     path.empty() ? MessageDetail()
                                  : DetailOf(Narrow(path), errno)),
         kMessageBoxError);
    return false;
  }
  kit_path_ = path;

  common_config_exists_ = Exists(CommonConfigPath());
  const bool user_config_exists = Exists(UserConfigPath());
  if (user_config_exists) {
    locations_read_whole_ = ReadTemplateLocations(template_locations_, false);
  } else if (common_config_exists_) {
    locations_read_whole_ = ReadTemplateLocations(template_locations_, true);
    common_locations_used_ = !template_locations_.empty();
  }
  const WideString default_dir = DefaultTemplateBase() + u"tmplts/";
  const TargetChoice choice = ChooseTargetDir(
      template_locations_, default_dir, HomeDirectory(), IsWritableDirectory);
  target_dir_ = choice.dir;
  // A location was probed when it was chosen; the default was not.
  const bool target_probed = choice.dir != CleanTemplateLocation(default_dir);
  if (choice.fell_back) {
    Note(UserMessage("IDS_NOTE_DEFAULT_TARGET",
                     DetailOf(WithoutTrailingSlashes(Narrow(choice.dir)), 0)));
  }

  uint64_t value = 0;
  std::optional<uint64_t> kit_size;
  std::optional<uint64_t> free_bytes;
  // The reason when the free space could not be asked for (it then counts
  // as none).
  int statvfs_error = 0;
  if (GetFileSize(kit_path_, &value) == 0) kit_size = value;
  if (GetFreeSpace(&value, &statvfs_error) == kSuccess) free_bytes = value;
  if (LacksSpaceForKit(kit_size, free_bytes)) {
    WideString temp;
    GetTempDirectory(&temp);
    Tell(UserMessage("IDS_ERROR_NOSPACE",
                     DetailOf(WithoutTrailingSlashes(Narrow(temp)),
                              statvfs_error)),
         kMessageBoxError);
    return false;
  }

  // The wizard checks the whole kit before it shows anything of it; a
  // silent run reads the tables and installs while the rest is inflated (a
  // stream found damaged later is rolled back and told alike).
  const ErrorCode opened = silent_ ? reader_.OpenStreaming(kit_path_)
                                   : reader_.Check(kit_path_);
  if (opened != kSuccess) {
    Tell(KitFailureMessage(opened), kMessageBoxError);
    return false;
  }

  // Nobody can type a directory in a silent run, and an empty one would
  // mean the current directory.
  if (silent_ && target_dir_.empty()) {
    Tell(StringTable::Lookup("IDS_ERROR_NOTARGET"), kMessageBoxError);
    return false;
  }
  // The default directory, which no probe chose, must be writable too.
  if (silent_ && !target_probed && !CheckTarget(target_dir_)) return false;
  return true;
}

bool CInstallerDlg::CheckTarget(const WideString& dir) {
  const WritableCheck check = CheckWritableDirectory(dir);
  if (check.writable) return true;
  Tell(UserMessage("IDS_ERROR_TARGET_NOT_WRITABLE",
                   DetailOf(check.probed, check.error)),
       kMessageBoxError);
  return false;
}

WideString CInstallerDlg::KitFailureMessage(ErrorCode code) const {
  // Only the kit's own content makes it damaged; a temporary directory
  // that is full or refuses the container is told as such.
  const KitFailure& failure = reader_.failure();
  if (code == kErrorInvalidData) {
    return UserMessage("IDS_ERROR_DAMAGEDSOURCE",
                       DetailOf(Narrow(kit_path_), 0));
  }
  const char* key = failure.system_error == ENOSPC ||
                            failure.system_error == EDQUOT
                        ? "IDS_ERROR_NOSPACE"
                        : "IDS_INSTALL_ERROR";
  return UserMessage(key, DetailOf(failure.path, failure.system_error));
}

int CInstallerDlg::Tell(const WideString& text, MessageBoxCode code) {
  // A silent run is read by scripts too: its messages also go to standard
  // error when a box shows them (without a display the box itself writes
  // there).
  if (silent_ && !headless_) Note(text);
  return MessageBox(this, text, code);
}

void CInstallerDlg::Note(const WideString& text) {
  if (!silent_) return;
  std::fprintf(stderr, "%s\n", ToNarrow(OneLine(text)).c_str());
  std::fflush(stderr);
}

void CInstallerDlg::ShowWelcomeStep() {
  WideString product;
  WideString provider;
  reader_.FindProductInfo(language_code_, &product, &provider);
  const WideString text = WelcomeText(product, provider);
  page_index_ = kStepWelcome;
  if (window_ == nullptr) return;
  if (!welcome_page_) {
    welcome_page_ =
        std::make_unique<MessagePage>(page_area_, side_picture_, text);
  }
  if (silent_) {
    gtk_widget_hide(back_button_);
    gtk_widget_hide(next_button_);
  } else {
    gtk_widget_set_sensitive(back_button_, FALSE);
  }
  ShowPage(welcome_page_.get());
  // Enter on the welcome page means Next.
  if (!silent_) gtk_widget_grab_focus(next_button_);
}

void CInstallerDlg::OnBack() {
  if (page_index_ == kStepDirectory) ShowWelcomeStep();
}

void CInstallerDlg::OnNext() {
  switch (page_index_) {
    case kStepWelcome:
      ShowDirectoryStep();
      break;
    case kStepDirectory: {
      if (!dir_page_) return;
      const WideString dir = NormaliseTypedDirectory(
          dir_page_->GetPath(), CurrentDirectory(), HomeDirectory());
      if (dir.empty()) {
        Tell(StringTable::Lookup("IDS_SETUP_EMPTYTARGET"), kMessageBoxPlain);
        return;
      }
      // Found now, not half-way through the copying: the user can choose
      // another folder on this page.
      if (!CheckTarget(dir)) return;
      target_dir_ = dir;
      RunInstallStep();
      break;
    }
    case kStepSuccess:
    case kStepError:
    case kStepCancelled:
      Finish();
      break;
    default:
      break;
  }
}

void CInstallerDlg::RunInstallStep() {
  if (window_ != nullptr) {
    if (!progress_page_) {
      progress_page_ =
          std::make_unique<ProgressPage>(page_area_, width_ - 2 * kMargin);
    }
    gtk_widget_set_sensitive(back_button_, FALSE);
    gtk_widget_set_sensitive(next_button_, FALSE);
  }
  // The wizard checked the kit before its first page; now it installs
  // while it inflates, as a silent run does.
  ErrorCode opened = kSuccess;
  if (!reader_.is_open()) opened = reader_.OpenStreaming(kit_path_);
  channel_.SetObserver(&end_waker_);
  channel_.StartJob(opened == kSuccess ? &reader_ : nullptr, target_dir_);
  ShowPage(progress_page_.get());
  page_index_ = kStepProgress;
  copying_ = true;
  cancel_requested_ = false;
  close_requested_ = false;

  std::optional<StopSignalScope> stop_signals(std::in_place);
  const guint timer = g_timeout_add(kPollIntervalMs, KeepWaking, nullptr);
  const ErrorCode started =
      opened == kSuccess ? worker_.Start(&channel_) : opened;
  if (opened != kSuccess) {
    // The kit has changed or gone since it was checked.
    channel_.Post(opened, KitFailureMessage(opened), 0);
  } else if (started != kSuccess) {
    // No thread, no job: end the loop as an installation error.
    channel_.Post(started, StringTable::Lookup("IDS_INSTALL_ERROR"), 0);
  }
  ChannelState state;
  bool told_waiting = false;
  gint64 last_redraw = 0;
  // A silent run at a terminal shows a bar on standard error, as kittool
  // extract does; redirected, it writes nothing but its messages.
  const bool bar = silent_ && isatty(STDERR_FILENO) == 1;
  bool bar_drawn = false;
  for (;;) {
    state = channel_.Poll();
    if (state.waiting) {
      // Another installation into the same directory runs; this one waits
      // for it and says so, once.
      if (!told_waiting) {
        if (window_ != nullptr) progress_page_->ShowStatus(state.text);
        Note(state.text);
      }
      told_waiting = true;
    } else if (window_ != nullptr) {
      // The page is redrawn only when what it shows changes, and not more
      // often than the eye can follow: the copying, not the drawing, is the
      // work to be done.
      const gint64 now = g_get_monotonic_time();
      if (state.state != JobState::kRunning ||
          now - last_redraw >= kRedrawIntervalUs) {
        progress_page_->SetProgress(state.progress);
        last_redraw = now;
      }
    } else if (bar && state.state == JobState::kRunning) {
      const gint64 now = g_get_monotonic_time();
      if (now - last_redraw >= kRedrawIntervalUs) {
        std::fputs(
            ProgressBarLine(state.progress, EscapeForTerminal(state.text),
                            TerminalColumns(STDERR_FILENO))
                .c_str(),
            stderr);
        std::fflush(stderr);
        bar_drawn = true;
        last_redraw = now;
      }
    }
    if (state.state != JobState::kRunning) break;
    IterateWhileCopying();
    if (stop_signals->received() && !close_requested_) {
      close_requested_ = true;
      CancelJob();
    }
  }
  g_source_remove(timer);

  if (bar_drawn) {
    // The bar ends full after a finish, where it stood otherwise, and its
    // line is ended before any message.
    const int percent =
        state.state == JobState::kFinished ? 100 : state.progress;
    std::fputs((ProgressBarLine(percent, std::string(),
                                TerminalColumns(STDERR_FILENO)) +
                "\n")
                   .c_str(),
               stderr);
    std::fflush(stderr);
  }
  worker_.RequestStop();  // no pause after a finished job
  if (state.state == JobState::kFailed && !close_requested_) {
    // A failed job is still rolling back; the box is shown meanwhile. A
    // stream found damaged is told as a damaged kit, as before the wizard.
    Tell(state.code == kErrorInvalidData ? KitFailureMessage(state.code)
                                         : state.text,
         kMessageBoxError);
  }
  // The thread is gone before the final page, before the window closes and
  // before anything touches the reader again; until then a signal or the
  // close button still only asks for the end.
  worker_.Join();
  copying_ = false;
  if (stop_signals->received()) close_requested_ = true;
  stop_signals.reset();

  switch (state.state) {
    case JobState::kFinished:
      // Also when asked to close: a job that completed before it saw the
      // request is an installation like any other.
      outcome_ = Outcome::kSucceeded;
      if (!close_requested_) ShowSuccessStep();
      RecordTemplateLocation();
      if (silent_) PrintSummary();
      break;
    case JobState::kFailed:
      outcome_ = Outcome::kFailed;
      if (!close_requested_) ShowErrorStep();
      break;
    default:
      outcome_ = Outcome::kCancelled;
      Note(StringTable::Lookup("IDS_CANCEL_FINISH"));
      if (!close_requested_) ShowCancelledStep();
      break;
  }
  // Asked to close: no final page.
  if (close_requested_) DestroyWindow();
}

void CInstallerDlg::PrintSummary() const {
  // One line for scripts and configuration management, the same in every
  // language: what was installed where, and whether anything changed.
  const InstallEngine::Outcome& done = worker_.outcome();
  std::fprintf(stdout, "installed into %s: %llu copied, %llu up to date\n",
               WithoutTrailingSlashes(Narrow(target_dir_)).c_str(),
               static_cast<unsigned long long>(done.copied),
               static_cast<unsigned long long>(done.up_to_date));
  std::fflush(stdout);
}

void CInstallerDlg::EndWaker::OnPost(const ChannelState& state) {
  if (state.state != JobState::kRunning) g_main_context_wakeup(nullptr);
}

void CInstallerDlg::IterateWhileCopying() {
  if (headless_) {
    g_main_context_iteration(nullptr, TRUE);
  } else {
    gtk_main_iteration();
  }
}

void CInstallerDlg::RecordTemplateLocation() {
  // The list is written back whole: one that missed locations because a
  // file could not be read would drop them from the configuration. The
  // suggestion is lost instead, and the user told.
  if (!locations_read_whole_) {
    WarnConfigNotSaved(
        DetailOf(Narrow(common_locations_used_ ? CommonConfigPath()
                                               : UserConfigPath()),
                 EIO));
    return;
  }
  template_locations_ = LocationsAfterSuccess(template_locations_, target_dir_);
  const ConfigWrites writes =
      ConfigFilesToWrite(common_locations_used_, common_config_exists_);
  // The templates are installed whatever happens here; a launcher
  // configuration that cannot be written only loses the suggestion, and
  // does not keep the other file from getting it.
  for (const bool common : {false, true}) {
    if (!(common ? writes.common : writes.user)) continue;
    try {
      WriteTemplateLocations(template_locations_, common);
    } catch (int) {
      const int error = errno;
      WarnConfigNotSaved(DetailOf(
          Narrow(common ? CommonConfigPath() : UserConfigPath()), error));
    } catch (...) {
      WarnConfigNotSaved(DetailOf(
          Narrow(common ? CommonConfigPath() : UserConfigPath()), ENOMEM));
    }
  }
}

void CInstallerDlg::WarnConfigNotSaved(const MessageDetail& detail) {
  Tell(UserMessage("IDS_WARN_CONFIG_NOT_SAVED", detail), kMessageBoxPlain);
}

void CInstallerDlg::ShowSuccessStep() {
  page_index_ = kStepSuccess;
  if (window_ == nullptr) return;
  if (!success_page_) {
    success_page_ = std::make_unique<SuccessFinalPage>(
        page_area_, side_picture_, StringTable::Lookup("IDS_SUCCESS_FINISH"));
  }
  SetFinishButtons();
  ShowPage(success_page_.get());
}

void CInstallerDlg::ShowErrorStep() {
  page_index_ = kStepError;
  if (window_ == nullptr) return;
  if (!error_page_) {
    error_page_ = std::make_unique<MessagePage>(
        page_area_, side_picture_, StringTable::Lookup("IDS_ERROR_FINISH"));
  }
  SetFinishButtons();
  ShowPage(error_page_.get());
}

void CInstallerDlg::ShowCancelledStep() {
  page_index_ = kStepCancelled;
  if (window_ == nullptr) return;
  if (!cancel_page_) {
    cancel_page_ = std::make_unique<MessagePage>(
        page_area_, side_picture_, StringTable::Lookup("IDS_CANCEL_FINISH"));
  }
  SetFinishButtons();
  ShowPage(cancel_page_.get());
}

void CInstallerDlg::Finish() {
  if (page_index_ == kStepSuccess && success_page_ && window_ != nullptr) {
    const WideString path =
        DescriptionPath(target_dir_, reader_.FindDescription(language_code_));
    if (success_page_->IsOpenDescriptionChecked() && Exists(path)) {
      // The opener speaks the user's language, not the installer's.
      if (toolkit_language_) toolkit_language_->RestoreEnvironment();
      OpenDocument(path);
    }
  }
  DestroyWindow();
}
