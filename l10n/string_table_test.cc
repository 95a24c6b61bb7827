#include "l10n/string_table.h"

#include <gtest/gtest.h>
#include <locale.h>
#include <unistd.h>
#include <wctype.h>

#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "l10n/translations.h"
#include "text/text_conversion.h"
#include "text/text_conversion_internal.h"

extern "C" void __cxa_finalize(void* dso_handle);

namespace {

std::u16string U16(const WideString& text) {
  return std::u16string(text.c_str(), text.length());
}

// Every key each language must define, in the order of the tables.
const char* const kAllKeys[] = {
    "IDS_WIZARD_BACK",
    "IDS_WIZARD_NEXT",
    "IDS_WIZARD_FINISH",
    "IDS_WIZARD_CANCEL",
    "IDS_ACCEPT_CANCEL",
    "IDS_TITLE_INSTALLER",
    "IDS_PREPARECOPY",
    "IDS_INSTALL_ERROR",
    "IDS_ERROR_NOSOURCE",
    "IDS_ERROR_NOTARGET",
    "IDS_ERROR_NOSPACE",
    "IDS_CHOOSEDIR_FOLDER",
    "IDS_CHOOSEDIR_TITLE",
    "IDR_MAINFRAME",
    "IDS_SETUP_EMPTYTARGET",
    "IDS_INSTALL_FINISH",
    "IDS_ERROR_DAMAGEDSOURCE",
    "IDS_DEFPRODUCT",
    "IDS_DEFPROVIDER",
    "IDS_SUCCESS_FINISH",
    "IDS_SUCCESS_OPENDESCR",
    "IDS_PROGRESS_START",
    "IDS_ERROR_FINISH",
    "IDS_CANCEL_FINISH",
    "IDS_BROWSE_SELDIR",
    "IDS_BROWSE_OK",
    "IDS_BROWSE_CANCEL",
    "IDS_WELCOME_TITLE",
    "IDS_SETUP_EXISTEDTARGET",
    "IDS_DESTINATION_PROMPT",
    "IDS_TEMPLATE_CATALOG",
    "IDS_REASON_LINK_OUTSIDE",
    "IDS_REASON_NAME_ENCODING",
    "IDS_REASON_NAME_TWICE",
    "IDS_REASON_NAME_INVALID",
    "IDS_REASON_NOT_A_FILE",
    "IDS_WAIT_OTHER_INSTALL",
    "IDS_NOTE_DEFAULT_TARGET",
    "IDS_WARN_CONFIG_NOT_SAVED",
    "IDS_ERROR_TARGET_NOT_WRITABLE",
    "IDS_BUTTON_YES",
    "IDS_BUTTON_NO",
    "IDS_BUTTON_OK",
    "IDS_ERROR_CHECKSUM_UNUSABLE",
    "IDS_REASON_CHECKSUM_NOT_FILE",
    "IDS_REASON_CHECKSUM_FORMAT",
    "IDS_ERROR_HOME_UNUSABLE",
    "IDS_ERROR_NO_STATE_DIR",
    "IDS_NOTE_STATE_FALLBACK",
    "IDS_ERROR_NO_CURRENT_DIR",
    "IDS_ERROR_REPORT_NOT_WRITTEN",
    "IDS_REASON_CHECKSUM_MISMATCH",
    "IDS_REASON_KIT_DAMAGED",
    "IDS_REASON_NOT_ABSOLUTE",
    "IDS_REASON_CONTROL_CHARACTERS",
    "IDS_REASON_ROOT_HOME",
    "IDS_REASON_NOT_REGULAR",
};

// Texts shown after a file's path and a colon, as the tail of a sentence.
const char* const kReasonKeys[] = {
    "IDS_REASON_LINK_OUTSIDE", "IDS_REASON_NAME_ENCODING",
    "IDS_REASON_NAME_TWICE",   "IDS_REASON_NAME_INVALID",
    "IDS_REASON_NOT_A_FILE",   "IDS_REASON_CHECKSUM_NOT_FILE",
    "IDS_REASON_CHECKSUM_FORMAT", "IDS_REASON_NOT_ABSOLUTE",
    "IDS_REASON_CONTROL_CHARACTERS", "IDS_REASON_ROOT_HOME",
    "IDS_REASON_NOT_REGULAR",
};

// Each language with its code, its raw table and one text that only it has,
// so a table filed under the wrong id or code shows up.
struct LanguageRow {
  LanguageId id;
  const char* code;
  const TranslatedText* texts;
  const char16_t* next_button;
};
const LanguageRow kLanguageRows[] = {
    {kLanguageRussian, "ru", kTextsRu, u"Далее >"},
    {kLanguageUkrainian, "uk", kTextsUk, u"Наступна >"},
    {kLanguageEnglish, "en", kTextsEn, u"Next >"},
    {kLanguageLatvian, "lv", kTextsLv, u"Tālāk >"},
    {kLanguageLithuanian, "lt", kTextsLt, u"Toliau >"},
    {kLanguageBulgarian, "bg", kTextsBg, u"Напред >"},
    {kLanguageGerman, "de", kTextsDe, u"Weiter >"},
    {kLanguageRomanian, "ro", kTextsRo, u"Înainte >"},
    {kLanguageGeorgian, "ka", kTextsKa, u"შემდეგ>"},
    {kLanguageKazakh, "kk", kTextsKk, u"Әрі қарай >"},
    {kLanguageVietnamese, "vi", kTextsVi, u"Tiếp theo >"},
    {kLanguageTurkish, "tr", kTextsTr, u"İleri >"},
    {kLanguageGreek, "el", kTextsEl, u"Συνέχεια >"},
    {kLanguageSpanish, "es", kTextsEs, u"Seguir >"},
    {kLanguageArmenian, "hy", kTextsHy, u"Հաջորդիվ >"},
    {kLanguageItalian, "it", kTextsIt, u"Avanti>"},
};

bool EndsWithEllipsis(const std::u16string& text) {
  return text.size() >= 3 && text.compare(text.size() - 3, 3, u"...") == 0;
}

// Why `text` is not clean UTF-8 free of control characters, or "" if it is.
// The decoder turns each byte that is not part of a valid sequence into a
// lone surrogate U+DC80..U+DCFF, and an encoded surrogate into a lone one.
std::string TextFault(const std::u16string& text) {
  if (text.empty()) return "empty";
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      if (i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
          text[i + 1] <= 0xDFFF) {
        ++i;  // a character beyond U+FFFF
        continue;
      }
      return "lone surrogate at " + std::to_string(i);
    }
    if (unit >= 0xDC00 && unit <= 0xDFFF) {
      return "stray byte or lone surrogate at " + std::to_string(i);
    }
    if (unit < 0x20 || (unit >= 0x7F && unit <= 0x9F)) {
      return "control character at " + std::to_string(i);
    }
    if (unit == 0xFFFD) return "replacement character at " + std::to_string(i);
  }
  return "";
}

