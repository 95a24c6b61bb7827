#include "ui/wizard_pages.h"

#include "l10n/string_table.h"
#include "platform/file_operations.h"
#include "text/text_conversion.h"
#include "ui/access_keys.h"
#include "ui/flow_logic.h"
#include "ui/utf8_text.h"

namespace {

std::string Text(const char* key) { return ToUtf8(StringTable::Lookup(key)); }

// Margins around a page's text column: the top one, the gap after the side
// picture, and the right one (as the top).
constexpr int kMargin = 10;
constexpr int kPictureGap = 12;

// The side picture's column and, beside it, a column for the page's own
// widgets with its margins; returns the column.
GtkWidget* PictureAndColumn(GdkPixbuf* side_picture, GtkWidget* root,
                            GtkWidget** picture) {
  *picture = gtk_image_new_from_pixbuf(side_picture);
  gtk_misc_set_alignment(GTK_MISC(*picture), 0.0f, 0.0f);
  gtk_box_pack_start(GTK_BOX(root), *picture, FALSE, FALSE, 0);
  GtkWidget* margins = gtk_alignment_new(0.0f, 0.0f, 1.0f, 1.0f);
  gtk_alignment_set_padding(GTK_ALIGNMENT(margins), kMargin, kMargin / 2,
                            kPictureGap, kMargin);
  gtk_box_pack_start(GTK_BOX(root), margins, TRUE, TRUE, 0);
  GtkWidget* column = gtk_vbox_new(FALSE, 6);
  gtk_container_add(GTK_CONTAINER(margins), column);
  return column;
}

// A text of the column beside the picture.
GtkWidget* MakeColumnText() {
  GtkWidget* label = MakeTextLabel(kPageTextWidth);
  WrapFollowingFont(label, kPageTextWidth);
  return label;
}

}  // namespace

void WizardDialogPage::AddRoot(GtkWidget* root) {
  gtk_widget_show_all(root);
  gtk_widget_hide(root);
  if (GTK_IS_BOX(container_)) {
    gtk_box_pack_start(GTK_BOX(container_), root, TRUE, TRUE, 0);
  } else {
    gtk_container_add(GTK_CONTAINER(container_), root);
  }
  widgets_.push_back(root);
}

namespace {

struct MinimumSize {
  int width;
  int height;
  int side_margin;
};

void GrowToMinimum(GtkWidget*, GtkRequisition* requisition, gpointer size) {
  const auto* minimum = static_cast<const MinimumSize*>(size);
  requisition->width += 2 * minimum->side_margin;
  if (requisition->width < minimum->width) requisition->width = minimum->width;
  if (requisition->height < minimum->height) {
    requisition->height = minimum->height;
  }
}

void FreeMinimum(gpointer size, GClosure*) {
  delete static_cast<MinimumSize*>(size);
}

}  // namespace

void KeepAtLeast(GtkWidget* widget, int width, int height, int side_margin) {
  g_signal_connect_data(widget, "size-request", G_CALLBACK(GrowToMinimum),
                        new MinimumSize{width, height, side_margin},
                        FreeMinimum, G_CONNECT_AFTER);
}

namespace {

// The size of `widget`'s font in pixels, at the resolution its text is
// drawn with.
double FontPixels(GtkWidget* widget) {
  const PangoFontDescription* font = gtk_widget_get_style(widget)->font_desc;
  if (font == nullptr) return 0;
  const double size =
      static_cast<double>(pango_font_description_get_size(font)) / PANGO_SCALE;
  if (pango_font_description_get_size_is_absolute(font)) return size;
  double dpi = gdk_screen_get_resolution(gtk_widget_get_screen(widget));
  if (dpi <= 0) dpi = 96;  // what the toolkit assumes when none is set
  return size * dpi / 72;
}

void WrapForFont(GtkWidget* label, GtkStyle*, gpointer width) {
  const int wanted = WidthForFont(GPOINTER_TO_INT(width), FontPixels(label));
  int current = 0;
  gtk_widget_get_size_request(label, &current, nullptr);
  if (current != wanted) gtk_widget_set_size_request(label, wanted, -1);
}

}  // namespace

