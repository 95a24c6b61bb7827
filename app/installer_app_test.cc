#include "app/installer_app.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "text/text_conversion_internal.h"

namespace {

std::u16string U16(const WideString& text) {
  return std::u16string(text.c_str(), text.length());
}

// Saves and restores what these tests change: the locale variables of the
// environment, the process locale and the string table's current language.
class InstallerAppTest : public ::testing::Test {
 protected:
  static constexpr const char* kVariables[] = {"LC_ALL", "LC_CTYPE", "LC_TIME",
                                               "LANG", "LANGUAGE"};

  void SetUp() override {
    for (const char* name : kVariables) {
      const char* value = std::getenv(name);
      saved_env_.push_back({name, value != nullptr, value ? value : ""});
      unsetenv(name);
    }
    saved_locale_ = std::setlocale(LC_ALL, nullptr);
    saved_language_ = StringTable::CurrentLanguage();
    // The titles are compared as UTF-16, whatever locale the run starts in.
    ASSERT_TRUE(text_internal::UseConverterForTesting("C.UTF-8"));
  }

  void TearDown() override {
    for (const SavedVariable& v : saved_env_) {
      if (v.present) {
        setenv(v.name, v.value.c_str(), 1);
      } else {
        unsetenv(v.name);
      }
    }
    std::setlocale(LC_ALL, saved_locale_.c_str());
    StringTable::SetCurrentLanguage(saved_language_);
    text_internal::RestoreConverterForTesting();
  }

  // Runs the application with "setup" followed by `args`.
  static std::unique_ptr<InstallerApp> RunWith(std::vector<const char*> args,
                                               std::vector<char*>* argv) {
    argv->clear();
    argv->push_back(const_cast<char*>("setup"));
    for (const char* arg : args) argv->push_back(const_cast<char*>(arg));
    argv->push_back(nullptr);
    auto app = std::make_unique<InstallerApp>(
        static_cast<int>(argv->size() - 1), argv->data());
    app->Run();
    return app;
  }