// Texts are stored as UTF-8 and decoded through the locale's encoding; pin a
// UTF-8 one and restore the caller's state afterwards.
class StringTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(text_internal::UseConverterForTesting("C.UTF-8"));
    saved_language_ = StringTable::CurrentLanguage();
  }
  void TearDown() override {
    text_internal::RestoreConverterForTesting();
    StringTable::SetCurrentLanguage(saved_language_);
  }

  static std::u16string Text(LanguageId language, const char* key) {
    StringTable::SetCurrentLanguage(language);
    return U16(StringTable::Lookup(key));
  }

 private:
  LanguageId saved_language_ = kLanguageNone;
};

TEST_F(StringTableTest, NoLanguageBeforeItIsSet) {
  EXPECT_EQ(kLanguageNone, StringTable::CurrentLanguage());
  EXPECT_EQ(u"", U16(StringTable::Lookup("IDS_WIZARD_NEXT")));
}

TEST_F(StringTableTest, UnknownLanguageYieldsEmptyTexts) {
  for (LanguageId id : {kLanguageNone, 17, -1, 1000}) {
    StringTable::SetCurrentLanguage(id);
    EXPECT_EQ(id, StringTable::CurrentLanguage());  // stored unchecked
    for (const char* key : kAllKeys) {
      EXPECT_EQ(u"", U16(StringTable::Lookup(key))) << id << " " << key;
    }
  }
}

TEST_F(StringTableTest, KeysMatchExactly) {
  EXPECT_EQ(u"Next >", Text(kLanguageEnglish, "IDS_WIZARD_NEXT"));
  for (const char* key :
       {"ids_wizard_next", "Ids_Wizard_Next", "IDS_WIZARD_NEX",
        "IDS_WIZARD_NEXT ", "IDS_WIZARD_NEXTX", "", "IDS_"}) {
    EXPECT_EQ(u"", Text(kLanguageEnglish, key)) << "'" << key << "'";
  }
}