void WrapFollowingFont(GtkWidget* label, int width) {
  // The font is known once the label is in a window, and changes with the
  // desktop's setting: each new style says which it is.
  g_signal_connect(label, "style-set", G_CALLBACK(WrapForFont),
                   GINT_TO_POINTER(width));
  WrapForFont(label, nullptr, GINT_TO_POINTER(width));
}

GtkWidget* MakeTextLabel(int width) {
  GtkWidget* label = gtk_label_new(nullptr);
  // The wrap width; the height follows the text.
  gtk_widget_set_size_request(label, width, -1);
  gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
  gtk_label_set_line_wrap_mode(GTK_LABEL(label), PANGO_WRAP_WORD_CHAR);
  gtk_misc_set_alignment(GTK_MISC(label), 0.0f, 0.0f);
  return label;
}

MessagePage::MessagePage(GtkWidget* container, GdkPixbuf* side_picture,
                         const WideString& text)
    : WizardDialogPage(container) {
  GtkWidget* root = gtk_hbox_new(FALSE, 0);
  column_ = PictureAndColumn(side_picture, root, &picture_);
  text_label_ = MakeColumnText();
  gtk_box_pack_start(GTK_BOX(column_), text_label_, FALSE, FALSE, 0);
  SetText(text);
  AddRoot(root);
}

void MessagePage::SetText(const WideString& text) {
  gtk_label_set_text(GTK_LABEL(text_label_), ToUtf8(text).c_str());
}

SuccessFinalPage::SuccessFinalPage(GtkWidget* container,
                                   GdkPixbuf* side_picture,
                                   const WideString& text)
    : MessagePage(container, side_picture, text) {
  open_description_box_ = gtk_check_button_new_with_mnemonic(
      AccessKeyText(kWizardControls, "IDS_SUCCESS_OPENDESCR").c_str());
  // A long translation wraps like the text above it.
  GtkWidget* label = gtk_bin_get_child(GTK_BIN(open_description_box_));
  gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
  gtk_label_set_line_wrap_mode(GTK_LABEL(label), PANGO_WRAP_WORD_CHAR);
  WrapFollowingFont(label, kPageTextWidth - 30);
  gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(open_description_box_), TRUE);
  gtk_box_pack_start(GTK_BOX(column()), open_description_box_, FALSE, FALSE,
                     kMargin);
  gtk_widget_show_all(open_description_box_);
}

bool SuccessFinalPage::IsOpenDescriptionChecked() const {
  return gtk_toggle_button_get_active(
             GTK_TOGGLE_BUTTON(open_description_box_)) != FALSE;
}

DirSelectPage::DirSelectPage(GtkWidget* container, GdkPixbuf* side_picture,
                             SystemApi& sys)
    : WizardDialogPage(container), sys_(sys) {
  GtkWidget* root = gtk_hbox_new(FALSE, 0);
  GtkWidget* column = PictureAndColumn(side_picture, root, &picture_);

  text_label_ = MakeColumnText();
  gtk_label_set_text(GTK_LABEL(text_label_),
                     Text("IDS_DESTINATION_PROMPT").c_str());
  gtk_box_pack_start(GTK_BOX(column), text_label_, TRUE, TRUE, 0);

  catalog_label_ = MakeColumnText();
  gtk_label_set_text_with_mnemonic(
      GTK_LABEL(catalog_label_),
      AccessKeyText(kWizardControls, "IDS_TEMPLATE_CATALOG").c_str());
  gtk_box_pack_start(GTK_BOX(column), catalog_label_, FALSE, FALSE, 0);

  GtkWidget* row = gtk_hbox_new(FALSE, kMargin);
  path_entry_ = gtk_entry_new();
  // The label's access key leads into the field.
  gtk_label_set_mnemonic_widget(GTK_LABEL(catalog_label_), path_entry_);
  KeepAtLeast(path_entry_, -1, 30);
  // Enter in the field means Next, the window's default.
  gtk_entry_set_activates_default(GTK_ENTRY(path_entry_), TRUE);
  gtk_box_pack_start(GTK_BOX(row), path_entry_, TRUE, TRUE, 0);
  browse_button_ = gtk_button_new_with_label("...");
  KeepAtLeast(browse_button_, 30, 30, kButtonTextMargin);
  gtk_box_pack_start(GTK_BOX(row), browse_button_, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(column), row, FALSE, FALSE, 0);
  g_signal_connect(browse_button_, "clicked", G_CALLBACK(OnBrowseClicked),
                   this);
  AddRoot(root);
}

