// The window frame: construction, the window and its buttons, page
// switching, closing. The steps of the installation are in
// installer_flow.cc.
#include "ui/installer_dlg.h"

#include <gdk/gdkkeysyms.h>

#include <cstdio>

#include "assets/assets.h"
#include "l10n/string_table.h"
#include "platform/error_code.h"
#include "ui/message_box.h"
#include "ui/utf8_text.h"

namespace {

std::string Text(const char* key) { return ToUtf8(StringTable::Lookup(key)); }

GdkPixbuf* PixbufFromXpm(const char* const* xpm) {
  return gdk_pixbuf_new_from_xpm_data(const_cast<const char**>(xpm));
}

}  // namespace

CInstallerDlg::CInstallerDlg(int argc, char** argv, bool silent,
                             const WideString& title,
                             const WideString& language_code,
                             bool use_current_dir)
    : silent_(silent),
      language_code_(language_code),
      use_current_dir_(use_current_dir),
      argc_(argc),
      argv_(argv),
      title_(title) {
  channel_.Init();
  worker_.ClearStop();
  // gtk_init would abort without a display; a silent run can do without one.
  headless_ = !gtk_init_check(&argc_, &argv_);
  channel_.Post(kSuccess, StringTable::Lookup("IDS_PREPARECOPY"), 0);
}

CInstallerDlg::~CInstallerDlg() {
  // Only an exception can leave a job running here; it is rolled back
  // before the reader and the channel it uses go away.
  if (copying_) CancelJob();
  worker_.RequestStop();
  worker_.Join();
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
  if (icon_ != nullptr) g_object_unref(icon_);
  reader_.Close();
}

