// CInstallerDlg: the installer's one window, the GTK face of an installation
// session (engine/install_session.h). It draws the frame (500 x 360 in the
// usual font, larger when the desktop's font or a translation needs the
// room; a separator and the Back, Next and Cancel buttons, each with an
// access key), switches pages, runs the session's pre-checks and the steps
// of the wizard, follows the copying on the worker, and records the outcome
// as the process's exit status. A silent run with a display shows the
// welcome and progress pages without buttons and writes its messages to
// standard error too.
//
// Ownership: the dialog owns the pages (deleted after the window is gone)
// and the pixbufs; the session, which owns the kit reader, the channel and
// the worker, is the caller's and must outlive the dialog. All GTK calls
// are made on the main thread.
#ifndef UI_INSTALLER_DLG_H_
#define UI_INSTALLER_DLG_H_

#include <gtk/gtk.h>

#include <memory>
#include <vector>

#include "engine/install_session.h"
#include "l10n/user_message.h"
#include "text/wide_string.h"
#include "ui/flow_logic.h"
#include "ui/message_box.h"
#include "ui/toolkit_language.h"
#include "ui/wizard_pages.h"
#include "ui/wnd.h"

class StopSignals;

class CInstallerDlg : public CWnd {
 public:
  // The wizard's steps (values of step()).
  static constexpr int kStepNone = 0;
  static constexpr int kStepWelcome = 1;
  static constexpr int kStepDirectory = 2;
  static constexpr int kStepProgress = 3;
  static constexpr int kStepSuccess = 4;
  static constexpr int kStepError = 5;
  static constexpr int kStepCancelled = 6;

  // REQUIRES: GTK is initialised with a display (gtk_init_check succeeded).
  // `session` is the caller's (recovered already) and must outlive the
  // dialog; the dialog is its observer from now on.
  CInstallerDlg(InstallSession& session, bool silent, const WideString& title,
                const WideString& language_code, bool use_current_dir);
  // Cancels and joins a job still running, destroys the window if it is
  // still there, then releases pages and pictures.
  ~CInstallerDlg() override;

  // The whole run: pre-checks, window, welcome step, then the GTK main loop
  // (interactive) or the installation step at once (silent). Returns when the
  // run has ended; exit_status() then says how.
  void Run();
  // 0 succeeded, 1 a pre-check or the installation failed, 2 cancelled or
  // closed before success.
  int exit_status() const { return ExitStatusFor(outcome_); }

  WideString GetTitle() const override { return title_; }
  GtkWindow* GetGtkWindow() const override;

  // --- The frame.
  // Builds and shows the window with its separator and buttons.
  void BuildWindow();
  // Hides the current page's widgets, then shows `page`'s (none for null)
  // and calls its OnActivate.
  void ShowPage(WizardDialogPage* page);
  // Step 2: the directory page; its entry is filled from target_dir() on
  // the first visit only.
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
  // The session's pre-checks (installer_flow.cc): kit present, template
  // directory proposed, room in the temporary directory, kit readable, and
  // for a silent run a directory to install into. A failure shows its
  // message and returns false.
  bool PrepareInstall();
  // The kit to install and the directory to start with, as the command
  // line named them (empty: beside setup, as configured); before Run.
  void SetStart(const std::string& kit, const std::string& target) {
    kit_ = kit;
    start_target_ = target;
  }
  void ShowWelcomeStep();
  // Starts the job and follows it until it has failed, finished or been
  // cancelled, then joins the worker and shows the final step (or closes
  // the window when a close was asked for meanwhile: by Escape, the close
  // button, SIGINT or SIGTERM).
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
  // The window got a new size: one that grew (a text rewrapped for a
  // larger font after the window was placed) grows around its centre and
  // stays on the screen.
  static void OnSizeAllocate(GtkWidget* window, GtkAllocation* allocation,
                             gpointer dialog);