TEST_F(StringTableTest, ExactTexts) {
  struct Case {
    LanguageId language;
    const char* key;
    const char16_t* text;
  };
  const Case kCases[] = {
      {kLanguageEnglish, "IDS_WIZARD_NEXT", u"Next >"},
      {kLanguageRussian, "IDS_WIZARD_NEXT", u"Далее >"},
      {kLanguageKazakh, "IDS_ERROR_NOSOURCE",
       u" tqkt.efd орнату файлы жинағы табылған жоқ."},
      {kLanguageKazakh, "IDS_ERROR_DAMAGEDSOURCE",
       u" tqkt.efd орнату файлы бүлінген немесе орнатудың осы программасы "
       u"арналмаған."},
      {kLanguageGeorgian, "IDS_ERROR_NOSOURCE",
       u"მიწოდების კომპლექტის ფაილი tqkt.efd არ არის ნაპოვნი."},
      {kLanguageArmenian, "IDS_ERROR_DAMAGEDSOURCE",
       u"tqkt.efd ակտիվացման հավաքածուի ֆայլը հաստատվել է կամ նախատեսված չէ"},
      {kLanguageGreek, "IDS_PROGRESS_START",
       u"Η αντιγραφή αρχείων βρίσκεται σε\u00A0εξέλιξη..."},
      {kLanguageSpanish, "IDS_ACCEPT_CANCEL",
       u"¿Quiere cancelar la instalación?"},
      {kLanguageEnglish, "IDS_WIZARD_BACK", u"< Back"},
      {kLanguageEnglish, "IDS_DEFPRODUCT", u"<Product>"},
      {kLanguageRussian, "IDS_DEFPROVIDER", u"<Поставщик>"},
      {kLanguageEnglish, "IDS_CHOOSEDIR_FOLDER", u"&Folder:"},
      {kLanguageGerman, "IDS_CHOOSEDIR_FOLDER", u"&Ordner:"},
      {kLanguageEnglish, "IDS_DESTINATION_PROMPT",
       u"Specify path to template directory. The installation program will "
       u"install templates and configuration files to the specified "
       u"directory."},
      {kLanguageRomanian, "IDR_MAINFRAME", u"Instalarea configuraţiei"},
      {kLanguageBulgarian, "IDR_MAINFRAME", u"Инсталиране на конфигурация"},
      {kLanguageEnglish, "IDS_REASON_LINK_OUTSIDE",
       u"a link that leads outside the template directory"},
      {kLanguageEnglish, "IDS_REASON_NAME_ENCODING",
       u"the name cannot be written in this system's file-name encoding"},
      {kLanguageEnglish, "IDS_REASON_NAME_TWICE",
       u"the kit holds this file twice"},
      {kLanguageEnglish, "IDS_REASON_NAME_INVALID", u"not a valid file name"},
      {kLanguageEnglish, "IDS_REASON_NOT_A_FILE",
       u"in the way: not a regular file"},
      {kLanguageEnglish, "IDS_WAIT_OTHER_INSTALL",
       u"Waiting for another installation into this directory to finish..."},
      {kLanguageEnglish, "IDS_NOTE_DEFAULT_TARGET",
       u"None of the template directories known to the launcher can be used; "
       u"the default directory is used instead."},
      {kLanguageEnglish, "IDS_WARN_CONFIG_NOT_SAVED",
       u"The templates are installed, but the launcher configuration could "
       u"not be updated."},
      {kLanguageEnglish, "IDS_ERROR_TARGET_NOT_WRITABLE",
       u"You cannot write to this directory. Choose another template "
       u"directory."},
      {kLanguageEnglish, "IDS_BUTTON_YES", u"Yes"},
      {kLanguageEnglish, "IDS_BUTTON_NO", u"No"},
      {kLanguageEnglish, "IDS_BUTTON_OK", u"OK"},
      {kLanguageRussian, "IDS_REASON_LINK_OUTSIDE",
       u"ссылка, ведущая за пределы каталога шаблонов"},
      {kLanguageRussian, "IDS_WAIT_OTHER_INSTALL",
       u"Ожидание завершения другой установки в этот каталог..."},
      {kLanguageRussian, "IDS_BUTTON_YES", u"Да"},
      {kLanguageRussian, "IDS_BUTTON_OK", u"\u041E\u041A"},  // Cyrillic
      {kLanguageGerman, "IDS_REASON_NOT_A_FILE",
       u"im Weg: keine reguläre Datei"},
      {kLanguageGerman, "IDS_ERROR_TARGET_NOT_WRITABLE",
       u"Sie können nicht in dieses Verzeichnis schreiben. Wählen Sie ein "
       u"anderes Vorlagenverzeichnis."},
      {kLanguageGerman, "IDS_BUTTON_NO", u"Nein"},
  };
  for (const Case& c : kCases) {
    EXPECT_EQ(c.text, Text(c.language, c.key)) << c.language << " " << c.key;
  }
}

