#include "ui/access_keys.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <set>
#include <span>
#include <string>
#include <vector>

#include "l10n/string_table.h"
#include "ui/utf8_text.h"

namespace {

// What GTK makes of a text in mnemonic form: the text it shows and the
// character it underlines (0 for none); `marks` counts the single "_".
struct Mnemonic {
  std::string shown;
  gunichar key = 0;
  int marks = 0;
};

Mnemonic Parse(const std::string& text) {
  Mnemonic m;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '_') {
      m.shown += text[i];
    } else if (i + 1 < text.size() && text[i + 1] == '_') {
      m.shown += '_';
      ++i;
    } else if (i + 1 < text.size()) {
      ++m.marks;
      m.key = g_unichar_tolower(g_utf8_get_char(text.c_str() + i + 1));
    }
  }
  return m;
}

TEST(AccessKeysTest, FirstFreeLetterOrDigitOfEachText) {
  struct Case {
    std::vector<std::string> texts;
    std::vector<std::string> expected;
  } cases[] = {
      {{"Next >", "< Back", "Cancel"}, {"_Next >", "< _Back", "_Cancel"}},
      // Taken regardless of case.
      {{"Open", "ok"}, {"_Open", "o_k"}},
      {{"\xD0\x94\xD0\xB0", "\xD0\xB4\xD0\xB0"},  // "Да", "да"
       {"_\xD0\x94\xD0\xB0", "\xD0\xB4_\xD0\xB0"}},
      // A text's own "_" is kept; a text with nothing left keeps its words.
      {{"a_b", "A"}, {"_a__b", "A"}},
      {{"...", "2 more", "_"}, {"...", "_2 more", "__"}},
      {{"\xFF_x"}, {"\xFF__x"}},  // not UTF-8: no key, the text kept
      // Not typed with one key: the dotted I, an accented letter (Έ, Ş),
      // the final sigma.
      {{"\xC4\xB0leri", "\xCE\x88\xCF\x84o",
        "\xC5\x9E"
        "ablon",
        "\xCF\x82"},
       {"\xC4\xB0_leri", "\xCE\x88_\xCF\x84o", "\xC5\x9E_ablon", "\xCF\x82"}},
      {{}, {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected, WithAccessKeys(c.texts)) << c.texts.size();
  }
}

// In every language, every control of each window gets a key of its own,
// and the text it shows is the string table's, unchanged.
TEST(AccessKeysTest, EveryControlOfEveryWindowHasItsOwnKey) {
  const LanguageId saved = StringTable::CurrentLanguage();
  const std::span<const char* const> windows[] = {
      kWizardControls, kQuestionControls, kNoticeControls};
  for (const StringTable::Language& language : StringTable::Languages()) {
    StringTable::SetCurrentLanguage(language.id);
    for (std::span<const char* const> window : windows) {
      std::set<gunichar> keys;
      for (const char* control : window) {
        SCOPED_TRACE(std::string(language.code.c_str()) + " " + control);
        const std::string text = AccessKeyText(window, control);
        const Mnemonic m = Parse(text);
        EXPECT_EQ(ToUtf8(StringTable::Lookup(control)), m.shown) << text;
        EXPECT_EQ(1, m.marks) << text;
        EXPECT_TRUE(keys.insert(m.key).second) << text << ": key taken";
      }
    }
  }
  StringTable::SetCurrentLanguage(saved);
}

}  // namespace