  // --- Observers, for tests. Widgets are null before BuildWindow and after
  // the window is gone.
  int step() const { return step_; }
  const WideString& target_dir() const { return target_dir_; }
  const std::string& kit_path() const { return session_.kit_path(); }
  const std::vector<WideString>& template_locations() const {
    return session_.template_locations();
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
  const WorkerThread& worker() const { return session_.worker(); }

 private:
  // The session's posts reach the dialog here: the end of the job wakes the
  // main loop at once, so that it is not left to the next poll.
  class Observer : public SessionObserver {
   public:
    explicit Observer(CInstallerDlg& dialog) : dialog_(dialog) {}
    void OnPost(const ChannelState& state) override;
    void OnFellBackToDefault(const std::string& directory) override;
    void OnStateDirectoryPassedOver(const Status& why) override;

   private:
    CInstallerDlg& dialog_;
  };

  void OnNext();
  void OnBack();
  void OnCancel();
  // Asks the worker to roll back after the current file and to stop.
  void CancelJob();
  // Writes the new location into the launcher configuration; a file that
  // cannot be written is reported as a warning (the installation stays a
  // success).
  void RecordTemplateLocation();
  // Shows a message box; in a silent run the text also goes to standard
  // error as one line, for the scripts that run it.
  int Tell(const WideString& text, MessageBoxStyle style);
  // Shows the message for a failure of the session.
  void TellFailure(const Status& failure);
  // A silent run's note on standard error (nothing in the wizard).
  void Note(const WideString& text);
  // True when the installation can write into `dir`; otherwise says so and
  // returns false.
  bool CheckTarget(const WideString& dir);
  // Follows the running job until it ends; a stop signal cancels it and
  // closes the window afterwards. Returns its last state.
  ChannelState FollowJob(StopSignals& signals);
  // After the job's end was seen: turns the main loop (the final page
  // stays alive) until the worker's thread has done all its work.
  void AwaitWorker();
  // What the progress page shows for `state`.
  void ShowJobState(const ChannelState& state, bool* told_waiting,
                    gint64* last_redraw);
  // A silent run's last line on standard output.
  void PrintSummary(const JobResult& result) const;
  // The window's properties: centred, fixed size, icon, signals.
  void SetupWindow();
  GtkWidget* MakeButton(const char* label_key);
  void DestroyWindow();

  InstallSession& session_;
  Observer observer_{*this};
  const bool silent_;
  WideString target_dir_;
  WideString language_code_;
  int step_ = kStepNone;
  // Pages are made on first use and live until the dialog goes.
  std::unique_ptr<MessagePage> welcome_page_;
  std::unique_ptr<DirSelectPage> dir_page_;
  WizardDialogPage* current_page_ = nullptr;
  std::unique_ptr<ProgressPage> progress_page_;
  std::unique_ptr<SuccessFinalPage> success_page_;
  std::unique_ptr<MessagePage> error_page_;
  std::unique_ptr<MessagePage> cancel_page_;
  const bool use_current_dir_;
  std::string kit_;
  std::string start_target_;
  GdkPixbuf* side_picture_ = nullptr;
  GtkWidget* back_button_ = nullptr;
  GtkWidget* next_button_ = nullptr;
  GtkWidget* cancel_button_ = nullptr;
  GtkWidget* separator_ = nullptr;
  // The pages' roots, sized alike (the window's, not the pages' own).
  GtkSizeGroup* page_sizes_ = nullptr;
  // The window's size with the usual font and texts: the page area, the
  // separator and the row of buttons.
  int width_ = 500;
  static constexpr int kPageAreaHeight = 310;
  static constexpr int kMargin = 10;
  static constexpr int kButtonWidth = 80;
  static constexpr int kButtonHeight = 30;
  static constexpr int kCancelGap = 20;
  WideString title_;
  // The window's size when it was last placed (0 before it was shown).
  int placed_width_ = 0;
  int placed_height_ = 0;
  GtkWidget* window_ = nullptr;
  GtkWidget* page_area_ = nullptr;
  GdkPixbuf* icon_ = nullptr;
  // The toolkit's texts in the wizard's language while the dialog lives.
  std::unique_ptr<ToolkitLanguage> toolkit_language_;
  RunOutcome outcome_ = RunOutcome::kUnfinished;
  // While the worker copies: the user asked to cancel the job (the wizard
  // then shows the cancelled step), or to close the wizard (it closes once
  // the job has ended).
  bool copying_ = false;
  bool cancel_requested_ = false;
  bool close_requested_ = false;
};

#endif  // UI_INSTALLER_DLG_H_
