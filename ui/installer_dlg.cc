// The window frame: construction, the window and its buttons, page
// switching, closing. The steps of the installation are in
// installer_flow.cc.
#include "ui/installer_dlg.h"

#include <gdk/gdkkeysyms.h>

#include <algorithm>
#include <cstdio>

#include "assets/assets.h"
#include "l10n/string_table.h"
#include "text/text_conversion.h"
#include "ui/access_keys.h"
#include "ui/message_box.h"
#include "ui/utf8_text.h"

namespace {

GdkPixbuf* PixbufFromXpm(const char* const* xpm) {
  return gdk_pixbuf_new_from_xpm_data(const_cast<const char**>(xpm));
}

}  // namespace

CInstallerDlg::CInstallerDlg(InstallSession& session, bool silent,
                             const WideString& title,
                             const WideString& language_code,
                             bool use_current_dir)
    : session_(session),
      silent_(silent),
      language_code_(language_code),
      use_current_dir_(use_current_dir),
      title_(title) {
  session_.SetObserver(&observer_);
  // After the toolkit's own setlocale, before any of its texts is shown.
  toolkit_language_ =
      std::make_unique<ToolkitLanguage>(ToNarrow(language_code_).c_str());
}

CInstallerDlg::~CInstallerDlg() {
  // Only an exception can leave a job running here; it is rolled back
  // before anything it uses goes away.
  if (copying_) CancelJob();
  session_.Finish();
  session_.SetObserver(nullptr);
  DestroyWindow();
  // The widgets went with the window; the pages only pointed at them.
  current_page_ = nullptr;
  welcome_page_.reset();
  dir_page_.reset();
  progress_page_.reset();
  success_page_.reset();
  error_page_.reset();
  cancel_page_.reset();
  if (side_picture_ != nullptr) g_object_unref(side_picture_);
  if (page_sizes_ != nullptr) g_object_unref(page_sizes_);
  if (icon_ != nullptr) g_object_unref(icon_);
}

void CInstallerDlg::Run() {
  if (!PrepareInstall()) {
    outcome_ = RunOutcome::kFailed;
    return;
  }
  BuildWindow();
  ShowWelcomeStep();
  if (silent_) {
    RunInstallStep();
    DestroyWindow();
    return;
  }
  gtk_main();
}

void CInstallerDlg::BuildWindow() {
  if (window_ != nullptr) return;
  window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  SetupWindow();
  gtk_window_set_title(GTK_WINDOW(window_), ToUtf8(title_).c_str());

  // From the top: the pages' area, the separator, the row of buttons. The
  // area is at least the picture's height and the texts beside it; a larger
  // font or a longer text makes it grow, and the window with it.
  GtkWidget* root = gtk_vbox_new(FALSE, 0);
  gtk_container_add(GTK_CONTAINER(window_), root);
  page_area_ = gtk_vbox_new(FALSE, 0);
  KeepAtLeast(page_area_, width_, kPageAreaHeight);
  // Every page asks for the room of the largest one made so far, shown or
  // not: the window does not shrink and grow again from page to page.
  page_sizes_ = gtk_size_group_new(GTK_SIZE_GROUP_BOTH);
  gtk_box_pack_start(GTK_BOX(root), page_area_, TRUE, TRUE, 0);

  GtkWidget* separator_margins = gtk_alignment_new(0.0f, 0.0f, 1.0f, 1.0f);
  gtk_alignment_set_padding(GTK_ALIGNMENT(separator_margins), 0, 0, kMargin,
                            kMargin);
  separator_ = gtk_hseparator_new();
  gtk_widget_set_size_request(separator_, -1, 5);
  gtk_container_add(GTK_CONTAINER(separator_margins), separator_);
  gtk_box_pack_start(GTK_BOX(root), separator_margins, FALSE, FALSE, 0);

  // Right-aligned: Back and Next side by side, a gap, Cancel.
  GtkWidget* row_margins = gtk_alignment_new(0.0f, 0.0f, 1.0f, 1.0f);
  gtk_alignment_set_padding(GTK_ALIGNMENT(row_margins), 5, kMargin, kMargin,
                            kMargin);
  GtkWidget* row = gtk_hbox_new(FALSE, 0);
  gtk_container_add(GTK_CONTAINER(row_margins), row);
  gtk_box_pack_start(GTK_BOX(root), row_margins, FALSE, FALSE, 0);
  back_button_ = MakeButton("IDS_WIZARD_BACK");
  next_button_ = MakeButton("IDS_WIZARD_NEXT");
  cancel_button_ = MakeButton("IDS_WIZARD_CANCEL");
  GtkWidget* gap = gtk_label_new(nullptr);
  gtk_widget_set_size_request(gap, kCancelGap, -1);
  gtk_box_pack_end(GTK_BOX(row), cancel_button_, FALSE, FALSE, 0);
  gtk_box_pack_end(GTK_BOX(row), gap, FALSE, FALSE, 0);
  gtk_box_pack_end(GTK_BOX(row), next_button_, FALSE, FALSE, 0);
  gtk_box_pack_end(GTK_BOX(row), back_button_, FALSE, FALSE, 0);
  gtk_widget_set_can_default(next_button_, TRUE);
  gtk_window_set_default(GTK_WINDOW(window_), next_button_);
  g_signal_connect(back_button_, "clicked", G_CALLBACK(OnBackClicked), this);
  g_signal_connect(next_button_, "clicked", G_CALLBACK(OnNextClicked), this);
  g_signal_connect(cancel_button_, "clicked", G_CALLBACK(OnCancelClicked),
                   this);

  gtk_widget_show_all(root);
  side_picture_ = PixbufFromXpm(SidePictureXpm());
  gtk_widget_show(window_);
}

