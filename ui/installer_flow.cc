// The installation flow: pre-checks, the steps of the wizard, the copying on
// the worker and the end of the run. The frame is in installer_dlg.cc.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "l10n/string_table.h"
#include "l10n/user_message.h"
#include "launcher_config/launcher_paths.h"
#include "platform/file_operations.h"
#include "platform/narrow_path.h"
#include "platform/stop_signals.h"
#include "platform/system_api.h"
#include "text/path_utils.h"
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

gboolean KeepWaking(gpointer) { return TRUE; }

// Whether `typed` holds more than blanks.
bool Typed(WideString typed) {
  TrimBlanks(typed);
  return !typed.empty();
}

bool Exists(SystemApi& sys, const WideString& path) {
  struct stat status;
  return sys.Stat(ToNarrow(path).c_str(), &status) == 0;
}

}  // namespace

bool CInstallerDlg::PrepareInstall() {
  InstallSession::PrepareOptions options;
  options.use_current_dir = use_current_dir_;
  options.silent = silent_;
  options.kit = kit_;
  options.target = start_target_;
  // The wizard checks the whole kit before it shows anything of it; a
  // silent run installs while the rest is inflated.
  options.check = silent_ ? InstallSession::KitCheck::kStreaming
                          : InstallSession::KitCheck::kWhole;
  const Status prepared = session_.Prepare(options);
  target_dir_ = session_.proposed_target();
  if (prepared.ok()) return true;
  TellFailure(prepared);
  return false;
}

bool CInstallerDlg::CheckTarget(const WideString& dir) {
  const Status check = session_.CheckTarget(dir);
  if (check.ok()) return true;
  TellFailure(check);
  return false;
}

void CInstallerDlg::TellFailure(const Status& failure) {
  Tell(FailureMessage(failure, session_.kit_path()), kMessageBoxError);
}

int CInstallerDlg::Tell(const WideString& text, MessageBoxStyle style) {
  // A silent run is read by scripts too: its messages also go to standard
  // error.
  Note(text);
  return MessageBox(this, text, style);
}

void CInstallerDlg::Note(const WideString& text) {
  if (!silent_) return;
  std::fprintf(stderr, "%s\n", ToNarrow(OneLine(text)).c_str());
  std::fflush(stderr);
}

void CInstallerDlg::ShowWelcomeStep() {
  WideString product;
  WideString provider;
  session_.kit().FindProductInfo(language_code_, &product, &provider);
  const WideString text = WelcomeText(product, provider);
  step_ = kStepWelcome;
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
  if (step_ == kStepDirectory) ShowWelcomeStep();
}

