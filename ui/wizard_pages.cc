#include "ui/wizard_pages.h"

#include "l10n/string_table.h"
#include "text/text_conversion.h"
#include "ui/flow_logic.h"
#include "ui/utf8_text.h"

namespace {

std::string Text(const char* key) { return ToUtf8(StringTable::Lookup(key)); }

// The side picture at (0, 0): a GtkFixed puts a plain added child there.
GtkWidget* AddPicture(GtkWidget* container, GdkPixbuf* side_picture) {
  GtkWidget* picture = gtk_image_new_from_pixbuf(side_picture);
  gtk_container_add(GTK_CONTAINER(container), picture);
  return picture;
}

}  // namespace

GtkWidget* MakeTextLabel(GtkWidget* container) {
  GtkWidget* label = gtk_label_new(nullptr);
  gtk_widget_set_size_request(label, 330, 250);
  gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
  gtk_misc_set_alignment(GTK_MISC(label), 0.0f, 0.0f);
  gtk_fixed_put(GTK_FIXED(container), label, 170, 10);
  return label;
}

MessagePage::MessagePage(GtkWidget* container, GdkPixbuf* side_picture,
                         const WideString& text)
    : WizardDialogPage(container) {
  picture_ = AddPicture(container, side_picture);
  widgets_.push_back(picture_);
  text_label_ = MakeTextLabel(container);
  widgets_.push_back(text_label_);
  SetText(text);
}

void MessagePage::SetText(const WideString& text) {
  gtk_label_set_text(GTK_LABEL(text_label_), ToUtf8(text).c_str());
}

SuccessFinalPage::SuccessFinalPage(GtkWidget* container,
                                   GdkPixbuf* side_picture,
                                   const WideString& text)
    : MessagePage(container, side_picture, text) {
  open_description_box_ =
      gtk_check_button_new_with_label(Text("IDS_SUCCESS_OPENDESCR").c_str());
  widgets_.push_back(open_description_box_);
  gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(open_description_box_), TRUE);
  gtk_fixed_put(GTK_FIXED(container), open_description_box_, 170, 170);
}

bool SuccessFinalPage::IsOpenDescriptionChecked() const {
  return gtk_toggle_button_get_active(
             GTK_TOGGLE_BUTTON(open_description_box_)) != FALSE;
}

DirSelectPage::DirSelectPage(GtkWidget* container, GdkPixbuf* side_picture)
    : WizardDialogPage(container) {
  picture_ = AddPicture(container, side_picture);
  widgets_.push_back(picture_);

  text_label_ = MakeTextLabel(container);
  widgets_.push_back(text_label_);
  gtk_label_set_text(GTK_LABEL(text_label_),
                     Text("IDS_DESTINATION_PROMPT").c_str());

  catalog_label_ = gtk_label_new(Text("IDS_TEMPLATE_CATALOG").c_str());
  widgets_.push_back(catalog_label_);
  gtk_fixed_put(GTK_FIXED(container), catalog_label_, 170, 255);

  path_entry_ = gtk_entry_new();
  widgets_.push_back(path_entry_);
  gtk_widget_set_size_request(path_entry_, 280, 30);
  gtk_fixed_put(GTK_FIXED(container), path_entry_, 170, 275);

  browse_button_ = gtk_button_new_with_label("...");
  widgets_.push_back(browse_button_);
  gtk_widget_set_size_request(browse_button_, 30, 30);
  gtk_fixed_put(GTK_FIXED(container), browse_button_, 460, 275);
  g_signal_connect(browse_button_, "clicked", G_CALLBACK(OnBrowseClicked),
                   this);
}

void DirSelectPage::SetPath(const WideString& path) {
  gtk_entry_set_text(GTK_ENTRY(path_entry_), ToUtf8(path).c_str());
}

WideString DirSelectPage::GetPath() const {
  return FromUtf8(gtk_entry_get_text(GTK_ENTRY(path_entry_)));
}

void DirSelectPage::Browse() {
  GtkWidget* chooser = gtk_file_chooser_dialog_new(
      nullptr, nullptr, GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER, GTK_STOCK_CANCEL,
      GTK_RESPONSE_CANCEL, GTK_STOCK_OPEN, GTK_RESPONSE_ACCEPT, nullptr);
  gtk_window_set_modal(GTK_WINDOW(chooser), TRUE);
  if (gtk_dialog_run(GTK_DIALOG(chooser)) == GTK_RESPONSE_ACCEPT) {
    // The chooser gives the name in the file system's encoding, not UTF-8.
    gchar* name = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(chooser));
    if (name != nullptr) {
      SetPath(ToWide(NarrowString(name)));
      g_free(name);
    }
  }
  gtk_widget_destroy(chooser);
}

void DirSelectPage::OnBrowseClicked(GtkWidget*, gpointer page) {
  if (page != nullptr) static_cast<DirSelectPage*>(page)->Browse();
}

ProgressPage::ProgressPage(GtkWidget* container, int bar_width)
    : WizardDialogPage(container) {
  status_label_ = gtk_label_new(nullptr);
  widgets_.push_back(status_label_);
  gtk_fixed_put(GTK_FIXED(container), status_label_, 10, 130);

  progress_bar_ = gtk_progress_bar_new();
  widgets_.push_back(progress_bar_);
  gtk_widget_set_size_request(progress_bar_, bar_width, 20);
  gtk_fixed_put(GTK_FIXED(container), progress_bar_, 10, 150);

  start_text_ = Text("IDS_PROGRESS_START");
  finish_text_ = Text("IDS_INSTALL_FINISH");
  SetProgress(0);
}

void ProgressPage::ShowStatus(const WideString& text) {
  gtk_label_set_text(GTK_LABEL(status_label_), ToUtf8(text).c_str());
}

void ProgressPage::SetProgress(int percent) {
  const ProgressView view = ViewFor(percent);
  gtk_label_set_text(GTK_LABEL(status_label_),
                     (view.finished ? finish_text_ : start_text_).c_str());
  gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(progress_bar_), view.fraction);
}
