#include "kit/entry_names.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

using P = EntryNameProblem;

// `count` components of `width` bytes each, joined by "/".
std::string Components(int count, size_t width, char fill = 'c') {
  std::string path;
  for (int i = 0; i < count; ++i) {
    if (i > 0) path += '/';
    path += std::string(width, fill);
  }
  return path;
}

WideString Repeat(char16_t unit, uint32_t count) {
  WideString text;
  for (uint32_t i = 0; i < count; ++i) text.push_back(unit);
  return text;
}

// 16 components of 127 "Ж" each, joined by "\\": 4079 bytes of UTF-8.
WideString SixteenComponents() {
  WideString name;
  for (int i = 0; i < 16; ++i) {
    if (i > 0) name.push_back(u'\\');
    name.append(Repeat(u'Ж', 127));
  }
  return name;
}

TEST(CheckEntryPathTest, Table) {
  const struct {
    std::string path;
    EntryNameProblem problem;
  } cases[] = {
      {"a", P::kNone},
      {"a/b.cfg", P::kNone},
      {"/a", P::kNone},  // leading and doubled separators add nothing
      {"//a///b", P::kNone},
      {"...", P::kNone},
      {".a/a.", P::kNone},
      {std::string("a\0b", 3), P::kNone},  // bytes only
      {"", P::kEmpty},
      {"/", P::kEmpty},
      {"///", P::kEmpty},
      {"a/", P::kTrailingSeparator},
      {"a/b//", P::kTrailingSeparator},
      {"./", P::kTrailingSeparator},  // the enum's order decides
      {".", P::kDotComponent},
      {"a/./b", P::kDotComponent},
      {"a/..", P::kDotComponent},
      {"../x", P::kDotComponent},
      {"../" + std::string(256, 'x'), P::kDotComponent},
      {std::string(255, 'x'), P::kNone},
      {std::string(256, 'x'), P::kComponentTooLong},
      {"a/" + std::string(256, 'x') + "/b", P::kComponentTooLong},
      {Components(16, 255) + "/" + std::string(255, 'x'), P::kPathTooLong},
      // 4095 bytes are the most a path can have.
      {Components(15, 255) + "/" + std::string(255, 'x'), P::kNone},
      {Components(15, 255) + "/y/" + std::string(254, 'x'), P::kPathTooLong},
      // Separators count: they reach the system as part of the path.
      {"/" + Components(15, 255) + "/" + std::string(255, 'x'),
       P::kPathTooLong},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path.size() < 40 ? c.path : std::to_string(c.path.size()));
    EXPECT_EQ(c.problem, CheckEntryPath(c.path));
  }
}

TEST(CheckEntryNameTest, ControlCharactersThenTheUtf8Path) {
  const struct {
    const char* what;
    WideString name;
    EntryNameProblem problem;
  } cases[] = {
      {"plain", u"sub\\a.cfg", P::kNone},
      {"mixed separators", u"a/b\\c", P::kNone},
      {"space and tilde", u" ~", P::kNone},
      {"no-break space", u"a\u00A0b", P::kNone},
      {"non-ASCII", u"Шаблоны\\Ёж.txt", P::kNone},
      {"NUL", WideString(u"a\0b", 3), P::kControlCharacter},
      {"newline", u"a\nb", P::kControlCharacter},
      {"U+001F", u"a\u001F", P::kControlCharacter},
      {"ESC", u"\u001B[31mred", P::kControlCharacter},
      {"DEL", u"a\u007F", P::kControlCharacter},
      {"U+0080", u"\u0080", P::kControlCharacter},
      {"U+009F", u"x\\\u009F", P::kControlCharacter},
      {"control before the others", u"\\\\\n\\", P::kControlCharacter},
      {"only separators", u"\\\\", P::kEmpty},
      {"trailing backslash", u"a\\", P::kTrailingSeparator},
      {"dot component", u"a\\.\\b", P::kDotComponent},
      {"dot-dot with slash", u"a/../b", P::kDotComponent},
      // Lengths in UTF-8 bytes: "Ж" is two.
      {"127 Ж and a", Repeat(u'Ж', 127) + WideString(u"a"), P::kNone},
      {"128 Ж", Repeat(u'Ж', 128), P::kComponentTooLong},
      {"255 three-byte", Repeat(u'\u20AC', 85), P::kNone},
      {"256 three-byte", Repeat(u'\u20AC', 85) + WideString(u"x"),
       P::kComponentTooLong},
      // An escape unit stands for one byte.
      {"255 escaped bytes", Repeat(char16_t(0xDCFF), 255), P::kNone},
      // 16 components of 254 bytes and 15 separators: 4079 bytes.
      {"4095 bytes", SixteenComponents() + WideString(u"\\ЖЖЖЖЖЖЖa"), P::kNone},
      {"4096 bytes in 2056 units",
       SixteenComponents() + WideString(u"\\ЖЖЖЖЖЖЖЖ"), P::kPathTooLong},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.problem, CheckEntryName(c.name));
  }
}

TEST(EntryPathOfTest, Utf8WithSlashes) {
  EXPECT_EQ("a/b/\xD0\x96", EntryPathOf(u"a\\b/Ж"));
  const char16_t escaped[] = {0xDCFF, u'\\', u'x', 0};
  EXPECT_EQ("\xff/x", EntryPathOf(escaped));
}

TEST(NormalisedEntryPathTest, Table) {
  const struct {
    const char* path;
    const char* normalised;
  } cases[] = {
      {"a", "a"},           {"a/b", "a/b"},       {"/a//b", "a/b"},
      {"./a/./b/.", "a/b"}, {"a/../b", "a/../b"}, {"", ""},
      {"//", ""},           {"a/", "a"},          {".hidden/x.", ".hidden/x."},
      {"A/b", "A/b"},  // case stays
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(c.normalised, NormalisedEntryPath(c.path));
  }
}

using Pairs = std::vector<std::pair<uint32_t, uint32_t>>;

TEST(DuplicateNameFinderTest, PairsEachLaterCopyWithTheFirst) {
  DuplicateNameFinder finder;
  const std::pair<uint32_t, const char*> names[] = {
      {7, "a/b"}, {2, "a/b"}, {3, "A/b"}, {4, "c"},
      {9, "a/b"}, {5, "c"},   {6, "d"},   {8, "ab"},
  };
  for (const auto& [index, name] : names) finder.Add(index, name);
  EXPECT_EQ((Pairs{{4, 5}, {2, 7}, {2, 9}}), finder.Candidates());
  EXPECT_EQ(Pairs{}, DuplicateNameFinder().Candidates());
}

TEST(DuplicateNameFinderTest, ManyNames) {
  DuplicateNameFinder distinct;
  for (uint32_t i = 0; i < 100000; ++i) {
    distinct.Add(i, "dir/file" + std::to_string(i) + ".cfg");
  }
  EXPECT_EQ(Pairs{}, distinct.Candidates());

  DuplicateNameFinder same;
  for (uint32_t i = 0; i < 100000; ++i) same.Add(99999 - i, "x");
  const Pairs pairs = same.Candidates();
  ASSERT_EQ(99999u, pairs.size());
  for (uint32_t i = 0; i < pairs.size(); ++i) {
    ASSERT_EQ(std::make_pair(0u, i + 1), pairs[i]);
  }
}

}  // namespace
