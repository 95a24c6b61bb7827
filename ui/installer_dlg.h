// CInstallerDlg: the installer's one window and the owner of everything the
// wizard needs for a run: the channel to the install worker, the worker's
// thread, the kit reader, the paths and the pages. It draws the fixed-size
// frame (500 x 360, a separator and the Back, Next and Cancel buttons),
// switches pages, runs the pre-checks, the steps of the wizard and the
// copying, and records the outcome as the process's exit status.
//
// Without a display (gtk_init_check fails) a silent run goes through the same
// flow headless: no window is built and no GTK call that needs a display is
// made; message box texts go to standard error. A run that is not silent
// then only says that it needs a display.
//
// Ownership: the dialog owns the pages (deleted after the window is gone),
// the pixbufs, the reader and the worker. The worker is stopped and joined
// before anything it uses is released. The copying runs on the worker; all
// else, and every GTK call, on the main thread.
#ifndef UI_INSTALLER_DLG_H_
#define UI_INSTALLER_DLG_H_

#include <gtk/gtk.h>

#include <memory>
#include <vector>

#include "engine/ui_channel.h"
#include "engine/worker_thread.h"
#include "kit/kit_reader.h"
#include "l10n/user_message.h"
#include "text/wide_string.h"
#include "ui/flow_logic.h"
#include "ui/message_box.h"
#include "ui/toolkit_language.h"
#include "ui/wizard_pages.h"
#include "ui/wnd.h"

class CInstallerDlg : public CWnd {
 public:
  // The wizard's steps (values of page_index()).
  static constexpr int kStepNone = 0;
  static constexpr int kStepWelcome = 1;
  static constexpr int kStepDirectory = 2;
  static constexpr int kStepProgress = 3;
  static constexpr int kStepSuccess = 4;
  static constexpr int kStepError = 5;
  static constexpr int kStepCancelled = 6;

  // Initialises the channel and GTK (gtk_init_check with the copies of argc
  // and argv, which GTK may shrink; without a display the dialog is
  // headless). `argv` must outlive the dialog.
  CInstallerDlg(int argc, char** argv, bool silent, const WideString& title,
                const WideString& language_code, bool use_current_dir);
  // Stops and joins the worker (cancelling a job that still runs), destroys
  // the window if it is still there, then releases pages, pictures and the
  // kit.
  ~CInstallerDlg() override;

  // The whole run: pre-checks, window, welcome step, then the GTK main loop
  // (interactive) or the installation step at once (silent). Returns when the
  // run has ended; exit_status() then says how.
  void Run();
  // 0 succeeded, 1 a pre-check or the installation failed (or no display
  // for an interactive run), 2 cancelled or closed before success.
  int exit_status() const { return ExitStatusFor(outcome_); }

  WideString GetTitle() const override { return title_; }
  GtkWindow* GetGtkWindow() const override;

  // --- The frame.
  // Builds and shows the window with its separator and buttons.
  void BuildWindow();
  // Hides the current page's widgets, then shows `page`'s (none for null)
  // and calls its OnActivate.
  void ShowPage(WizardDialogPage* page);
  // Step 2: the directory page, its entry refilled from target_dir().
  void ShowDirectoryStep();
  // The final steps' buttons: Next labelled Finish, sensitive, default and
  // focused; Cancel insensitive; Back hidden.
  void SetFinishButtons();
  // What Cancel, Escape and the window's close button do, alike on every
  // step: on a final step the window closes at once (the exit status is
  // that step's); otherwise "IDS_ACCEPT_CANCEL" is asked, and Yes closes
  // the window, or, while files are being copied, cancels the job, which
  // rolls back and ends on the cancelled step. While the question is open
  // the job waits between two entries (and before its commit).
  void CloseWithConfirmation();

  // --- The flow.
  // The pre-checks, in order: kit present, template directory chosen, room
  // in the temporary directory, kit readable, and for a silent run a
  // directory to install into (none when the launcher's choice is a URL). A
  // failure shows its message and returns false.
  bool PrepareInstall();
  // The kit's path: beside the executable, or in the current directory with
  // "usecwd"; empty when that directory cannot be determined.
  WideString LocateKit() const;
  void ShowWelcomeStep();
  // Hands the job to the worker and follows it until it has failed,
  // finished or been cancelled, then joins the worker and shows the final
  // step (or closes the window when a close was asked for meanwhile: by
  // Escape, the close button, SIGINT or SIGTERM).
  void RunInstallStep();
  void ShowSuccessStep();
  void ShowErrorStep();
  // The final page after a cancelled copying ("IDS_CANCEL_FINISH").
  void ShowCancelledStep();
  // Finish on a final page: opens the description after a success when the
  // box is checked and the file exists, then closes the window.
  void Finish();

  // True for the steps that end the wizard: success, error, cancelled.
  static bool IsFinalStep(int step) {
    return step == kStepSuccess || step == kStepError || step == kStepCancelled;
  }

  // --- Signal handlers; `dialog` is the CInstallerDlg.
  static void OnBackClicked(GtkWidget* button, gpointer dialog);
  static void OnNextClicked(GtkWidget* button, gpointer dialog);
  static void OnCancelClicked(GtkWidget* button, gpointer dialog);
  static gboolean OnKeyPress(GtkWidget* window, GdkEventKey* event,
                             gpointer dialog);
  static gboolean OnDeleteEvent(GtkWidget* window, GdkEvent* event,
                                gpointer dialog);
  static void OnDestroy(GtkWidget* window, gpointer dialog);