void DirSelectPage::OnActivate() {
  gtk_widget_grab_focus(path_entry_);
  // The whole path selected, as a field one comes to with the keyboard.
  gtk_editable_select_region(GTK_EDITABLE(path_entry_), 0, -1);
}

void DirSelectPage::SetPath(const WideString& path) {
  gtk_entry_set_text(GTK_ENTRY(path_entry_), ToUtf8(path).c_str());
}

WideString DirSelectPage::GetPath() const {
  return FromUtf8(gtk_entry_get_text(GTK_ENTRY(path_entry_)));
}

void DirSelectPage::Browse() {
  GtkWidget* top = gtk_widget_get_toplevel(browse_button_);
  GtkWindow* parent = gtk_widget_is_toplevel(top) && GTK_IS_WINDOW(top)
                          ? GTK_WINDOW(top)
                          : nullptr;
  GtkWidget* chooser = gtk_file_chooser_dialog_new(
      Text("IDS_CHOOSEDIR_TITLE").c_str(), parent,
      GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER, Text("IDS_BROWSE_CANCEL").c_str(),
      GTK_RESPONSE_CANCEL, Text("IDS_BROWSE_OK").c_str(), GTK_RESPONSE_ACCEPT,
      nullptr);
  gtk_dialog_set_default_response(GTK_DIALOG(chooser), GTK_RESPONSE_ACCEPT);
  gtk_window_set_modal(GTK_WINDOW(chooser), TRUE);
  gtk_window_set_destroy_with_parent(GTK_WINDOW(chooser), TRUE);
  gtk_window_set_position(GTK_WINDOW(chooser), GTK_WIN_POS_CENTER_ON_PARENT);
  gtk_window_set_skip_taskbar_hint(GTK_WINDOW(chooser), TRUE);
  // Where the field points, or the nearest folder above it that exists.
  const std::string typed = ToNarrow(GetPath()).c_str();
  const std::string start = NearestExistingDirectory(sys_, typed);
  if (!start.empty()) {
    gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(chooser),
                                        start.c_str());
  }
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
  GtkWidget* margins = gtk_alignment_new(0.0f, 0.5f, 1.0f, 0.0f);
  gtk_alignment_set_padding(GTK_ALIGNMENT(margins), 0, 0, kMargin, kMargin);
  GtkWidget* column = gtk_vbox_new(FALSE, 4);
  gtk_container_add(GTK_CONTAINER(margins), column);

  // The status wraps: a note that the installation waits may be long.
  status_label_ = MakeTextLabel(bar_width);
  gtk_box_pack_start(GTK_BOX(column), status_label_, FALSE, FALSE, 0);
  progress_bar_ = gtk_progress_bar_new();
  gtk_widget_set_size_request(progress_bar_, bar_width, 20);
  gtk_box_pack_start(GTK_BOX(column), progress_bar_, FALSE, FALSE, 0);

  start_text_ = Text("IDS_PROGRESS_START");
  finish_text_ = Text("IDS_INSTALL_FINISH");
  SetProgress(0);
  AddRoot(margins);
}

void ProgressPage::ShowStatus(const WideString& text) {
  gtk_label_set_text(GTK_LABEL(status_label_), ToUtf8(text).c_str());
  shown_percent_ = -1;
}

void ProgressPage::SetProgress(int percent) {
  if (percent == shown_percent_) return;
  const ProgressView view = ViewFor(percent);
  const ProgressView shown = ViewFor(shown_percent_);
  if (shown_percent_ == -1 || view.finished != shown.finished) {
    gtk_label_set_text(GTK_LABEL(status_label_),
                       (view.finished ? finish_text_ : start_text_).c_str());
  }
  gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(progress_bar_), view.fraction);
  shown_percent_ = percent;
}