 private:
  struct SavedVariable {
    const char* name;
    bool present;
    std::string value;
  };
  std::vector<SavedVariable> saved_env_;
  std::string saved_locale_;
  LanguageId saved_language_ = kLanguageNone;
};

TEST_F(InstallerAppTest, ParsesCommandLine) {
  struct Case {
    std::vector<const char*> args;  // after argv[0]
    bool use_current_dir;
    bool silent;
    LanguageId language;
    const char16_t* code;
    bool help = false;
    bool version = false;
  };
  const Case kCases[] = {
      {{}, false, false, kLanguageNone, u"en"},
      {{"usecwd"}, true, false, kLanguageNone, u"en"},
      {{"usecwd", "-Lde"}, true, false, kLanguageGerman, u"de"},
      {{"-S", "usecwd"}, false, true, kLanguageNone, u"en"},
      {{"USECWD"}, false, false, kLanguageNone, u"en"},
      {{"usecwdx"}, false, false, kLanguageNone, u"en"},
      {{"usecw"}, false, false, kLanguageNone, u"en"},
      // The first language switch ends the scan.
      {{"-Lru", "-S"}, false, false, kLanguageRussian, u"ru"},
      {{"-S", "-Lru"}, false, true, kLanguageRussian, u"ru"},
      {{"-Lxx", "-Lde"}, false, false, kLanguageNone, u"en"},
      {{"-L", "-S"}, false, false, kLanguageNone, u"en"},
      // Codes are exact and case-sensitive; the L is not.
      {{"-LRU"}, false, false, kLanguageNone, u"en"},
      {{"-Lrus"}, false, false, kLanguageNone, u"en"},
      {{"/l"}, false, false, kLanguageNone, u"en"},
      {{"-lhy"}, false, false, kLanguageArmenian, u"hy"},
      {{"/Lkk"}, false, false, kLanguageKazakh, u"kk"},
      {{"/Lro"}, false, false, kLanguageRomanian, u"ro"},
      // Silent: any case of S, the rest ignored.
      {{"-Silent"}, false, true, kLanguageNone, u"en"},
      {{"/s"}, false, true, kLanguageNone, u"en"},
      {{"-s"}, false, true, kLanguageNone, u"en"},
      // Not switches, or switches of nobody's.
      {{"-", ""}, false, false, kLanguageNone, u"en"},
      {{"S", "Lru", "\\S", "\\Lru"}, false, false, kLanguageNone, u"en"},
      {{"--sync", "--display=:0", "-3", "-\xf3",
        "-\xcc"
        "de"},
       false,
       false,
       kLanguageNone,
       u"en"},
      // Help, in four exact spellings, anywhere; the other switches are
      // still read.
      {{"-h"}, false, false, kLanguageNone, u"en", true},
      {{"--help"}, false, false, kLanguageNone, u"en", true},
      {{"-?"}, false, false, kLanguageNone, u"en", true},
      {{"/?"}, false, false, kLanguageNone, u"en", true},
      {{"usecwd", "-h"}, true, false, kLanguageNone, u"en", true},
      {{"-S", "--help"}, false, true, kLanguageNone, u"en", true},
      {{"-Lde", "-S", "-?"}, false, false, kLanguageGerman, u"de", true},
      {{"/?", "-S", "/Lru"}, false, true, kLanguageRussian, u"ru", true},
      {{"-H", "-help", "--HELP", "--help=x", "/h", "-hS", "?", "/??", "h"},
       false,
       false,
       kLanguageNone,
       u"en",
       false},
      // The version, exactly, anywhere; help and the other switches are
      // still read.
      {{"--version"}, false, false, kLanguageNone, u"en", false, true},
      {{"usecwd", "-S", "--version"},
       true,
       true,
       kLanguageNone,
       u"en",
       false,
       true},
      {{"-Lde", "--version"},
       false,
       false,
       kLanguageGerman,
       u"de",
       false,
       true},
      {{"--version", "-h"}, false, false, kLanguageNone, u"en", true, true},
      {{"-v", "-V", "-version", "--VERSION", "--version=1", "/version",
        "--versio", "version"},
       false,
       false,
       kLanguageNone,
       u"en",
       false,
       false},
  };
  for (const Case& c : kCases) {
    std::vector<const char*> argv = {"setup"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    std::string shown;
    for (const char* arg : c.args) shown += std::string("'") + arg + "' ";
    CommandLine line =
        ParseCommandLine(static_cast<int>(argv.size()), argv.data());
    EXPECT_EQ(c.use_current_dir, line.use_current_dir) << shown;
    EXPECT_EQ(c.silent, line.silent) << shown;
    EXPECT_EQ(c.language, line.language_id) << shown;
    EXPECT_EQ(c.code, U16(line.language_code)) << shown;
    EXPECT_EQ(c.help, line.help) << shown;
    EXPECT_EQ(c.version, line.version) << shown;
  }
}

// The long options, and a note for each word that is not read and for an
// unknown language code; what is read stays as it was.
TEST_F(InstallerAppTest, ReadsTheLongOptionsAndNotesWhatItDoesNotRead) {
  struct Case {
    std::vector<const char*> args;  // after argv[0]
    bool silent;
    LanguageId language;
    std::string kit, target;
    std::vector<std::string> notes;
  };
  const Case kCases[] = {
      {{"--silent", "--lang=de"}, true, kLanguageGerman, "", "", {}},
      {{"--kit", "k.efd", "--target=/t", "-S"}, true, kLanguageNone, "k.efd",
       "/t", {}},
      {{"--kit=", "--target", "-S"}, false, kLanguageNone, "", "-S", {}},
      {{"--display", ":0", "--sync", "--name=x"}, false, kLanguageNone, "",
       "", {}},
      // A dry run is a silent one; --verbose means something only there.
      {{"--dry-run", "--verbose"}, true, kLanguageNone, "", "", {}},
      {{"-S", "--verbose"},
       true,
       kLanguageNone,
       "",
       "",
       {"ignored \"--verbose\": it counts only with --dry-run"}},
      {{"-Lde", "-S", "--kit", "k"},
       false,
       kLanguageGerman,
       "",
       "",
       {"ignored \"-S\": nothing after \"-Lde\" is read",
        "ignored \"--kit\": nothing after \"-Lde\" is read",
        "ignored \"k\": nothing after \"-Lde\" is read"}},
      {{"-Lfr", "-S"},
       false,
       kLanguageNone,
       "",
       "",
       {"unknown language \"fr\" in \"-Lfr\": the locale's language is used "
        "instead",
        "ignored \"-S\": nothing after \"-Lfr\" is read"}},
      {{"-S", "--", "-Lde", "usecwd"},
       true,
       kLanguageNone,
       "",
       "",
       {"ignored \"-Lde\": nothing after \"--\" is read",
        "ignored \"usecwd\": nothing after \"--\" is read"}},
      {{"--quiet", "x\ny", "usecwd", "--kit"},
       false,
       kLanguageNone,
       "",
       "",
       {"ignored \"--quiet\": not an option of setup",
        "ignored \"x\\x0ay\": not an option of setup",
        "ignored \"usecwd\": it counts only as the first argument",
        "ignored \"--kit\": it needs a value"}},
  };
  for (const Case& c : kCases) {
    std::vector<const char*> argv = {"setup"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    std::string shown;
    for (const char* arg : c.args) shown += std::string("'") + arg + "' ";
    const CommandLine line =
        ParseCommandLine(static_cast<int>(argv.size()), argv.data());
    EXPECT_EQ(c.silent, line.silent) << shown;
    EXPECT_EQ(c.language, line.language_id) << shown;
    EXPECT_EQ(c.kit, line.kit) << shown;
    EXPECT_EQ(c.target, line.target) << shown;
    EXPECT_EQ(c.notes, line.notes) << shown;
  }
}

// The usage text names every language code that -L accepts, and only those.
TEST_F(InstallerAppTest, UsageListsTheLanguageCodes) {
  const std::string usage = kUsageText;
  const std::string marker = "one of: ";
  const size_t start = usage.find(marker);
  ASSERT_NE(std::string::npos, start);
  const size_t end = usage.find("\n", usage.find("\n", start) + 1);
  std::string list = usage.substr(start + marker.size(), end - start);
  std::set<std::string> codes;
  std::string code;
  for (char c : list) {
    if (c >= 'a' && c <= 'z') {
      code += c;
    } else if (!code.empty()) {
      codes.insert(code);
      code.clear();
    }
    if (c == '(') break;
  }
  EXPECT_EQ(16u, codes.size());
  for (const std::string& listed : codes) {
    EXPECT_NE(kLanguageNone,
              StringTable::FindLanguage(NarrowString(listed.c_str())))
        << listed;
  }
  for (const char* spelling : {"usecwd", "-S", "/S", "-L<code>", "/L<code>",
                               "-h", "--help", "-?", "/?", "--version"}) {
    EXPECT_NE(std::string::npos, usage.find(spelling)) << spelling;
  }
  EXPECT_EQ('\n', usage.back());
}

TEST_F(InstallerAppTest, ChoosesLanguageFromLocaleName) {
  const struct {
    const char* name;
    LanguageId language;
    const char16_t* code;
  } kCases[] = {
      {nullptr, kLanguageEnglish, u"en"},
      {"ka_GE", kLanguageGeorgian, u"ka"},
      {"ru", kLanguageRussian, u"ru"},
      {"r", kLanguageEnglish, u"en"},
      {"", kLanguageEnglish, u"en"},
      {"C.UTF-8", kLanguageEnglish, u"en"},
      {"RU_ru", kLanguageEnglish, u"en"},
      {"LC_CTYPE=ru_RU.UTF-8;LC_TIME=de_DE.UTF-8", kLanguageEnglish, u"en"},
  };
  for (const auto& c : kCases) {
    const char* shown = c.name ? c.name : "(null)";
    WideString code = u"xx";  // replaced in every case
    EXPECT_EQ(c.language, LanguageFromLocaleName(c.name, &code)) << shown;
    EXPECT_EQ(c.code, U16(code)) << shown;
  }
}

TEST_F(InstallerAppTest, ChoosesLanguageFromEnvironmentLocale) {
  const struct {
    const char* lc_all;
    LanguageId language;
    const char16_t* code;
    const char* process_locale;  // as the C library names it afterwards
  } kCases[] = {
      {"uk_UA.UTF-8", kLanguageUkrainian, u"uk", "uk_UA.UTF-8"},
      {"pt_BR.UTF-8", kLanguageEnglish, u"en", "pt_BR.UTF-8"},
      {"ru_RU.UTF-8", kLanguageRussian, u"ru", "ru_RU.UTF-8"},
      {"de_DE.UTF-8", kLanguageGerman, u"de", "de_DE.UTF-8"},
      {"hy_AM.UTF-8", kLanguageArmenian, u"hy", "hy_AM.UTF-8"},
      {"C", kLanguageEnglish, u"en", "C"},
      {"POSIX", kLanguageEnglish, u"en", "C"},
  };
  for (const auto& c : kCases) {
    setenv("LC_ALL", c.lc_all, 1);
    WideString code;
    EXPECT_EQ(c.language, LanguageFromEnvironment(&code)) << c.lc_all;
    EXPECT_EQ(c.code, U16(code)) << c.lc_all;
    // It is now the process locale (so the locale really exists here).
    EXPECT_STREQ(c.process_locale, std::setlocale(LC_ALL, nullptr)) << c.lc_all;
  }
}

TEST_F(InstallerAppTest, MissingLocaleGivesEnglishAndKeepsProcessLocale) {
  ASSERT_NE(nullptr, std::setlocale(LC_ALL, "de_DE.UTF-8"));
  setenv("LC_ALL", "ru_XX.UTF-8", 1);  // not generated anywhere
  WideString code;
  EXPECT_EQ(kLanguageEnglish, LanguageFromEnvironment(&code));
  EXPECT_EQ(u"en", U16(code));
  EXPECT_STREQ("de_DE.UTF-8", std::setlocale(LC_ALL, nullptr));
}

// A locale whose categories differ: the language is that of its messages.
TEST_F(InstallerAppTest, AMixedLocaleTakesTheLanguageOfItsMessages) {
  setenv("LANG", "ru_RU.UTF-8", 1);
  setenv("LC_TIME", "de_DE.UTF-8", 1);
  WideString code;
  EXPECT_EQ(kLanguageRussian, LanguageFromEnvironment(&code));
  EXPECT_EQ(u"ru", U16(code));
  // The categories really differ, so the name lists them one by one.
  EXPECT_EQ(0, std::string(std::setlocale(LC_ALL, nullptr)).rfind("LC_", 0));
}

TEST_F(InstallerAppTest, RunSetsLanguageAndTitle) {
  const struct {
    const char* lc_all;
    std::vector<const char*> args;
    LanguageId language;
    const char16_t* code;
    const char16_t* title;
    bool silent;
    bool use_current_dir;
    const char* process_locale;  // afterwards
  } kCases[] = {
      {"uk_UA.UTF-8",
       {},
       kLanguageUkrainian,
       u"uk",
       u"Установка конфігурації",
       false,
       false,
       "uk_UA.UTF-8"},
      // The switch wins over the locale, which is then left alone.
      {"uk_UA.UTF-8",
       {"-Lde", "-S"},
       kLanguageGerman,
       u"de",
       u"Konfiguration wird installiert",
       false,
       false,
       "C"},
      {"C.UTF-8",
       {"usecwd", "/s", "-Lxx"},
       kLanguageEnglish,
       u"en",
       u"Installing configuration",
       true,
       true,
       "C.UTF-8"},
      {"ru_RU.UTF-8",
       {"-LRU"},
       kLanguageRussian,
       u"ru",
       u"Установка конфигурации",
       false,
       false,
       "ru_RU.UTF-8"},
  };
  for (const auto& c : kCases) {
    setenv("LC_ALL", c.lc_all, 1);
    std::setlocale(LC_ALL, "C");
    std::vector<char*> argv;
    std::unique_ptr<InstallerApp> app = RunWith(c.args, &argv);
    EXPECT_EQ(c.language, app->language_id()) << c.lc_all;
    EXPECT_EQ(c.language, app->command_line().language_id) << c.lc_all;
    EXPECT_EQ(c.language, StringTable::CurrentLanguage()) << c.lc_all;
    EXPECT_EQ(c.code, U16(app->command_line().language_code)) << c.lc_all;
    EXPECT_EQ(c.title, U16(app->title())) << c.lc_all;
    EXPECT_EQ(c.silent, app->command_line().silent) << c.lc_all;
    EXPECT_EQ(c.use_current_dir, app->command_line().use_current_dir)
        << c.lc_all;
    EXPECT_STREQ(c.process_locale, std::setlocale(LC_ALL, nullptr)) << c.lc_all;
  }
}

}  // namespace
