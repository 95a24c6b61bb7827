#include "text/path_utils.h"

#include <gtest/gtest.h>

#include <climits>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

std::u16string Units(const WideString& s) {
  return std::u16string(s.c_str(), s.length());
}

// Failures print as ASCII; the texts here are ASCII.
std::string Ascii(const WideString& s) {
  std::string out;
  for (char16_t u : Units(s)) out += u < 0x80 ? char(u) : '?';
  return out;
}

TEST(ReplaceAllTest, Table) {
  const struct {
    const char16_t* subject;
    const char16_t* from;
    const char16_t* to;
    int32_t count;
    const char16_t* result;
  } kCases[] = {
      {u"a\\b\\c", u"\\", u"/", 2, u"a/b/c"},
      {u"a\\b\\c", u"", u"/", 0, u"a\\b\\c"},
      {u"", u"a", u"b", 0, u""},
      {u"a", u"ab", u"b", 0, u"a"},
      {u"abc", u"x", u"yy", 0, u"abc"},
      {u"aaa", u"aa", u"b", 1, u"ba"},   // occurrences do not overlap
      {u"xx", u"x", u"xx", 2, u"xxxx"},  // inserted text is not searched
      {u"aaaa", u"aa", u"a", 2, u"aa"},
      {u"aaaa", u"a", u"", 4, u""},
      {u"abab", u"ab", u"ba", 2, u"baba"},
      {u"--a--b--", u"--", u"/", 3, u"/a/b/"},
      {u"C:\\Program Files\\Tq\\templates\\x", u"\\", u"/", 4,
       u"C:/Program Files/Tq/templates/x"},
      {u"long/path/with/several/parts", u"/", u"\\\\", 4,
       u"long\\\\path\\\\with\\\\several\\\\parts"},
      {u"long/path/with/several/parts", u"long/path/with/several/parts", u"", 1,
       u""},
  };
  for (const auto& c : kCases) {
    WideString subject(c.subject);
    SCOPED_TRACE(Ascii(subject) + " / " + Ascii(c.from) + " / " + Ascii(c.to));
    EXPECT_EQ(c.count, ReplaceAll(subject, c.from, c.to));
    EXPECT_EQ(std::u16string(c.result), Units(subject));
  }
}

TEST(ReplaceAllTest, SharedSubjectLeavesOtherHoldersUnchanged) {
  const char16_t* original = u"shared\\long\\path\\text";
  for (const char16_t* to : {u"/", u"//"}) {  // in place, and rebuilt
    WideString subject(original);
    const WideString other = subject;
    ReplaceAll(subject, u"\\", to);
    EXPECT_EQ(std::u16string(original), Units(other));
    EXPECT_NE(Units(other), Units(subject));
  }
}

TEST(ReplaceAllTest, ArgumentsMayBeTheSubjectItself) {
  WideString subject(u"a long subject text");
  EXPECT_EQ(1, ReplaceAll(subject, subject, u"x"));
  EXPECT_EQ(u"x", Units(subject));

  subject = WideString(u"a-b");
  EXPECT_EQ(1, ReplaceAll(subject, u"-", subject));
  EXPECT_EQ(u"aa-bb", Units(subject));
}

TEST(ReplaceAllTest, TooLongResultThrowsBeforeChanging) {
  // 65536 x 32769 units is just past the longest possible text.
  const std::u16string a(65536, u'a');
  WideString subject(a.data(), static_cast<uint32_t>(a.size()));
  const std::u16string b(32769, u'b');
  const WideString to(b.data(), static_cast<uint32_t>(b.size()));
  try {
    ReplaceAll(subject, u"a", to);
    ADD_FAILURE() << "no length error";
  } catch (const std::length_error& e) {
    EXPECT_STREQ("basic_string", e.what());
  }
  EXPECT_EQ(a, Units(subject));
}

