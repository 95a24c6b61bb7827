#include "ui/wizard_pages.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "assets/assets.h"
#include "l10n/string_table.h"
#include "platform/scoped_temp_dir.h"
#include "platform/system_api.h"
#include "ui/ui_test_util.h"
#include "ui/utf8_text.h"

namespace {

// Pages built into a box that is never shown, in English.
class WizardPagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!OpenTestDisplay()) GTEST_SKIP() << "no display";
    saved_language_ = StringTable::CurrentLanguage();
    StringTable::SetCurrentLanguage(kLanguageEnglish);
    area_ = gtk_vbox_new(FALSE, 0);
    g_object_ref_sink(area_);
    picture_ = gdk_pixbuf_new_from_xpm_data(
        const_cast<const char**>(SidePictureXpm()));
  }

  void TearDown() override {
    if (area_ == nullptr) return;
    gtk_widget_destroy(area_);
    g_object_unref(area_);
    g_object_unref(picture_);
    StringTable::SetCurrentLanguage(saved_language_);
  }

  // A page is one hidden root in the area, holding all of its widgets.
  static void ExpectOneHiddenRoot(const WizardDialogPage& page,
                                  const std::vector<GtkWidget*>& parts) {
    ASSERT_EQ(1u, page.widgets().size());
    GtkWidget* root = page.widgets()[0];
    EXPECT_FALSE(Visible(root));
    for (GtkWidget* part : parts) {
      EXPECT_TRUE(gtk_widget_is_ancestor(part, root));
      EXPECT_TRUE(Visible(part));
    }
  }

  // A wrapped page text: wraps at the page's text width, breaks long words,
  // aligned top left.
  static void ExpectPageText(GtkWidget* label) {
    int width = 0, height = 0;
    SizeRequest(label, &width, &height);
    EXPECT_EQ(kPageTextWidth, width);
    EXPECT_TRUE(gtk_label_get_line_wrap(GTK_LABEL(label)));
    EXPECT_EQ(PANGO_WRAP_WORD_CHAR,
              gtk_label_get_line_wrap_mode(GTK_LABEL(label)));
    float xalign = 1, yalign = 1;
    gtk_misc_get_alignment(GTK_MISC(label), &xalign, &yalign);
    EXPECT_EQ(0.0f, xalign);
    EXPECT_EQ(0.0f, yalign);
  }

  GtkWidget* area_ = nullptr;
  GdkPixbuf* picture_ = nullptr;
  LanguageId saved_language_ = kLanguageNone;
};

void CountNotify(GObject*, GParamSpec*, gpointer count) {
  ++*static_cast<int*>(count);
}

TEST_F(WizardPagesTest, ProgressPageAtZeroNinetyNineAndHundred) {
  ProgressPage page(area_, 480);
  GtkProgressBar* bar = GTK_PROGRESS_BAR(page.progress_bar());
  // Fresh: the start text and an empty bar.
  EXPECT_EQ("Files being copied...", LabelText(page.status_label()));
  EXPECT_DOUBLE_EQ(0.0, gtk_progress_bar_get_fraction(bar));

  page.SetProgress(99);
  EXPECT_EQ("Files being copied...", LabelText(page.status_label()));
  EXPECT_DOUBLE_EQ(0.99, gtk_progress_bar_get_fraction(bar));

  page.SetProgress(100);
  EXPECT_EQ("Copying complete...", LabelText(page.status_label()));
  EXPECT_DOUBLE_EQ(1.0, gtk_progress_bar_get_fraction(bar));

  page.SetProgress(0);
  EXPECT_EQ("Files being copied...", LabelText(page.status_label()));

  page.ShowStatus(FromUtf8("Waiting for another installation..."));
  EXPECT_EQ("Waiting for another installation...",
            LabelText(page.status_label()));
  page.SetProgress(0);
  EXPECT_EQ("Files being copied...", LabelText(page.status_label()));

  int width = 0, height = 0;
  SizeRequest(page.progress_bar(), &width, &height);
  EXPECT_EQ(480, width);
  EXPECT_EQ(20, height);
  ExpectOneHiddenRoot(page, {page.status_label(), page.progress_bar()});
}