void CInstallerDlg::Run() {
  if (headless_ && !silent_) {
    std::fputs(
        "setup: cannot open a display; run with -S for a silent "
        "installation\n",
        stderr);
    outcome_ = Outcome::kNoDisplay;
    return;
  }
  if (!PrepareInstall()) {
    outcome_ = Outcome::kFailed;
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
  if (headless_ || window_ != nullptr) return;
  window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  SetupWindow();
  gtk_window_set_title(GTK_WINDOW(window_), ToUtf8(title_).c_str());

  separator_ = gtk_hseparator_new();
  gtk_widget_set_size_request(separator_, width_ - 20, 5);
  gtk_fixed_put(GTK_FIXED(fixed_), separator_, 10, 310);

  back_button_ = MakeButton("IDS_WIZARD_BACK", 230);
  next_button_ = MakeButton("IDS_WIZARD_NEXT", 310);
  gtk_widget_set_can_default(next_button_, TRUE);
  gtk_window_set_default(GTK_WINDOW(window_), next_button_);
  cancel_button_ = MakeButton("IDS_WIZARD_CANCEL", 410);
  g_signal_connect(back_button_, "clicked", G_CALLBACK(OnBackClicked), this);
  g_signal_connect(next_button_, "clicked", G_CALLBACK(OnNextClicked), this);
  g_signal_connect(cancel_button_, "clicked", G_CALLBACK(OnCancelClicked),
                   this);

  gtk_widget_show_all(fixed_);
  side_picture_ = PixbufFromXpm(SidePictureXpm());
  gtk_widget_show(window_);
}

void CInstallerDlg::SetupWindow() {
  GtkWindow* window = GTK_WINDOW(window_);
  gtk_window_set_position(window, GTK_WIN_POS_CENTER);
  // Minimum, maximum and base size alike: the window has one size.
  GdkGeometry geometry = {};
  geometry.min_width = geometry.max_width = geometry.base_width = width_;
  geometry.min_height = geometry.max_height = geometry.base_height = height_;
  geometry.win_gravity = GDK_GRAVITY_NORTH_WEST;
  gtk_window_set_geometry_hints(
      window, window_, &geometry,
      static_cast<GdkWindowHints>(GDK_HINT_MIN_SIZE | GDK_HINT_MAX_SIZE |
                                  GDK_HINT_BASE_SIZE));
  gtk_window_set_modal(window, TRUE);
  gtk_window_set_type_hint(window, GDK_WINDOW_TYPE_HINT_MENU);
  icon_ = PixbufFromXpm(IconXpm());
  gtk_window_set_icon(window, icon_);
  fixed_ = gtk_fixed_new();
  gtk_container_add(GTK_CONTAINER(window_), fixed_);
  g_signal_connect(window_, "destroy", G_CALLBACK(OnDestroy), this);
  g_signal_connect(window_, "key_press_event", G_CALLBACK(OnKeyPress), this);
  g_signal_connect(window_, "delete-event", G_CALLBACK(OnDeleteEvent), this);
}

GtkWidget* CInstallerDlg::MakeButton(const char* label_key, int x) {
  GtkWidget* button = gtk_button_new_with_label(Text(label_key).c_str());
  gtk_widget_set_size_request(button, 80, 30);
  gtk_fixed_put(GTK_FIXED(fixed_), button, x, 320);
  return button;
}

void CInstallerDlg::ShowPage(WizardDialogPage* page) {
  if (window_ == nullptr) return;
  if (current_page_ != nullptr) {
    for (GtkWidget* widget : current_page_->widgets()) gtk_widget_hide(widget);
  }
  current_page_ = page;
  if (page == nullptr) return;
  for (GtkWidget* widget : page->widgets()) gtk_widget_show(widget);
  page->OnActivate();
}

void CInstallerDlg::ShowDirectoryStep() {
  page_index_ = kStepDirectory;
  if (window_ == nullptr) return;
  if (!dir_page_)
    dir_page_ = std::make_unique<DirSelectPage>(fixed_, side_picture_);
  dir_page_->SetPath(target_dir_);
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
  gtk_button_set_label(GTK_BUTTON(next_button_),
                       Text("IDS_WIZARD_FINISH").c_str());
  gtk_widget_set_can_default(next_button_, TRUE);
  gtk_window_set_default(GTK_WINDOW(window_), next_button_);
}

void CInstallerDlg::CloseWithConfirmation() {
  if (window_ == nullptr || close_requested_) return;
  if (confirm_cancel_ &&
      MessageBox(this, StringTable::Lookup("IDS_ACCEPT_CANCEL"),
                 kMessageBoxQuestion) != kMessageBoxYes) {
    return;
  }
  if (copying_) {
    // The install loop closes the window once the job has rolled back.
    close_requested_ = true;
    CancelJob();
    return;
  }
  DestroyWindow();
}

void CInstallerDlg::DestroyWindow() {
  if (window_ != nullptr) gtk_widget_destroy(window_);
}

void CInstallerDlg::CancelJob() {
  channel_.RequestCancel();
  worker_.RequestStop();
  if (cancel_button_ != nullptr)
    gtk_widget_set_sensitive(cancel_button_, FALSE);
}

void CInstallerDlg::OnCancel() {
  if (page_index_ == kStepProgress) {
    // Cancelling the copying needs no confirmation: nothing is lost, the
    // job is rolled back.
    if (copying_ && !cancel_requested_ && !close_requested_) {
      cancel_requested_ = true;
      CancelJob();
    }
    return;
  }
  CloseWithConfirmation();
}

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
  auto* self = static_cast<CInstallerDlg*>(dialog);
  if (self == nullptr || !self->copying_) return FALSE;  // plain close
  // The window stays until the job has been rolled back.
  if (!self->close_requested_) {
    self->close_requested_ = true;
    self->CancelJob();
  }
  return TRUE;
}

void CInstallerDlg::OnDestroy(GtkWidget*, gpointer dialog) {
  auto* self = static_cast<CInstallerDlg*>(dialog);
  // Every widget is gone with the window; nothing may touch them again.
  self->window_ = nullptr;
  self->fixed_ = nullptr;
  self->separator_ = nullptr;
  self->back_button_ = nullptr;
  self->next_button_ = nullptr;
  self->cancel_button_ = nullptr;
  self->current_page_ = nullptr;
  if (gtk_main_level() > 0) gtk_main_quit();
}
