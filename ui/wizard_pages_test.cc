#include "ui/wizard_pages.h"

#include <gtest/gtest.h>

#include <string>

#include "assets/assets.h"
#include "l10n/string_table.h"
#include "platform/scoped_temp_dir.h"
#include "ui/ui_test_util.h"
#include "ui/utf8_text.h"

namespace {

// Pages built into a GtkFixed that is never shown, in English.
class WizardPagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!OpenTestDisplay()) GTEST_SKIP() << "no display";
    saved_language_ = StringTable::CurrentLanguage();
    StringTable::SetCurrentLanguage(kLanguageEnglish);
    fixed_ = gtk_fixed_new();
    g_object_ref_sink(fixed_);
    picture_ = gdk_pixbuf_new_from_xpm_data(
        const_cast<const char**>(SidePictureXpm()));
  }

  void TearDown() override {
    if (fixed_ == nullptr) return;
    gtk_widget_destroy(fixed_);
    g_object_unref(fixed_);
    g_object_unref(picture_);
    StringTable::SetCurrentLanguage(saved_language_);
  }

  // Position and size request of `widget` in the fixed.
  struct Placement {
    int x, y, width, height;
    bool operator==(const Placement&) const = default;
  };
  static Placement Place(GtkWidget* widget) {
    Placement p;
    FixedPosition(widget, &p.x, &p.y);
    SizeRequest(widget, &p.width, &p.height);
    return p;
  }

  GtkWidget* fixed_ = nullptr;
  GdkPixbuf* picture_ = nullptr;
  LanguageId saved_language_ = kLanguageNone;
};

TEST_F(WizardPagesTest, ProgressPageAtZeroNinetyNineAndHundred) {
  ProgressPage page(fixed_, 480);
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

  EXPECT_EQ((Placement{10, 130, -1, -1}), Place(page.status_label()));
  EXPECT_EQ((Placement{10, 150, 480, 20}), Place(page.progress_bar()));
  ASSERT_EQ(2u, page.widgets().size());
  EXPECT_EQ(page.status_label(), page.widgets()[0]);
  for (GtkWidget* widget : page.widgets()) EXPECT_FALSE(Visible(widget));
}

TEST_F(WizardPagesTest, MessageAndSuccessPages) {
  MessagePage message(fixed_, picture_, FromUtf8("First"));
  EXPECT_EQ("First", LabelText(message.text_label()));
  message.SetText(FromUtf8("\xD0\x9F\xD1\x80\xD0\xB8"));  // UTF-8 whatever
  EXPECT_EQ("\xD0\x9F\xD1\x80\xD0\xB8", LabelText(message.text_label()));
  EXPECT_EQ((Placement{0, 0, -1, -1}), Place(message.picture()));
  EXPECT_EQ((Placement{170, 10, 330, 250}), Place(message.text_label()));
  EXPECT_TRUE(gtk_label_get_line_wrap(GTK_LABEL(message.text_label())));
  float xalign = 1, yalign = 1;
  gtk_misc_get_alignment(GTK_MISC(message.text_label()), &xalign, &yalign);
  EXPECT_EQ(0.0f, xalign);
  EXPECT_EQ(0.0f, yalign);
  EXPECT_EQ(picture_, gtk_image_get_pixbuf(GTK_IMAGE(message.picture())));
  EXPECT_EQ(2u, message.widgets().size());

  SuccessFinalPage success(fixed_, picture_,
                           StringTable::Lookup("IDS_SUCCESS_FINISH"));
  EXPECT_EQ("Configuration installed successfully.",
            LabelText(success.text_label()));
  EXPECT_TRUE(success.IsOpenDescriptionChecked());
  EXPECT_EQ("Open description of distribution package",
            ButtonLabel(success.open_description_box()));
  EXPECT_EQ((Placement{170, 170, -1, -1}),
            Place(success.open_description_box()));
  ASSERT_EQ(3u, success.widgets().size());
  EXPECT_EQ(success.open_description_box(), success.widgets()[2]);
  gtk_toggle_button_set_active(
      GTK_TOGGLE_BUTTON(success.open_description_box()), FALSE);
  EXPECT_FALSE(success.IsOpenDescriptionChecked());
}

TEST_F(WizardPagesTest, DirSelectPageLayoutAndPath) {
  DirSelectPage page(fixed_, picture_);
  EXPECT_EQ(Text("IDS_DESTINATION_PROMPT"), LabelText(page.text_label()));
  EXPECT_EQ("Template directory:", LabelText(page.catalog_label()));
  EXPECT_EQ("...", ButtonLabel(page.browse_button()));
  EXPECT_EQ((Placement{170, 10, 330, 250}), Place(page.text_label()));
  EXPECT_EQ((Placement{170, 255, -1, -1}), Place(page.catalog_label()));
  EXPECT_EQ((Placement{170, 275, 280, 30}), Place(page.path_entry()));
  EXPECT_EQ((Placement{460, 275, 30, 30}), Place(page.browse_button()));
  const std::vector<GtkWidget*> expected = {
      page.picture(), page.text_label(), page.catalog_label(),
      page.path_entry(), page.browse_button()};
  EXPECT_EQ(expected, page.widgets());

  EXPECT_EQ(u"", std::u16string(page.GetPath().c_str()));
  // A name that is not valid text survives as far as GTK allows: the
  // entry holds UTF-8, the rest comes back as it went in.
  const std::string home_ru = "/home/\xD0\xB0\xD0\xBD\xD1\x8F/t";
  page.SetPath(FromUtf8(home_ru.c_str()));
  EXPECT_STREQ(home_ru.c_str(),
               gtk_entry_get_text(GTK_ENTRY(page.path_entry())));
  EXPECT_EQ(home_ru, Narrow(page.GetPath()));
}

// The folder chooser runs modally; a timeout answers it as the user would.
struct ChooserAnswer {
  int response;
  std::string folder;
  bool folder_set = false;
  bool seen = false;
};

gboolean AnswerChooser(gpointer data) {
  auto* answer = static_cast<ChooserAnswer*>(data);
  GList* windows = gtk_window_list_toplevels();
  for (GList* w = windows; w != nullptr; w = w->next) {
    if (!GTK_IS_FILE_CHOOSER_DIALOG(w->data)) continue;
    if (!gtk_widget_get_visible(GTK_WIDGET(w->data))) continue;
    // First choose the folder, on a later tick answer: the chooser loads
    // folders asynchronously.
    if (!answer->folder_set) {
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
  DirSelectPage page(fixed_, picture_);
  page.SetPath(FromUtf8("/typed"));

  ChooserAnswer cancel{GTK_RESPONSE_CANCEL, folder};
  g_timeout_add(20, AnswerChooser, &cancel);
  gtk_button_clicked(GTK_BUTTON(page.browse_button()));
  EXPECT_TRUE(cancel.seen);
  EXPECT_EQ("/typed", Narrow(page.GetPath()));

  ChooserAnswer accept{GTK_RESPONSE_ACCEPT, folder};
  g_timeout_add(20, AnswerChooser, &accept);
  page.Browse();
  EXPECT_TRUE(accept.seen);
  EXPECT_EQ(folder, Narrow(page.GetPath()));
}

}  // namespace