  // --- Observers, for tests. Widgets are null before BuildWindow, when
  // headless and after the window is gone.
  bool headless() const { return headless_; }
  int page_index() const { return page_index_; }
  const WideString& target_dir() const { return target_dir_; }
  const WideString& kit_path() const { return kit_path_; }
  const std::vector<WideString>& template_locations() const {
    return template_locations_;
  }
  GtkWidget* window() const { return window_; }
  GtkWidget* page_area() const { return page_area_; }
  GtkWidget* separator() const { return separator_; }
  GtkWidget* back_button() const { return back_button_; }
  GtkWidget* next_button() const { return next_button_; }
  GtkWidget* cancel_button() const { return cancel_button_; }
  WizardDialogPage* current_page() const { return current_page_; }
  MessagePage* welcome_page() const { return welcome_page_.get(); }
  DirSelectPage* dir_page() const { return dir_page_.get(); }
  ProgressPage* progress_page() const { return progress_page_.get(); }
  SuccessFinalPage* success_page() const { return success_page_.get(); }
  MessagePage* error_page() const { return error_page_.get(); }
  MessagePage* cancel_page() const { return cancel_page_.get(); }
  const WorkerThread& worker() const { return worker_; }

 private:
  void OnNext();
  void OnBack();
  void OnCancel();
  // Asks the worker to roll back after the current file and to stop.
  void CancelJob();
  // Writes the new location into the launcher configuration; a file that
  // cannot be written is reported as a warning (the installation stays a
  // success).
  void RecordTemplateLocation();
  void WarnConfigNotSaved(const MessageDetail& detail);
  // Shows a message box; in a silent run the text also goes to standard
  // error as one line, for the scripts that run it.
  int Tell(const WideString& text, MessageBoxCode code);
  // The message for a kit that could not be opened (or turned out damaged)
  // with `code`: damaged, no space, or what the system refused.
  WideString KitFailureMessage(ErrorCode code) const;
  // A silent run's note on standard error (nothing in the wizard).
  void Note(const WideString& text);
  // True when the installation can write into `dir` (or the nearest
  // existing folder above it); otherwise says so, naming the folder and the
  // system's reason, and returns false.
  bool CheckTarget(const WideString& dir);
  // One turn of the main loop while the worker copies.
  void IterateWhileCopying();
  // The window's properties: centred, fixed size, icon, signals.
  void SetupWindow();
  GtkWidget* MakeButton(const char* label_key);
  void DestroyWindow();

  // Set by the flow: the locations came from the common launcher
  // configuration; the common configuration file exists.
  bool common_locations_used_ = false;
  bool common_config_exists_ = false;
  // False when a configuration file could not be read whole: the locations
  // are then not written back.
  bool locations_read_whole_ = true;
  bool silent_;
  // A silent run's last line on standard output.
  void PrintSummary() const;
  // Wakes the main loop the moment the job ends, so that the end is not
  // left to the next poll.
  class EndWaker : public ChannelObserver {
   public:
    void OnPost(const ChannelState& state) override;
  };
  EndWaker end_waker_;
  UiChannel channel_;
  std::vector<WideString> template_locations_;
  WideString target_dir_;
  WideString kit_path_;
  KitReader reader_;
  WideString language_code_;
  int page_index_ = kStepNone;
  // Pages are made on first use and live until the dialog goes.
  std::unique_ptr<MessagePage> welcome_page_;
  std::unique_ptr<DirSelectPage> dir_page_;
  WizardDialogPage* current_page_ = nullptr;
  std::unique_ptr<ProgressPage> progress_page_;
  std::unique_ptr<SuccessFinalPage> success_page_;
  std::unique_ptr<MessagePage> error_page_;
  std::unique_ptr<MessagePage> cancel_page_;
  bool use_current_dir_;
  GdkPixbuf* side_picture_ = nullptr;
  GtkWidget* back_button_ = nullptr;
  GtkWidget* next_button_ = nullptr;
  GtkWidget* cancel_button_ = nullptr;
  GtkWidget* separator_ = nullptr;
  int argc_;
  char** argv_;
  // The window's size with the usual font and texts: the page area, the
  // separator and the row of buttons.
  int width_ = 500;
  static constexpr int kPageAreaHeight = 310;
  static constexpr int kMargin = 10;
  static constexpr int kButtonWidth = 80;
  static constexpr int kButtonHeight = 30;
  static constexpr int kCancelGap = 20;
  WideString title_;
  GtkWidget* window_ = nullptr;
  GtkWidget* page_area_ = nullptr;
  GdkPixbuf* icon_ = nullptr;
  bool headless_ = false;
  // The toolkit's texts in the wizard's language while the dialog lives.
  std::unique_ptr<ToolkitLanguage> toolkit_language_;
  Outcome outcome_ = Outcome::kUnfinished;
  // While the worker copies: the user asked to cancel the job (the wizard
  // then shows the cancelled step), or to close the wizard (it closes once
  // the job has ended).
  bool copying_ = false;
  bool cancel_requested_ = false;
  bool close_requested_ = false;
  // Declared last so that it is destroyed, and joined, first.
  WorkerThread worker_;
};

#endif  // UI_INSTALLER_DLG_H_