void CInstallerDlg::SetupWindow() {
  GtkWindow* window = GTK_WINDOW(window_);
  // An ordinary top-level window (a taskbar entry, minimisable), centred,
  // whose one size is what its contents ask for: the user cannot resize it.
  gtk_window_set_position(window, GTK_WIN_POS_CENTER);
  gtk_window_set_resizable(window, FALSE);
  icon_ = PixbufFromXpm(IconXpm());
  gtk_window_set_icon(window, icon_);
  g_signal_connect(window_, "destroy", G_CALLBACK(OnDestroy), this);
  g_signal_connect(window_, "key_press_event", G_CALLBACK(OnKeyPress), this);
  g_signal_connect(window_, "delete-event", G_CALLBACK(OnDeleteEvent), this);
  g_signal_connect(window_, "size-allocate", G_CALLBACK(OnSizeAllocate), this);
}

GtkWidget* CInstallerDlg::MakeButton(const char* label_key) {
  GtkWidget* button = gtk_button_new_with_mnemonic(
      AccessKeyText(kWizardControls, label_key).c_str());
  // At least the usual 80 x 30, wider when the label and a margin inside
  // the focus ring need it: asked at every layout, so that the label's font
  // and text, whatever they become, decide.
  KeepAtLeast(button, kButtonWidth, kButtonHeight, kButtonTextMargin);
  return button;
}

GtkWindow* CInstallerDlg::GetGtkWindow() const {
  return window_ != nullptr ? GTK_WINDOW(window_) : nullptr;
}

void CInstallerDlg::ShowPage(WizardDialogPage* page) {
  if (window_ == nullptr) return;
  if (current_page_ != nullptr) {
    for (GtkWidget* widget : current_page_->widgets()) gtk_widget_hide(widget);
  }
  current_page_ = page;
  if (page == nullptr) return;
  for (GtkWidget* widget : page->widgets()) {
    gtk_size_group_add_widget(page_sizes_, widget);  // once: a group is a set
    gtk_widget_show(widget);
  }
  page->OnActivate();
}

void CInstallerDlg::ShowDirectoryStep() {
  step_ = kStepDirectory;
  if (window_ == nullptr) return;
  if (!dir_page_) {
    dir_page_ = std::make_unique<DirSelectPage>(page_area_, side_picture_,
                                                session_.sys());
    // Only the first visit proposes a directory: what the user typed or
    // chose stays across Back and Next, and is what Next installs into.
    dir_page_->SetPath(target_dir_);
  }
  gtk_widget_set_sensitive(back_button_, TRUE);
  gtk_widget_set_sensitive(next_button_, TRUE);
  ShowPage(dir_page_.get());
}

void CInstallerDlg::SetFinishButtons() {
  if (window_ == nullptr) return;
  gtk_widget_set_sensitive(next_button_, TRUE);
  gtk_widget_set_sensitive(cancel_button_, FALSE);
  gtk_widget_hide(back_button_);
  gtk_widget_show(next_button_);
  // The button reads its label as a mnemonic since it was made.
  gtk_button_set_label(
      GTK_BUTTON(next_button_),
      AccessKeyText(kWizardControls, "IDS_WIZARD_FINISH").c_str());
  gtk_widget_set_can_default(next_button_, TRUE);
  gtk_window_set_default(GTK_WINDOW(window_), next_button_);
  gtk_widget_grab_focus(next_button_);
}

