#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "launcher_config/template_locations.h"

// Which template directory an installation proposes and records.
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

TEST(TargetChoiceTest, CleansTemplateLocation) {
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
TEST(TargetChoiceTest, ChoosesFirstUsableLocation) {
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
TEST(TargetChoiceTest, HomeLocationWithoutHomeIsSkipped) {
  const TargetChoice choice =
      ChooseTargetDir(List({u"~/t", u"~"}), u"/def/", u"",
                      [](const WideString&) { return true; });
  EXPECT_EQ(u"/def/", U16(choice.dir));
  EXPECT_TRUE(choice.fell_back);
  EXPECT_EQ(u"~/t", U16(choice.first_skipped));
}
TEST(TargetChoiceTest, RecordsNewLocationFirst) {
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
TEST(TargetChoiceTest, RepeatedRunsKeepOneLocation) {
  std::vector<WideString> locations = List({u"/other"});
  for (const char16_t* target : {u"/srv/tgt", u"/srv/tgt/", u"/SRV/tgt//"}) {
    locations = LocationsAfterSuccess(locations, target);
    DedupLocations(locations);
  }
  EXPECT_EQ(List({u"/SRV/tgt", u"/other"}), locations);
}
TEST(TargetChoiceTest, ConfigFilesToWrite) {
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
}

}  // namespace
