#include "ui/flow_logic.h"

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <string>
#include <vector>

#include "l10n/string_table.h"
#include "ui/message_box.h"

namespace {

std::u16string U16(const WideString& text) {
  return std::u16string(text.c_str(), text.length());
}

TEST(FlowLogicTest, ProgressViewForPercent) {
  struct Case {
    int percent;
    bool finished;
    double fraction;
  } cases[] = {
      {0, false, 0.0},  {1, false, 0.01}, {99, false, 0.99},
      {100, true, 1.0}, {-5, false, 0.0}, {150, false, 1.0},
  };
  for (const Case& c : cases) {
    const ProgressView view = ViewFor(c.percent);
    EXPECT_EQ(c.finished, view.finished) << c.percent;
    EXPECT_DOUBLE_EQ(c.fraction, view.fraction) << c.percent;
  }
}

TEST(FlowLogicTest, NormalisesTypedDirectory) {
  struct Case {
    std::u16string typed;
    std::u16string cwd;
    std::u16string expected;
  } cases[] = {
      {u"/data/tmplts", u"/w", u"/data/tmplts"},
      {u"C:\\data\\tmplts", u"/w", u"/w/C:/data/tmplts"},
      {u"\\data\\tmplts", u"/w", u"/data/tmplts"},
      {u"tmplts", u"/w", u"/w/tmplts"},
      {u"tmplts/", u"/", u"/tmplts/"},
      {u"./t", u"/w/", u"/w/./t"},
      {u"~/t", u"/w", u"/home/ann/t"},
      {u"~", u"/w", u"/home/ann"},
      {u"~\\t", u"/w", u"/home/ann/t"},
      {u"~ann/t", u"/w", u"/w/~ann/t"},
      // Blanks around the typed text do not belong to it.
      {u" ", u"/w", u""},
      {u"\t/data/t \t", u"/w", u"/data/t"},
      {u" ~/t ", u"/w", u"/home/ann/t"},
      {u" a b ", u"/w", u"/w/a b"},
      {u"", u"/w", u""},
      {u"t", u"", u""},
      {u"/t", u"", u"/t"},
  };
  for (const Case& c : cases) {
    const WideString typed(c.typed.data(),
                           static_cast<uint32_t>(c.typed.size()));
    const WideString cwd(c.cwd.data(), static_cast<uint32_t>(c.cwd.size()));
    EXPECT_EQ(c.expected,
              U16(NormaliseTypedDirectory(typed, cwd, u"/home/ann")))
        << std::string(c.typed.begin(), c.typed.end());
  }
}

TEST(FlowLogicTest, PathOfTheDescription) {
  struct Case {
    std::u16string target;
    std::u16string description;
    std::u16string path;
  } cases[] = {
      {u"/data/tmplts/", u"readme.html", u"/data/tmplts/readme.html"},
      {u"/data/tmplts", u"\\readme.html", u"/data/tmplts/readme.html"},
      {u"/data/tmplts", u"readme.html", u"/data/tmplts/readme.html"},
      {u"/data/tmplts//", u"\\/readme.html", u"/data/tmplts/readme.html"},
      {u"C:\\tmplts\\", u"doc\\readme.html", u"C:/tmplts/doc/readme.html"},
      {u"/", u"readme.html", u"/readme.html"},
      {u"/data/tmplts", u"", u"/data/tmplts"},
      {u"/data/tmplts/", u"", u"/data/tmplts/"},
      {u"/d/", u"doc\\a b\"$`.html", u"/d/doc/a b\"$`.html"},
  };
  for (const Case& c : cases) {
    const WideString target(c.target.data(),
                            static_cast<uint32_t>(c.target.size()));
    const WideString description(c.description.data(),
                                 static_cast<uint32_t>(c.description.size()));
    EXPECT_EQ(c.path, U16(DescriptionPath(target, description)));
  }
}

TEST(FlowLogicTest, WelcomeTextFallsBackToDefaults) {
  const LanguageId saved = StringTable::CurrentLanguage();
  StringTable::SetCurrentLanguage(kLanguageEnglish);
  EXPECT_EQ(
      u"Welcome to the product installation program <Product> (<Vendor>).",
      U16(WelcomeText(u"", u"")));
  EXPECT_EQ(u"Welcome to the product installation program Q 4.1 (Ardenvale).",
            U16(WelcomeText(u"Q 4.1", u"Ardenvale")));
  StringTable::SetCurrentLanguage(saved);
}

TEST(FlowLogicTest, TextWidthFollowsTheFont) {
  struct Case {
    double font_pixels;
    int width;
  } cases[] = {
      {14, 320},               // the usual size
      {10 * 96 / 72.0, 320},   // 10 points at 96 dpi
      {9, 320},                // smaller: the same
      {0, 320},                // unknown
      {21, 480},               // one and a half times the usual size
      {28, 640},               // twice
      {22 * 100 / 72.0, 698},  // 22 points at 100 dpi
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.width, WidthForFont(320, c.font_pixels)) << c.font_pixels;
  }
}

TEST(FlowLogicTest, MessageBoxResults) {
  EXPECT_EQ(kMessageBoxYes, MessageBoxResultFor(GTK_RESPONSE_YES));
  EXPECT_EQ(kMessageBoxNo, MessageBoxResultFor(GTK_RESPONSE_NO));
  EXPECT_EQ(kMessageBoxOk, MessageBoxResultFor(GTK_RESPONSE_OK));
  EXPECT_EQ(kMessageBoxOther, MessageBoxResultFor(GTK_RESPONSE_CANCEL));
  EXPECT_EQ(kMessageBoxOther, MessageBoxResultFor(GTK_RESPONSE_DELETE_EVENT));
  EXPECT_EQ(kMessageBoxOther, MessageBoxResultFor(GTK_RESPONSE_CLOSE));
}

}  // namespace