// "/home/ann/tmplts/config: " comes first, so a reason reads as the rest of
// a system error text: lower case, no full stop (Armenian texts here end
// their sentences with ':').
TEST_F(StringTableTest, ReasonsContinueAfterAPathAndColon) {
  locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t{});
  ASSERT_NE(locale_t{}, utf8);
  // Without case tables for these scripts the check below could not fail.
  for (wint_t upper : {L'D', L'Д', L'Ω', L'Ա', L'Ş'}) {
    ASSERT_TRUE(iswupper_l(upper, utf8)) << upper;
  }
  for (const LanguageRow& row : kLanguageRows) {
    for (const char* key : kReasonKeys) {
      const std::u16string text = Text(row.id, key);
      ASSERT_FALSE(text.empty()) << row.code << " " << key;
      EXPECT_FALSE(iswupper_l(text.front(), utf8)) << row.code << " " << key;
      EXPECT_EQ(std::u16string::npos,
                std::u16string(u".:\u0589 ").find(text.back()))
          << row.code << " " << key;
    }
  }
  freelocale(utf8);
}

TEST_F(StringTableTest, EllipsisKeptWhereEnglishHasIt) {
  for (const LanguageRow& row : kLanguageRows) {
    for (const char* key : kAllKeys) {
      // Shipped without its dots; left as it is.
      if (row.id == kLanguageArmenian &&
          std::string(key) == "IDS_PREPARECOPY") {
        continue;
      }
      EXPECT_EQ(EndsWithEllipsis(Text(kLanguageEnglish, key)),
                EndsWithEllipsis(Text(row.id, key)))
          << row.code << " " << key;
    }
  }
}

// Yes, No and OK can stand side by side in one dialog.
TEST_F(StringTableTest, ButtonLabelsAreShortAndDistinct) {
  for (const LanguageRow& row : kLanguageRows) {
    const std::u16string yes = Text(row.id, "IDS_BUTTON_YES");
    const std::u16string no = Text(row.id, "IDS_BUTTON_NO");
    const std::u16string ok = Text(row.id, "IDS_BUTTON_OK");
    EXPECT_NE(yes, no) << row.code;
    EXPECT_NE(yes, ok) << row.code;
    EXPECT_NE(no, ok) << row.code;
    for (const std::u16string& label : {yes, no, ok}) {
      EXPECT_LE(label.size(), 10u) << row.code;
    }
  }
}

TEST_F(StringTableTest, FindLanguageMatchesCodesExactly) {
  const struct {
    const char* code;
    LanguageId id;
  } kCases[] = {
      {"en", kLanguageEnglish},
      {"ro", 8},
      {"bg", 6},
      {"de", 7},
      {"ru", 1},
      {"it", 16},
      {"EN", kLanguageNone},
      {"", kLanguageNone},
      {"eng", kLanguageNone},
      {"e", kLanguageNone},
      {"r", kLanguageNone},
      {"en ", kLanguageNone},
      {"xx", kLanguageNone},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(c.id, StringTable::FindLanguage(c.code)) << "'" << c.code << "'";
  }
}

TEST_F(StringTableTest, SixteenLanguagesInIdOrder) {
  const std::vector<StringTable::Language> languages = StringTable::Languages();
  ASSERT_EQ(std::size(kLanguageRows), languages.size());
  for (size_t i = 0; i < languages.size(); ++i) {
    const LanguageRow& row = kLanguageRows[i];
    EXPECT_EQ(row.id, languages[i].id);
    EXPECT_TRUE(languages[i].code == row.code) << row.code;
    EXPECT_EQ(row.id, StringTable::FindLanguage(row.code)) << row.code;
    EXPECT_EQ(row.next_button, Text(row.id, "IDS_WIZARD_NEXT")) << row.code;
  }
}