// The page is asked for the same percentage again and again while nothing
// changes: it must not touch the widgets (each touch is a redraw).
TEST_F(WizardPagesTest, ProgressPageTouchesItsWidgetsOnlyOnChange) {
  ProgressPage page(area_, 480);
  int label_notes = 0;
  int bar_notes = 0;
  g_signal_connect(page.status_label(), "notify::label",
                   G_CALLBACK(CountNotify), &label_notes);
  g_signal_connect(page.progress_bar(), "notify::fraction",
                   G_CALLBACK(CountNotify), &bar_notes);
  for (int i = 0; i < 100; ++i) page.SetProgress(0);
  EXPECT_EQ(0, label_notes);
  EXPECT_EQ(0, bar_notes);
  for (int i = 0; i < 100; ++i) page.SetProgress(i / 10);
  EXPECT_EQ(0, label_notes);  // the text only changes at 100
  EXPECT_EQ(9, bar_notes);
  page.SetProgress(100);
  page.SetProgress(100);
  EXPECT_EQ(1, label_notes);
  EXPECT_EQ(10, bar_notes);
}

TEST_F(WizardPagesTest, MessageAndSuccessPages) {
  MessagePage message(area_, picture_, FromUtf8("First"));
  EXPECT_EQ("First", LabelText(message.text_label()));
  message.SetText(FromUtf8("\xD0\x9F\xD1\x80\xD0\xB8"));  // UTF-8 whatever
  EXPECT_EQ("\xD0\x9F\xD1\x80\xD0\xB8", LabelText(message.text_label()));
  ExpectPageText(message.text_label());
  EXPECT_EQ(picture_, gtk_image_get_pixbuf(GTK_IMAGE(message.picture())));
  ExpectOneHiddenRoot(message, {message.picture(), message.text_label()});

  SuccessFinalPage success(area_, picture_,
                           StringTable::Lookup("IDS_SUCCESS_FINISH"));
  EXPECT_EQ("Configuration installed successfully.",
            LabelText(success.text_label()));
  EXPECT_TRUE(success.IsOpenDescriptionChecked());
  EXPECT_EQ("Open description of distribution package",
            ButtonLabel(success.open_description_box()));
  ExpectOneHiddenRoot(success, {success.picture(), success.text_label(),
                                success.open_description_box()});
  gtk_toggle_button_set_active(
      GTK_TOGGLE_BUTTON(success.open_description_box()), FALSE);
  EXPECT_FALSE(success.IsOpenDescriptionChecked());
}

// A product name of 120 letters without a space, or a very long one, wraps
// inside the text's width instead of running off the window.
TEST_F(WizardPagesTest, LongWordsWrapInsideTheText) {
  MessagePage message(area_, picture_, FromUtf8(std::string(120, 'W').c_str()));
  GtkWidget* label = message.text_label();
  PangoLayout* layout = gtk_label_get_layout(GTK_LABEL(label));
  pango_layout_set_width(layout, kPageTextWidth * PANGO_SCALE);
  int width = 0, height = 0;
  pango_layout_get_pixel_size(layout, &width, &height);
  EXPECT_LE(width, kPageTextWidth);
  EXPECT_GT(pango_layout_get_line_count(layout), 1);
}

TEST_F(WizardPagesTest, DirSelectPageTextsAndPath) {
  DirSelectPage page(area_, picture_, RealSystem());
  EXPECT_EQ(Text("IDS_DESTINATION_PROMPT"), LabelText(page.text_label()));
  EXPECT_EQ("Template directory:", LabelText(page.catalog_label()));
  EXPECT_EQ("...", ButtonLabel(page.browse_button()));
  ExpectPageText(page.text_label());
  ExpectOneHiddenRoot(page,
                      {page.picture(), page.text_label(), page.catalog_label(),
                       page.path_entry(), page.browse_button()});
  // Enter in the field means Next.
  EXPECT_TRUE(gtk_entry_get_activates_default(GTK_ENTRY(page.path_entry())));

  EXPECT_EQ(u"", std::u16string(page.GetPath().c_str()));
  // A name that is not valid text survives as far as GTK allows: the
  // entry holds UTF-8, the rest comes back as it went in.
  const std::string home_ru = "/home/\xD0\xB0\xD0\xBD\xD1\x8F/t";
  page.SetPath(FromUtf8(home_ru.c_str()));
  EXPECT_STREQ(home_ru.c_str(),
               gtk_entry_get_text(GTK_ENTRY(page.path_entry())));
  EXPECT_EQ(home_ru, Narrow(page.GetPath()));
}