TEST(ToSlashesTest, SingleAndList) {
  WideString path(u"\\a\\b/c\\");
  ToSlashes(path);
  EXPECT_EQ(u"/a/b/c/", Units(path));

  std::vector<WideString> paths = {u"x\\y", u"", u"plain", u"\\\\"};
  ToSlashes(paths);
  ASSERT_EQ(4u, paths.size());
  EXPECT_EQ(u"x/y", Units(paths[0]));
  EXPECT_EQ(u"", Units(paths[1]));
  EXPECT_EQ(u"plain", Units(paths[2]));
  EXPECT_EQ(u"//", Units(paths[3]));
}

TEST(SeparatorTest, AppendSeparator) {
  using V = SeparatorVariant;
  const struct {
    V variant;
    const char16_t* path;
    const char16_t* result;
  } kCases[] = {
      {V::kSlash, u"dir", u"dir/"},
      {V::kSlash, u"dir/", u"dir/"},
      {V::kSlash, u"dir\\", u"dir\\"},
      {V::kSlash, u"", u""},
      {V::kBackslash, u"dir", u"dir\\"},
      {V::kBackslash, u"dir/", u"dir/"},
      {V::kBackslash, u"dir\\", u"dir\\"},
      {V::kBackslash, u"", u""},
      {V::kSlashOnly, u"dir", u"dir/"},
      {V::kSlashOnly, u"dir\\", u"dir\\/"},
      {V::kSlashOnly, u"dir/", u"dir/"},
      {V::kSlashOnly, u"", u""},
      {V::kSlash, u"/home/user/templates", u"/home/user/templates/"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(Ascii(c.path) + " variant " +
                 std::to_string(static_cast<int>(c.variant)));
    WideString path(c.path);
    AppendSeparator(path, c.variant);
    EXPECT_EQ(std::u16string(c.result), Units(path));
  }
}

TEST(SeparatorTest, StripSeparator) {
  const struct {
    const char16_t* path;
    const char16_t* result;
  } kCases[] = {
      {u"dir//", u"dir/"},
      {u"dir/", u"dir"},
      {u"dir\\", u"dir"},
      {u"dir", u"dir"},
      {u"", u""},
      {u"/", u""},
      {u"/home/user/templates/", u"/home/user/templates"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(Ascii(c.path));
    WideString path(c.path);
    StripSeparator(path);
    EXPECT_EQ(std::u16string(c.result), Units(path));
  }
}

TEST(IsRootPathTest, OnlyASingleSlash) {
  EXPECT_TRUE(IsRootPath(u"/"));
  for (const char16_t* path : {u"//", u"", u"\\", u"/a", u"a"}) {
    SCOPED_TRACE(Ascii(path));
    EXPECT_FALSE(IsRootPath(path));
  }
}

TEST(FormatIntegerTest, Table) {
  const struct {
    uint32_t value;
    uint32_t radix;
    const char16_t* text;
  } kCases[] = {
      {0, 10, u"0"},
      {static_cast<uint32_t>(-5), 10, u"-5"},
      {static_cast<uint32_t>(INT_MIN), 10, u"-2147483648"},
      {INT_MAX, 10, u"2147483647"},
      {1234567890, 10, u"1234567890"},
      {255, 16, u"ff"},
      {0xFFFFFFFFu, 16, u"ffffffff"},
      {5, 2, u"101"},
      {0x80000000u, 2, u"10000000000000000000000000000000"},
      {35, 36, u"z"},
      {0xFFFFFFFFu, 36, u"1z141z3"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::to_string(c.value) + " radix " + std::to_string(c.radix));
    EXPECT_EQ(std::u16string(c.text), Units(FormatInteger(c.value, c.radix)));
  }
  EXPECT_EQ(11u, FormatInteger(static_cast<uint32_t>(INT_MIN), 10).length());
}

TEST(FormatIntegerTest, MeaninglessRadixThrows) {
  for (uint32_t radix : {0u, 1u, 37u}) {
    EXPECT_THROW(FormatInteger(10, radix), std::invalid_argument);
  }
}

}  // namespace