TEST_F(StringTableTest, EveryLanguageDefinesEveryKey) {
  for (const LanguageRow& row : kLanguageRows) {
    for (const char* key : kAllKeys) {
      EXPECT_NE(u"", Text(row.id, key)) << row.code << " " << key;
    }
    // The window title and the installer title are one text; the folder
    // label keeps its mnemonic ampersand.
    EXPECT_EQ(Text(row.id, "IDS_TITLE_INSTALLER"),
              Text(row.id, "IDR_MAINFRAME"))
        << row.code;
    EXPECT_EQ(u'&', Text(row.id, "IDS_CHOOSEDIR_FOLDER")[0]) << row.code;
  }
}

// The key list above is the whole table: with it, EveryLanguageDefinesEveryKey
// leaves no entry unchecked, and a repeated key (which the string table would
// silently drop) cannot hide.
TEST(TranslationTablesTest, EveryTableHoldsTheKeysInOneOrder) {
  ASSERT_EQ(static_cast<size_t>(kTranslatedKeyCount), std::size(kAllKeys));
  EXPECT_EQ(
      std::size(kAllKeys),
      std::set<std::string>(std::begin(kAllKeys), std::end(kAllKeys)).size());
  for (const LanguageRow& row : kLanguageRows) {
    for (int i = 0; i < kTranslatedKeyCount; ++i) {
      EXPECT_STREQ(kAllKeys[i], row.texts[i].key) << row.code << " #" << i;
    }
  }
}

// A text pasted in another encoding, or cut in the middle of a character,
// would reach the user as escape units; so would a stray control byte.
TEST(TranslationTablesTest, EveryTextIsCleanUtf8) {
  for (const LanguageRow& row : kLanguageRows) {
    for (int i = 0; i < kTranslatedKeyCount; ++i) {
      const WideString text = Utf8ToWide(row.texts[i].text);
      EXPECT_EQ("", TextFault(U16(text)))
          << row.code << " " << row.texts[i].key;
    }
  }
}

TEST(TranslationTablesTest, TextFaultFindsBrokenText) {
  const struct {
    const char* bytes;
    bool clean;
  } kCases[] = {
      {"Next >", true},
      {"\xD0\x94\xD0\xB0", true},    // "Да"
      {"\xF0\x9F\x93\x81 x", true},  // beyond U+FFFF
      {"\xC4\xE0", false},           // windows-1251 "Да"
      {"\xD0", false},               // cut after a lead byte
      {"\xC0\xAF", false},           // overlong "/"
      {"\xED\xA0\x80", false},       // encoded surrogate
      {"a\tb", false},               // control character
      {"\xEF\xBF\xBD", false},       // U+FFFD
      {"", false},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(c.clean, TextFault(U16(Utf8ToWide(c.bytes))).empty())
        << "'" << c.bytes << "'";
  }
}

// The tables hold UTF-8; a locale with another encoding must not garble them.
TEST(StringTableEncodingTest, TextsDoNotDependOnTheLocalesEncoding) {
  if (!text_internal::UseConverterForTesting("ru_RU.KOI8-R")) {
    GTEST_SKIP() << "no ru_RU.KOI8-R locale (scripts/setup-machine makes it)";
  }
  StringTable::SetCurrentLanguage(kLanguageRussian);
  const WideString next = StringTable::Lookup("IDS_WIZARD_NEXT");
  const WideString title = StringTable::Lookup("IDR_MAINFRAME");
  text_internal::RestoreConverterForTesting();
  StringTable::SetCurrentLanguage(kLanguageNone);
  EXPECT_EQ(u"Далее >", U16(next));
  EXPECT_EQ(u"Установка конфигурации", U16(title));
}

// The install worker is never joined, so it may still look up a text while
// the process runs its exit handlers; the tables must outlive all of them.
// __cxa_finalize(nullptr) runs every exit handler and destructor that exit()
// would, but leaves this thread running to look up afterwards.
TEST(StringTableDeathTest, TablesOutliveExitHandlers) {
  EXPECT_EXIT(
      {
        StringTable::SetCurrentLanguage(kLanguageEnglish);
        __cxa_finalize(nullptr);
        const bool intact = StringTable::Lookup("IDS_INSTALL_FINISH") ==
                                u"Copying complete..." &&
                            StringTable::FindLanguage("it") == kLanguageItalian;
        _exit(intact ? 0 : 3);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