// The folder chooser runs modally; a timeout answers it as the user would,
// noting first where it opened and what it says.
struct ChooserAnswer {
  int response = GTK_RESPONSE_NONE;
  std::string folder;
  bool folder_set = false;
  bool seen = false;
  int ticks = 0;
  std::string opened_at;
  std::string title;
  std::vector<std::string> buttons;
};

void CollectButtonLabels(GtkWidget* widget, gpointer labels) {
  if (GTK_IS_BUTTON(widget)) {
    const char* label = gtk_button_get_label(GTK_BUTTON(widget));
    static_cast<std::vector<std::string>*>(labels)->push_back(label ? label
                                                                    : "");
  } else if (GTK_IS_CONTAINER(widget)) {
    gtk_container_foreach(GTK_CONTAINER(widget), CollectButtonLabels, labels);
  }
}

gboolean AnswerChooser(gpointer data) {
  auto* answer = static_cast<ChooserAnswer*>(data);
  GList* windows = gtk_window_list_toplevels();
  for (GList* w = windows; w != nullptr; w = w->next) {
    if (!GTK_IS_FILE_CHOOSER_DIALOG(w->data)) continue;
    if (!gtk_widget_get_visible(GTK_WIDGET(w->data))) continue;
    // First note it and choose the folder, on a later tick answer: the
    // chooser loads folders asynchronously.
    if (!answer->folder_set) {
      gchar* at =
          gtk_file_chooser_get_current_folder(GTK_FILE_CHOOSER(w->data));
      // The chooser says where it is once it has got there.
      if (at == nullptr && ++answer->ticks < 250) continue;
      answer->opened_at = at != nullptr ? at : "";
      g_free(at);
      answer->title = gtk_window_get_title(GTK_WINDOW(w->data));
      CollectButtonLabels(gtk_dialog_get_action_area(GTK_DIALOG(w->data)),
                          &answer->buttons);
      gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(w->data),
                                          answer->folder.c_str());
      answer->folder_set = true;
    } else {
      answer->seen = true;
      gtk_dialog_response(GTK_DIALOG(w->data), answer->response);
    }
  }
  g_list_free(windows);
  return answer->seen ? FALSE : TRUE;
}

TEST_F(WizardPagesTest, BrowseFillsEntryOnlyWhenAccepted) {
  ScopedTempDir dir;
  const std::string folder = dir.Path("chosen");
  ASSERT_EQ(0, mkdir(folder.c_str(), 0755));
  DirSelectPage page(area_, picture_, RealSystem());
  // A folder that does not exist yet: the chooser opens at the nearest one
  // above it that does, not on an empty list.
  page.SetPath(FromUtf8((dir.path() + "/not/yet").c_str()));

  ChooserAnswer cancel;
  cancel.response = GTK_RESPONSE_CANCEL;
  cancel.folder = folder;
  g_timeout_add(20, AnswerChooser, &cancel);
  gtk_button_clicked(GTK_BUTTON(page.browse_button()));
  EXPECT_TRUE(cancel.seen);
  EXPECT_EQ(dir.path(), cancel.opened_at);
  EXPECT_EQ(dir.path() + "/not/yet", Narrow(page.GetPath()));
  // In the wizard's words, not the toolkit's.
  EXPECT_EQ(Text("IDS_CHOOSEDIR_TITLE"), cancel.title);
  std::sort(cancel.buttons.begin(), cancel.buttons.end());
  EXPECT_EQ((std::vector<std::string>{Text("IDS_BROWSE_CANCEL"),
                                      Text("IDS_BROWSE_OK")}),
            cancel.buttons);

  page.SetPath(FromUtf8(folder.c_str()));
  ChooserAnswer accept;
  accept.response = GTK_RESPONSE_ACCEPT;
  accept.folder = folder;
  g_timeout_add(20, AnswerChooser, &accept);
  page.Browse();
  EXPECT_TRUE(accept.seen);
  EXPECT_EQ(folder, accept.opened_at);
  EXPECT_EQ(folder, Narrow(page.GetPath()));
}

}  // namespace