void CInstallerDlg::OnNext() {
  switch (step_) {
    case kStepWelcome:
      ShowDirectoryStep();
      break;
    case kStepDirectory: {
      if (!dir_page_) return;
      const WideString typed = dir_page_->GetPath();
      std::string cwd;
      const Status asked = CurrentDirectory(session_.sys(), &cwd);
      const WideString dir = NormaliseTypedDirectory(
          typed, ToWide(NarrowString(cwd.c_str())),
          HomeDirectory(session_.sys()));
      // A relative directory needs the current one, which may be gone.
      if (dir.empty() && Typed(typed) && !asked.ok()) {
        TellFailure(asked);
        return;
      }
      if (dir.empty()) {
        Tell(StringTable::Lookup("IDS_SETUP_EMPTYTARGET"), kMessageBoxWarning);
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
  if (!progress_page_) {
    progress_page_ =
        std::make_unique<ProgressPage>(page_area_, width_ - 2 * kMargin);
  }
  gtk_widget_set_sensitive(back_button_, FALSE);
  gtk_widget_set_sensitive(next_button_, FALSE);
  ShowPage(progress_page_.get());
  step_ = kStepProgress;
  copying_ = true;
  cancel_requested_ = false;
  close_requested_ = false;

  ChannelState state;
  {
    // While files are being copied, a stop signal rolls the job back
    // instead of leaving a half-installed directory.
    StopSignals signals;
    const Status started = session_.Start(target_dir_);
    signals.Unblock();
    if (started.ok()) {
      state = FollowJob(signals);
    } else {
      // The kit has changed or gone since it was checked, or no thread
      // could be made: an installation error like any other.
      state.state = JobState::kFailed;
      state.failure = started;
    }
    if (state.state == JobState::kFailed && !close_requested_) {
      // A failed job is still rolling back; the box is shown meanwhile.
      TellFailure(state.failure);
    }
    if (signals.received()) close_requested_ = true;
    // The job has ended: its page now, drawn before anything else is
    // handled, so that no timing of the answer and of the worker's end can
    // leave the copying page up. The worker's thread may still be closing
    // the transaction (a last flush can take a while on a busy disk); the
    // window stays alive meanwhile.
    copying_ = false;
    switch (state.state) {
      case JobState::kFinished:
        // Also when asked to close: a job that completed before it saw the
        // request is an installation like any other.
        outcome_ = RunOutcome::kSucceeded;
        if (!close_requested_) ShowSuccessStep();
        break;
      case JobState::kFailed:
        outcome_ = RunOutcome::kFailed;
        if (!close_requested_) ShowErrorStep();
        break;
      default:
        outcome_ = RunOutcome::kCancelled;
        Note(StringTable::Lookup("IDS_CANCEL_FINISH"));
        if (!close_requested_) ShowCancelledStep();
        break;
    }
    if (window_ != nullptr) {
      gdk_window_process_all_updates();
      gdk_flush();
    }
    AwaitWorker();
    // The thread is gone before anything touches the reader again.
    const JobResult& result = session_.Finish();
    if (outcome_ == RunOutcome::kSucceeded) {
      RecordTemplateLocation();
      if (silent_) PrintSummary(result);
    }
  }
  // Asked to close: no final page.
  if (close_requested_) DestroyWindow();
}

ChannelState CInstallerDlg::FollowJob(StopSignals& signals) {
  const guint timer = g_timeout_add(kPollIntervalMs, KeepWaking, nullptr);
  ChannelState state;
  bool told_waiting = false;
  gint64 last_redraw = 0;
  for (;;) {
    state = session_.Poll();
    ShowJobState(state, &told_waiting, &last_redraw);
    if (state.state != JobState::kRunning) break;
    gtk_main_iteration();
    if (signals.received() && !close_requested_) {
      close_requested_ = true;
      CancelJob();
    }
  }
  g_source_remove(timer);
  return state;
}

void CInstallerDlg::AwaitWorker() {
  if (!session_.worker().running()) return;
  const guint timer = g_timeout_add(kPollIntervalMs, KeepWaking, nullptr);
  while (!session_.worker().ended()) gtk_main_iteration();
  g_source_remove(timer);
}

void CInstallerDlg::ShowJobState(const ChannelState& state,
                                 bool* told_waiting, gint64* last_redraw) {
  if (state.waiting) {
    // Another installation into the same directory runs; this one waits
    // for it and says so, once.
    if (!*told_waiting) {
      const WideString text = UserMessage(
          "IDS_WAIT_OTHER_INSTALL",
          MessageDetail{ToNarrow(state.text).c_str(), 0, nullptr});
      if (window_ != nullptr) progress_page_->ShowStatus(text);
      Note(text);
    }
    *told_waiting = true;
    return;
  }
  if (window_ == nullptr) return;
  // The page is redrawn only when what it shows changes, and not more
  // often than the eye can follow: the copying, not the drawing, is the
  // work to be done.
  const gint64 now = g_get_monotonic_time();
  if (state.state != JobState::kRunning ||
      now - *last_redraw >= kRedrawIntervalUs) {
    progress_page_->SetProgress(state.progress);
    *last_redraw = now;
  }
}

void CInstallerDlg::PrintSummary(const JobResult& result) const {
  // One line for scripts and configuration management, the same in every
  // language: what was installed where, and whether anything changed.
  std::fprintf(stdout, "%s\n",
               SummaryLine(ToNarrow(target_dir_).c_str(), result).c_str());
  std::fflush(stdout);
}

void CInstallerDlg::Observer::OnPost(const ChannelState& state) {
  if (state.state != JobState::kRunning) g_main_context_wakeup(nullptr);
}

void CInstallerDlg::Observer::OnStateDirectoryPassedOver(const Status& why) {
  // A note about the environment, not about this installation: standard
  // error whether or not the run is silent.
  std::fprintf(stderr, "%s\n", ToNarrow(OneLine(StateFallbackNote(why))).c_str());
  std::fflush(stderr);
}

void CInstallerDlg::Observer::OnFellBackToDefault(
    const std::string& directory) {
  dialog_.Note(UserMessage("IDS_NOTE_DEFAULT_TARGET",
                           MessageDetail{directory, 0, nullptr}));
}

void CInstallerDlg::RecordTemplateLocation() {
  // The templates are installed whatever happens here; a launcher
  // configuration that cannot be written only loses the suggestion.
  for (const Status& failure : session_.RecordTarget()) {
    Tell(ConfigNotSavedMessage(failure), kMessageBoxWarning);
  }
}

void CInstallerDlg::ShowSuccessStep() {
  step_ = kStepSuccess;
  if (window_ == nullptr) return;
  if (!success_page_) {
    success_page_ = std::make_unique<SuccessFinalPage>(
        page_area_, side_picture_, StringTable::Lookup("IDS_SUCCESS_FINISH"));
  }
  SetFinishButtons();
  ShowPage(success_page_.get());
}

void CInstallerDlg::ShowErrorStep() {
  step_ = kStepError;
  if (window_ == nullptr) return;
  if (!error_page_) {
    error_page_ = std::make_unique<MessagePage>(
        page_area_, side_picture_, StringTable::Lookup("IDS_ERROR_FINISH"));
  }
  SetFinishButtons();
  ShowPage(error_page_.get());
}

void CInstallerDlg::ShowCancelledStep() {
  step_ = kStepCancelled;
  if (window_ == nullptr) return;
  if (!cancel_page_) {
    cancel_page_ = std::make_unique<MessagePage>(
        page_area_, side_picture_, StringTable::Lookup("IDS_CANCEL_FINISH"));
  }
  SetFinishButtons();
  ShowPage(cancel_page_.get());
}

void CInstallerDlg::Finish() {
  if (step_ == kStepSuccess && success_page_ && window_ != nullptr) {
    const WideString path = DescriptionPath(
        target_dir_, session_.kit().FindDescription(language_code_));
    if (success_page_->IsOpenDescriptionChecked() &&
        Exists(session_.sys(), path)) {
      // The opener speaks the user's language, not the installer's.
      if (toolkit_language_) toolkit_language_->RestoreEnvironment();
      OpenDocument(path);
    }
  }
  DestroyWindow();
}
