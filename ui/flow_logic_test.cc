#include "ui/flow_logic.h"

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <string>
#include <vector>

#include "l10n/string_table.h"
#include "launcher_config/template_locations.h"
#include "ui/message_box.h"

namespace {

std::u16string U16(const WideString& text) {
  return std::u16string(text.c_str(), text.length());
}

std::vector<WideString> List(std::vector<std::u16string> items) {
  std::vector<WideString> result;
  for (const std::u16string& item : items) {
    result.emplace_back(item.data(), static_cast<uint32_t>(item.size()));
  }
  return result;
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

TEST(FlowLogicTest, CleansTemplateLocation) {
  struct Case {
    std::u16string location;
    bool url;
    std::u16string cleaned;
  } cases[] = {
      {u"/srv/tmplts", false, u"/srv/tmplts"},
      {u"file:///srv/tmplts", false, u"/srv/tmplts"},
      // Only the first marker goes.
      {u"file://file:///x", false, u"file:///x"},
      {u"/srv/t\r\n", false, u"/srv/t"},
      {u"/srv/\nt\r", false, u"/srv/t"},
      // Blanks around the location do not belong to it; inner ones do.
      {u" \t/srv/a b \r\n", false, u"/srv/a b"},
      {u"file:// /srv/t", false, u"/srv/t"},
      {u" \t ", false, u""},
      {u"http://host/t", true, u""},
      {u"/x/https://y", true, u""},
      {u"ftp://host", true, u""},
      {u"file://ftp://host", true, u""},
      // Markers are case-sensitive.
      {u"HTTP://host", false, u"HTTP://host"},
      {u"FILE:///srv", false, u"FILE:///srv"},
      {u"", false, u""},
  };
  for (const Case& c : cases) {
    const WideString location(c.location.data(),
                              static_cast<uint32_t>(c.location.size()));
    EXPECT_EQ(c.url, IsUrlLocation(location));
    EXPECT_EQ(c.cleaned, U16(CleanTemplateLocation(location)));
  }
}

TEST(FlowLogicTest, ChoosesFirstUsableLocation) {
  struct Case {
    std::vector<std::u16string> locations;
    std::vector<std::u16string> writable;
    std::u16string chosen;
    std::vector<std::u16string> probed;
    bool fell_back;
    std::u16string first_skipped;
  } cases[] = {
      {{}, {}, u"/home/ann/def/", {}, false, u""},
      {{u"/a", u"/b"}, {u"/b"}, u"/b", {u"/a", u"/b"}, false, u""},
      {{u"/a", u"/b"}, {u"/a", u"/b"}, u"/a", {u"/a"}, false, u""},
      {{u"/a", u"/b"}, {}, u"/home/ann/def/", {u"/a", u"/b"}, true, u"/a"},
      // Probed and used without the marker, the line ends and the blanks.
      {{u"file:///a\r"}, {u"/a"}, u"/a", {u"/a"}, false, u""},
      {{u" /abs \t"}, {u"/abs"}, u"/abs", {u"/abs"}, false, u""},
      // The home directory, however the location was wrapped.
      {{u"~/tgt"},
       {u"/home/ann/tgt"},
       u"/home/ann/tgt",
       {u"/home/ann/tgt"},
       false,
       u""},
      {{u"~"}, {u"/home/ann"}, u"/home/ann", {u"/home/ann"}, false, u""},
      {{u"file:// ~/t\r\n"},
       {u"/home/ann/t"},
       u"/home/ann/t",
       {u"/home/ann/t"},
       false,
       u""},
      // Trailing separators do not make a location unusable.
      {{u"/a/b//"}, {u"/a/b//"}, u"/a/b//", {u"/a/b//"}, false, u""},
      // A URL is taken, unprobed, and leaves nothing to install into.
      {{u"http://h/t", u"/b"}, {u"/b"}, u"", {}, false, u""},
      {{u"/a", u"ftp://h"}, {u"/b"}, u"", {u"/a"}, false, u""},
      {{u"rel", u"https://h"}, {u"rel"}, u"", {}, false, u""},
      // Empty and relative entries are not probed: they would mean wherever
      // the installer was started. Writable or not, the default is used.
      {{u"", u"\r\n", u"/b"}, {u"", u"/b"}, u"/b", {u"/b"}, false, u""},
      {{u".", u"./", u" ", u"\t", u"rel/dir", u"~ann/t", u"tgt//", u"~x"},
       {u".", u"./", u" ", u"", u"rel/dir", u"~ann/t", u"tgt//", u"~x"},
       u"/home/ann/def/",
       {},
       true,
       u"."},
      {{u" ", u"/a"}, {}, u"/home/ann/def/", {u"/a"}, true, u" "},
      {{u"rel", u"/b"}, {u"rel", u"/b"}, u"/b", {u"/b"}, false, u""},
  };
  for (const Case& c : cases) {
    std::vector<std::u16string> probed;
    const std::vector<WideString> writable = List(c.writable);
    const TargetChoice choice =
        ChooseTargetDir(List(c.locations), u"/home/ann/def/", u"/home/ann",
                        [&](const WideString& dir) {
                          probed.push_back(U16(dir));
                          for (const WideString& w : writable) {
                            if (w == dir) return true;
                          }
                          return false;
                        });
    const std::u16string shown =
        c.locations.empty() ? u"(none)" : c.locations.front();
    SCOPED_TRACE(std::string(shown.begin(), shown.end()));
    EXPECT_EQ(c.chosen, U16(choice.dir));
    EXPECT_EQ(c.probed, probed);
    EXPECT_EQ(c.fell_back, choice.fell_back);
    EXPECT_EQ(c.first_skipped, U16(choice.first_skipped));
  }
}

// Without a home directory "~" names nothing, not the root.
TEST(FlowLogicTest, HomeLocationWithoutHomeIsSkipped) {
  const TargetChoice choice =
      ChooseTargetDir(List({u"~/t", u"~"}), u"/def/", u"",
                      [](const WideString&) { return true; });
  EXPECT_EQ(u"/def/", U16(choice.dir));
  EXPECT_TRUE(choice.fell_back);
  EXPECT_EQ(u"~/t", U16(choice.first_skipped));
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

TEST(FlowLogicTest, FreeSpaceDecision) {
  constexpr uint64_t kMax = ~uint64_t{0};
  struct Case {
    std::optional<uint64_t> kit_size;
    std::optional<uint64_t> free_bytes;
    bool lacks;
  } cases[] = {
      {100000000, 300000000, false},
      {100000000, 299999999, true},
      {100000000, 5ull << 30, false},
      {1, 0, true},  // free space that could not be measured
      {0, 0, false},
      {std::nullopt, 0, false},
      {100, std::nullopt, false},
      {kMax / 3 + 1, kMax, true},  // 3 x size overflows 64 bits
      {kMax / 3, kMax, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.lacks, LacksSpaceForKit(c.kit_size, c.free_bytes))
        << c.kit_size.value_or(0) << " " << c.free_bytes.value_or(0);
  }
}

TEST(FlowLogicTest, PathsOfKitAndDescription) {
  EXPECT_EQ(u"/opt/inst/tqkt.efd", U16(KitPathBeside(u"/opt/inst/setup")));
  EXPECT_EQ(u"/tqkt.efd", U16(KitPathBeside(u"/setup")));
  EXPECT_EQ(u"setup/tqkt.efd", U16(KitPathBeside(u"setup")));
  EXPECT_EQ(u"", U16(KitPathBeside(u"")));

  struct Case {
    std::u16string target;
    std::u16string description;
    std::u16string path;
  } cases[] = {
      {u"/data/tmplts/", u"readme.html", u"/data/tmplts/readme.html"},
      {u"/data/tmplts", u"\\readme.html", u"/data/tmplts/readme.html"},
      {u"/data/tmplts", u"readme.html", u"/data/tmpltsreadme.html"},
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

TEST(FlowLogicTest, RecordsNewLocationFirst) {
  struct Case {
    std::vector<std::u16string> before;
    std::u16string target;
    std::vector<std::u16string> after;
  } cases[] = {
      {{u"/a", u"/data/tmplts"},
       u"/data/tmplts/",
       {u"/data/tmplts", u"/a", u"/data/tmplts"}},
      // Every trailing separator of the new one goes; the others keep their
      // spelling.
      {{u"/a//", u"tgt\\"}, u"/d//\\", {u"/d", u"/a//", u"tgt\\"}},
      {{}, u"/", {u"/"}},
      {{}, u"///", {u"/"}},
      {{}, u"", {u""}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.target.begin(), c.target.end()));
    const WideString target = List({c.target}).front();
    EXPECT_EQ(List(c.after), LocationsAfterSuccess(List(c.before), target));
  }
}

// Runs into one directory spelt with more and more trailing separators leave
// one location, in the spelling of the latest run.
TEST(FlowLogicTest, RepeatedRunsKeepOneLocation) {
  std::vector<WideString> locations = List({u"/other"});
  for (const char16_t* target : {u"/srv/tgt", u"/srv/tgt/", u"/SRV/tgt//"}) {
    locations = LocationsAfterSuccess(locations, target);
    DedupLocations(locations);
  }
  EXPECT_EQ(List({u"/SRV/tgt", u"/other"}), locations);
}

TEST(FlowLogicTest, ConfigFilesAndExitStatus) {
  struct Case {
    bool common_used;
    bool common_exists;
    bool user;
    bool common;
  } cases[] = {
      {false, false, true, false},  // nothing yet: the user file is created
      {true, true, false, true},    // locations from the common file
      {false, true, true, true},    // common file without locations
  };
  for (const Case& c : cases) {
    const ConfigWrites writes =
        ConfigFilesToWrite(c.common_used, c.common_exists);
    EXPECT_EQ(c.user, writes.user);
    EXPECT_EQ(c.common, writes.common);
  }

  EXPECT_EQ(0, ExitStatusFor(Outcome::kSucceeded));
  EXPECT_EQ(1, ExitStatusFor(Outcome::kFailed));
  EXPECT_EQ(1, ExitStatusFor(Outcome::kNoDisplay));
  EXPECT_EQ(2, ExitStatusFor(Outcome::kCancelled));
  EXPECT_EQ(2, ExitStatusFor(Outcome::kUnfinished));
}

TEST(FlowLogicTest, MessageBoxCodes) {
  struct Case {
    MessageBoxCode code;
    MessageKind kind;
    bool yes_no;
  } cases[] = {
      {kMessageBoxQuestion, MessageKind::kQuestion, true},
      {kMessageBoxError, MessageKind::kError, false},
      {kMessageBoxPlain, MessageKind::kPlain, false},
      {0x01FFFF02, MessageKind::kError, true},  // middle bytes unused
      {0x03000002, MessageKind::kPlain, true},
      {0x02000102, MessageKind::kQuestion, true},
      {0x02000202, MessageKind::kQuestion, true},
      {0x02000003, MessageKind::kQuestion, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.kind, MessageKindOf(c.code)) << std::hex << c.code;
    EXPECT_EQ(c.yes_no, HasYesNoButtons(c.code)) << std::hex << c.code;
  }
  EXPECT_EQ(kMessageBoxYes, MessageBoxResultFor(GTK_RESPONSE_YES));
  EXPECT_EQ(kMessageBoxNo, MessageBoxResultFor(GTK_RESPONSE_NO));
  EXPECT_EQ(kMessageBoxOk, MessageBoxResultFor(GTK_RESPONSE_OK));
  EXPECT_EQ(kMessageBoxOther, MessageBoxResultFor(GTK_RESPONSE_CANCEL));
  EXPECT_EQ(kMessageBoxOther, MessageBoxResultFor(GTK_RESPONSE_DELETE_EVENT));
  EXPECT_EQ(kMessageBoxOther, MessageBoxResultFor(GTK_RESPONSE_CLOSE));
}

}  // namespace