void CInstallerDlg::CloseWithConfirmation() {
  if (window_ == nullptr || close_requested_ ||
      (copying_ && cancel_requested_)) {
    return;
  }
  if (CloseActionFor(IsFinalStep(step_)) == CloseAction::kFinish) {
    // The outcome is known and shown: nothing to ask.
    DestroyWindow();
    return;
  }
  if (!copying_) {
    if (MessageBox(this, StringTable::Lookup("IDS_ACCEPT_CANCEL"),
                   kMessageBoxQuestion) == kMessageBoxYes) {
      DestroyWindow();
    }
    return;
  }
  // The job waits between two entries while the user decides, so that the
  // answer decides and not a race with the last entry. A job that has begun
  // to commit cannot be held: its success page comes at once.
  if (!session_.TryPause()) return;
  const bool cancel = MessageBox(this, StringTable::Lookup("IDS_ACCEPT_CANCEL"),
                                 kMessageBoxQuestion) == kMessageBoxYes;
  if (cancel && !close_requested_) {
    cancel_requested_ = true;
    CancelJob();
  } else {
    session_.Resume();
  }
}

void CInstallerDlg::DestroyWindow() {
  if (window_ != nullptr) gtk_widget_destroy(window_);
}

void CInstallerDlg::CancelJob() {
  session_.RequestCancel();
  if (cancel_button_ != nullptr)
    gtk_widget_set_sensitive(cancel_button_, FALSE);
}

void CInstallerDlg::OnCancel() { CloseWithConfirmation(); }

void CInstallerDlg::OnBackClicked(GtkWidget*, gpointer dialog) {
  if (dialog != nullptr) static_cast<CInstallerDlg*>(dialog)->OnBack();
}

void CInstallerDlg::OnNextClicked(GtkWidget*, gpointer dialog) {
  if (dialog != nullptr) static_cast<CInstallerDlg*>(dialog)->OnNext();
}

void CInstallerDlg::OnCancelClicked(GtkWidget*, gpointer dialog) {
  if (dialog != nullptr) static_cast<CInstallerDlg*>(dialog)->OnCancel();
}

gboolean CInstallerDlg::OnKeyPress(GtkWidget*, GdkEventKey* event,
                                   gpointer dialog) {
  if (dialog == nullptr || event == nullptr) return FALSE;
  if (event->keyval != GDK_Escape) return FALSE;
  static_cast<CInstallerDlg*>(dialog)->CloseWithConfirmation();
  return TRUE;
}

gboolean CInstallerDlg::OnDeleteEvent(GtkWidget*, GdkEvent*, gpointer dialog) {
  // The close button means what Cancel and Escape mean; the window goes
  // only when that says so.
  auto* self = static_cast<CInstallerDlg*>(dialog);
  if (self != nullptr) self->CloseWithConfirmation();
  return TRUE;
}

void CInstallerDlg::OnSizeAllocate(GtkWidget* window, GtkAllocation* allocation,
                                   gpointer dialog) {
  auto* self = static_cast<CInstallerDlg*>(dialog);
  const int grew_x = allocation->width - self->placed_width_;
  const int grew_y = allocation->height - self->placed_height_;
  const bool placed = self->placed_width_ != 0;
  self->placed_width_ = allocation->width;
  self->placed_height_ = allocation->height;
  if (!placed || !gtk_widget_get_mapped(window) ||
      (grew_x <= 0 && grew_y <= 0)) {
    return;
  }
  int x = 0;
  int y = 0;
  gtk_window_get_position(GTK_WINDOW(window), &x, &y);
  GdkScreen* screen = gtk_window_get_screen(GTK_WINDOW(window));
  const int new_x = std::clamp(x - std::max(grew_x, 0) / 2, 0,
                               std::max(0, gdk_screen_get_width(screen) -
                                               allocation->width));
  const int new_y = std::clamp(y - std::max(grew_y, 0) / 2, 0,
                               std::max(0, gdk_screen_get_height(screen) -
                                               allocation->height));
  if (new_x != x || new_y != y) {
    gtk_window_move(GTK_WINDOW(window), new_x, new_y);
  }
}

void CInstallerDlg::OnDestroy(GtkWidget*, gpointer dialog) {
  auto* self = static_cast<CInstallerDlg*>(dialog);
  // A window that goes while files are being copied (the window manager
  // destroyed it, say, instead of asking it to close) is a close before
  // the end: the job rolls back, and the run ends as cancelled.
  if (self->copying_ && !self->close_requested_) {
    self->close_requested_ = true;
    self->CancelJob();
  }
  // Every widget is gone with the window; nothing may touch them again.
  self->window_ = nullptr;
  self->page_area_ = nullptr;
  self->separator_ = nullptr;
  self->back_button_ = nullptr;
  self->next_button_ = nullptr;
  self->cancel_button_ = nullptr;
  self->current_page_ = nullptr;
  if (gtk_main_level() > 0) gtk_main_quit();
}
