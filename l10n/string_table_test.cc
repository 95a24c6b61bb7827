#include "l10n/string_table.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <iterator>
#include <string>
#include <vector>

#include "text/text_conversion_internal.h"

extern "C" void __cxa_finalize(void* dso_handle);

namespace {

std::u16string U16(const WideString& text) {
  return std::u16string(text.c_str(), text.length());
}

// Every key each language must define.
const char* const kAllKeys[] = {
    "IDS_WIZARD_BACK",      "IDS_WIZARD_NEXT",         "IDS_WIZARD_FINISH",
    "IDS_WIZARD_CANCEL",    "IDS_ACCEPT_CANCEL",       "IDS_TITLE_INSTALLER",
    "IDS_PREPARECOPY",      "IDS_INSTALL_ERROR",       "IDS_ERROR_NOSOURCE",
    "IDS_ERROR_NOTARGET",   "IDS_ERROR_NOSPACE",       "IDS_CHOOSEDIR_FOLDER",
    "IDS_CHOOSEDIR_TITLE",  "IDR_MAINFRAME",           "IDS_SETUP_EMPTYTARGET",
    "IDS_INSTALL_FINISH",   "IDS_ERROR_DAMAGEDSOURCE", "IDS_DEFPRODUCT",
    "IDS_DEFPROVIDER",      "IDS_SUCCESS_FINISH",      "IDS_SUCCESS_OPENDESCR",
    "IDS_PROGRESS_START",   "IDS_ERROR_FINISH",        "IDS_CANCEL_FINISH",
    "IDS_BROWSE_SELDIR",    "IDS_BROWSE_OK",           "IDS_BROWSE_CANCEL",
    "IDS_WELCOME_TITLE",    "IDS_SETUP_EXISTEDTARGET", "IDS_DESTINATION_PROMPT",
    "IDS_TEMPLATE_CATALOG",
};

// Each language with its code and one text that only it has, so a table
// filed under the wrong id or code shows up.
struct LanguageRow {
  LanguageId id;
  const char* code;
  const char16_t* next_button;
};
const LanguageRow kLanguageRows[] = {
    {kLanguageRussian, "ru", u"Далее >"},
    {kLanguageUkrainian, "uk", u"Наступна >"},
    {kLanguageEnglish, "en", u"Next >"},
    {kLanguageLatvian, "lv", u"Tālāk >"},
    {kLanguageLithuanian, "lt", u"Toliau >"},
    {kLanguageBulgarian, "bg", u"Напред >"},
    {kLanguageGerman, "de", u"Weiter >"},
    {kLanguageRomanian, "ro", u"Înainte >"},
    {kLanguageGeorgian, "ka", u"შემდეგ>"},
    {kLanguageKazakh, "kk", u"Әрі қарай >"},
    {kLanguageVietnamese, "vi", u"Tiếp theo >"},
    {kLanguageTurkish, "tr", u"İleri >"},
    {kLanguageGreek, "el", u"Συνέχεια >"},
    {kLanguageSpanish, "es", u"Seguir >"},
    {kLanguageArmenian, "hy", u"Հաջորդիվ >"},
    {kLanguageItalian, "it", u"Avanti>"},
};

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
  };
  for (const Case& c : kCases) {
    EXPECT_EQ(c.text, Text(c.language, c.key)) << c.language << " " << c.key;
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

// The install worker is never joined, so it may still look up a text while
// the process runs its exit handlers; the tables must outlive all of them.
// __cxa_finalize(nullptr) runs every exit handler and destructor that exit()
// would, but leaves this thread running to look up afterwards.
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
