// The installation flow: pre-checks, the steps of the wizard, the copying on
// the worker and the end of the run. The frame is in installer_dlg.cc.
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>

#include "l10n/string_table.h"
#include "launcher_config/launcher_paths.h"
#include "launcher_config/template_locations.h"
#include "platform/directory_enumerator.h"
#include "platform/file_operations.h"
#include "text/path_utils.h"
#include "text/text_conversion.h"
#include "ui/document_opener.h"
#include "ui/installer_dlg.h"
#include "ui/message_box.h"

namespace {

// The main loop is woken at least this often while the worker copies, so
// that every state it posts reaches the page even when no event arrives.
constexpr guint kPollIntervalMs = 50;

volatile sig_atomic_t g_stop_signal = 0;

void OnStopSignal(int) { g_stop_signal = 1; }

// While files are being copied, SIGINT and SIGTERM ask for the job to be
// rolled back instead of leaving a half-installed directory; the previous
// handlers come back afterwards.
class StopSignalScope {
 public:
  StopSignalScope() {
    g_stop_signal = 0;
    struct sigaction action = {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &old_int_);
    sigaction(SIGTERM, &action, &old_term_);
  }
  ~StopSignalScope() {
    sigaction(SIGINT, &old_int_, nullptr);
    sigaction(SIGTERM, &old_term_, nullptr);
  }
  StopSignalScope(const StopSignalScope&) = delete;
  StopSignalScope& operator=(const StopSignalScope&) = delete;

  bool received() const { return g_stop_signal != 0; }

 private:
  struct sigaction old_int_ = {};
  struct sigaction old_term_ = {};
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
  if (path.empty() || !Exists(path)) {
    MessageBox(this, StringTable::Lookup("IDS_ERROR_NOSOURCE"),
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
  target_dir_ =
      ChooseTargetDir(template_locations_, DefaultTemplateBase() + u"tmplts/",
                      HomeDirectory(), IsWritableDirectory)
          .dir;

  uint64_t value = 0;
  std::optional<uint64_t> kit_size;
  std::optional<uint64_t> free_bytes;
  if (GetFileSize(kit_path_, &value) == 0) kit_size = value;
  if (GetFreeSpace(&value) == kSuccess) free_bytes = value;
  if (LacksSpaceForKit(kit_size, free_bytes)) {
    MessageBox(this, StringTable::Lookup("IDS_ERROR_NOSPACE"),
               kMessageBoxError);
    return false;
  }

  if (reader_.Open(kit_path_) != kSuccess) {
    MessageBox(this, StringTable::Lookup("IDS_ERROR_DAMAGEDSOURCE"),
               kMessageBoxError);
    return false;
  }

  // Nobody can type a directory in a silent run, and an empty one would
  // mean the current directory.
  if (silent_ && target_dir_.empty()) {
    MessageBox(this, StringTable::Lookup("IDS_ERROR_NOTARGET"),
               kMessageBoxError);
    return false;
  }
  return true;
}

void CInstallerDlg::ShowWelcomeStep() {
  WideString product;
  WideString provider;
  reader_.FindProductInfo(language_code_, &product, &provider);
  const WideString text = WelcomeText(product, provider);
  page_index_ = kStepWelcome;
  if (window_ == nullptr) return;
  if (!welcome_page_) {
    welcome_page_ = std::make_unique<MessagePage>(fixed_, side_picture_, text);
  }
  if (silent_) {
    gtk_widget_hide(back_button_);
    gtk_widget_hide(next_button_);
  } else {
    gtk_widget_set_sensitive(back_button_, FALSE);
  }
  ShowPage(welcome_page_.get());
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
        MessageBox(this, StringTable::Lookup("IDS_SETUP_EMPTYTARGET"),
                   kMessageBoxPlain);
        return;
      }
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
      progress_page_ = std::make_unique<ProgressPage>(fixed_, width_ - 20);
    }
    gtk_widget_set_sensitive(back_button_, FALSE);
    gtk_widget_set_sensitive(next_button_, FALSE);
  }
  channel_.StartJob(&reader_, target_dir_);
  ShowPage(progress_page_.get());
  page_index_ = kStepProgress;
  copying_ = true;
  cancel_requested_ = false;
  close_requested_ = false;

  std::optional<StopSignalScope> stop_signals(std::in_place);
  const guint timer = g_timeout_add(kPollIntervalMs, KeepWaking, nullptr);
  const ErrorCode started = worker_.Start(&channel_);
  if (started != kSuccess) {
    // No thread, no job: end the loop as an installation error.
    channel_.Post(started, StringTable::Lookup("IDS_INSTALL_ERROR"), 0);
  }
  ChannelState state;
  for (;;) {
    state = channel_.Poll();
    if (window_ != nullptr) progress_page_->SetProgress(state.progress);
    if (state.state != JobState::kRunning) break;
    IterateWhileCopying();
    if (stop_signals->received() && !close_requested_) {
      close_requested_ = true;
      CancelJob();
    }
  }
  g_source_remove(timer);

  worker_.RequestStop();  // no pause after a finished job
  if (state.state == JobState::kFailed && !close_requested_) {
    // A failed job is still rolling back; the box is shown meanwhile.
    MessageBox(this, state.text, kMessageBoxError);
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
      break;
    case JobState::kFailed:
      outcome_ = Outcome::kFailed;
      if (!close_requested_) ShowErrorStep();
      break;
    default:
      outcome_ = Outcome::kCancelled;
      if (!close_requested_) ShowCancelledStep();
      break;
  }
  // Asked to close: no final page.
  if (close_requested_) DestroyWindow();
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
  // suggestion is lost instead, as when the file cannot be written.
  if (!locations_read_whole_) return;
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
    } catch (...) {
    }
  }
}

void CInstallerDlg::ShowSuccessStep() {
  page_index_ = kStepSuccess;
  if (window_ == nullptr) return;
  if (!success_page_) {
    success_page_ = std::make_unique<SuccessFinalPage>(
        fixed_, side_picture_, StringTable::Lookup("IDS_SUCCESS_FINISH"));
  }
  SetFinishButtons();
  ShowPage(success_page_.get());
}

void CInstallerDlg::ShowErrorStep() {
  page_index_ = kStepError;
  if (window_ == nullptr) return;
  if (!error_page_) {
    error_page_ = std::make_unique<MessagePage>(
        fixed_, side_picture_, StringTable::Lookup("IDS_ERROR_FINISH"));
  }
  SetFinishButtons();
  ShowPage(error_page_.get());
}

void CInstallerDlg::ShowCancelledStep() {
  page_index_ = kStepCancelled;
  if (window_ == nullptr) return;
  if (!cancel_page_) {
    cancel_page_ = std::make_unique<MessagePage>(
        fixed_, side_picture_, StringTable::Lookup("IDS_CANCEL_FINISH"));
  }
  SetFinishButtons();
  ShowPage(cancel_page_.get());
}

void CInstallerDlg::Finish() {
  if (page_index_ == kStepSuccess && success_page_ && window_ != nullptr) {
    const WideString path =
        DescriptionPath(target_dir_, reader_.FindDescription(language_code_));
    if (success_page_->IsOpenDescriptionChecked() && Exists(path)) {
      OpenDocument(path);
    }
  }
  DestroyWindow();
}
