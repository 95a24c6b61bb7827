#include "text/text_conversion.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <locale.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "text/text_conversion_internal.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

extern char** environ;

namespace {

using text_internal::ConverterCodeset;
using text_internal::ConverterUsesUtf8Codec;
using text_internal::RestoreConverterForTesting;
using text_internal::UseConverterForTesting;

// Failures print the units or bytes in hex, which reads better than raw text.
std::string HexUnits(const std::u16string& units) {
  std::string out;
  char b[8];
  for (char16_t u : units) {
    snprintf(b, sizeof b, "%04X ", unsigned(u));
    out += b;
  }
  return out;
}
std::string HexUnits(const char16_t* units) {
  return HexUnits(std::u16string(units));
}
std::string HexUnits(const WideString& s) {
  return HexUnits(std::u16string(s.c_str(), s.length()));
}
std::string HexBytes(const std::string& bytes) {
  std::string out;
  char b[8];
  for (unsigned char c : bytes) {
    snprintf(b, sizeof b, "%02X ", unsigned(c));
    out += b;
  }
  return out;
}
std::string HexBytes(const NarrowString& s) {
  return HexBytes(std::string(s.c_str(), s.length()));
}

WideString Wide(const std::u16string& units) {
  return WideString(units.data(), static_cast<uint32_t>(units.size()));
}
NarrowString Narrow(const std::string& bytes) {
  return NarrowString(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

// Byte strings over an alphabet rich in the bytes that make UTF-8 hard:
// leads, continuations, the surrogate lead ED and bytes never valid.
std::vector<std::string> RandomByteStrings(unsigned seed, int count) {
  static const unsigned char kBytes[] = {
      'a',  '/',  0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xAF, 0xB0,
      0xB2, 0xBF, 0xC0, 0xC2, 0xD0, 0xDF, 0xE0, 0xE2, 0xED, 0xEF,
      0xF0, 0xF4, 0xF5, 0xFF, 0xB3, 0x82, 0xD2, 0xC9};
  std::mt19937 random(seed);
  std::vector<std::string> out;
  for (int i = 0; i < count; ++i) {
    std::string s(random() % 24, 'a');
    for (char& c : s) c = char(kBytes[random() % sizeof kBytes]);
    out.push_back(s);
  }
  return out;
}

void ExpectEveryByteStringRoundTrips(unsigned seed) {
  for (const std::string& bytes : RandomByteStrings(seed, 3000)) {
    EXPECT_EQ(HexBytes(bytes), HexBytes(ToNarrow(ToWide(Narrow(bytes)))));
  }
}

struct CodecCase {
  const char* name;
  const char* locale;
  bool force_locale_codec;
};

const CodecCase kAllCodecs[] = {
    {"RuUtf8", "ru_RU.UTF-8", false},
    {"C", "C", false},
    {"Posix", "POSIX", false},
    {"CUtf8", "C.UTF-8", false},
    {"RuUtf8ThroughCLibrary", "ru_RU.UTF-8", true},
};

void PrintTo(const CodecCase& c, std::ostream* os) { *os << c.name; }

std::string CaseName(const testing::TestParamInfo<CodecCase>& info) {
  return info.param.name;
}

class ConversionTest : public testing::TestWithParam<CodecCase> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(UseConverterForTesting(GetParam().locale,
                                       GetParam().force_locale_codec));
    ASSERT_EQ(!GetParam().force_locale_codec, ConverterUsesUtf8Codec());
  }
  void TearDown() override { RestoreConverterForTesting(); }
};

INSTANTIATE_TEST_SUITE_P(Codecs, ConversionTest, testing::ValuesIn(kAllCodecs),
                         CaseName);

TEST_P(ConversionTest, ValidTextConvertsBothWays) {
  const struct {
    std::string bytes;
    std::u16string units;
  } kCases[] = {
      {"", u""},
      {"templates/tqlaunch.cfg", u"templates/tqlaunch.cfg"},
      {"\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82",
       {0x41F, 0x440, 0x438, 0x432, 0x435, 0x442}},          // Привет
      {"\xE1\x83\x92\xE1\x83\x90", {0x10D2, 0x10D0}},        // Georgian
      {"\xD4\xB2\xD5\xA1\xD6\x80", {0x532, 0x561, 0x580}},   // Armenian
      {"\xD2\x9A\xD0\xB0", {0x49A, 0x430}},                  // Kazakh
      {"a\xF0\x9F\x98\x80z", {u'a', 0xD83D, 0xDE00, u'z'}},  // U+1F600
      {"\xF4\x8F\xBF\xBF", {0xDBFF, 0xDFFF}},                // U+10FFFF
      {"\xEF\xBF\xBF\xC2\x80", {0xFFFF, 0x80}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(HexBytes(c.bytes));
    EXPECT_EQ(HexUnits(c.units), HexUnits(ToWide(Narrow(c.bytes))));
    EXPECT_EQ(HexBytes(c.bytes), HexBytes(ToNarrow(Wide(c.units))));
  }
}

TEST_P(ConversionTest, InvalidBytesDecodeToOneUnitEachAndComeBack) {
  const struct {
    std::string bytes;
    std::u16string units;
  } kCases[] = {
      {"\x80", {0xDC80}},
      {"\xFF", {0xDCFF}},
      {"ab\xE2\x82", {u'a', u'b', 0xDCE2, 0xDC82}},  // truncated at the end
      {"\xF0\x9F\x98", {0xDCF0, 0xDC9F, 0xDC98}},
      {"\xC0\x80x", {0xDCC0, 0xDC80, u'x'}},  // overlong 0
      {"\xE0\x80\xAF", {0xDCE0, 0xDC80, 0xDCAF}},
      {"\xF4\x90\x80\x80", {0xDCF4, 0xDC90, 0xDC80, 0xDC80}},  // > U+10FFFF
      {"\xD0\xD0\x9F!", {0xDCD0, 0x41F, u'!'}},
      {"\xED\xB2\x80", {0xDCED, 0xDCB2, 0xDC80}},  // would be U+DC80 itself
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(HexBytes(c.bytes));
    const WideString wide = ToWide(Narrow(c.bytes));
    EXPECT_EQ(HexUnits(c.units), HexUnits(wide));
    EXPECT_EQ(HexBytes(c.bytes), HexBytes(ToNarrow(wide)));
  }
}

// UTF-8 whatever the converter: escape units give back their bytes and a
// lone surrogate its three-byte form, so Utf8ToWide undoes it.
TEST_P(ConversionTest, WideToUtf8IgnoresTheLocale) {
  const struct {
    std::u16string units;
    std::string bytes;
  } kCases[] = {
      {u"", ""},
      {u"dir\\file.cfg", "dir\\file.cfg"},
      {u"Ёж", "\xD0\x81\xD0\xB6"},
      {{u'a', 0xD83D, 0xDE00}, "a\xF0\x9F\x98\x80"},
      {{0xDCFF, u'x', 0xDC80}, "\xFFx\x80"},
      {{0xD800, u'y'}, "\xED\xA0\x80y"},
      {{0x80, 0x7FF, 0x800}, "\xC2\x80\xDF\xBF\xE0\xA0\x80"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(HexUnits(c.units));
    const NarrowString utf8 = WideToUtf8(Wide(c.units));
    EXPECT_EQ(HexBytes(c.bytes), HexBytes(utf8));
    EXPECT_EQ(HexUnits(c.units), HexUnits(Utf8ToWide(utf8)));
  }
}

TEST_P(ConversionTest, EveryByteStringRoundTrips) {
  ExpectEveryByteStringRoundTrips(7);
}

TEST_P(ConversionTest, ResultSizesAndEmptyTexts) {
  // Nine Georgian letters of three bytes each leave the inline form.
  const NarrowString narrow = ToNarrow(WideString(u"გამარჯობა"));
  EXPECT_EQ(27u, narrow.length());
  EXPECT_FALSE(narrow.is_inline());
  EXPECT_EQ(9u, ToWide(narrow).length());

  EXPECT_TRUE(ToNarrow(WideString()).empty());
  EXPECT_TRUE(ToWide(NarrowString()).empty());
  // Conversion stops at an embedded 0.
  EXPECT_EQ(HexBytes(std::string("ab")),
            HexBytes(ToNarrow(WideString(u"ab\0cd", 5))));
  EXPECT_EQ(HexUnits(u"ab"), HexUnits(ToWide(NarrowString("ab\0cd", 5))));
  EXPECT_TRUE(ToWide(NarrowString("\0x", 2)).empty());
}

TEST_P(ConversionTest, WideToMultibyteStoresWholeCharactersAndCountsAll) {
  const struct {
    std::u16string units;
    size_t count;
    size_t size;
    size_t expected;
    std::string buffer;  // the first size + 2 bytes afterwards
  } kCases[] = {
      {u"ЖЖЖ", 3, 5, 6, std::string("\xD0\x96\xD0\x96\0##", 7)},
      {u"ЖЖЖ", 3, 6, 6, "\xD0\x96\xD0\x96\xD0\x96##"},
      {u"ЖЖЖ", 3, 0, 6, "##"},
      {u"a\xD83D\xDE00", 3, 4, 5, std::string("a\0\0\0##", 6)},
      {u"abc", 2, 4, 2, std::string("ab\0\0##", 6)},
      {u"", 0, 4, 0, "######"},     // an empty text leaves the buffer alone
      {u"abc", 0, 4, 0, "######"},  // so does a count of 0
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(HexUnits(c.units) + "size " + std::to_string(c.size));
    std::string buffer(c.size + 2, '#');
    EXPECT_EQ(c.expected,
              WideToMultibyte(c.units.c_str(), c.count, buffer.data(), c.size));
    EXPECT_EQ(HexBytes(c.buffer), HexBytes(buffer));
  }
  EXPECT_EQ(6u, WideToMultibyte(u"ЖЖЖ", 3, nullptr, 0));
}

TEST_P(ConversionTest, MultibyteToWideStoresWholeCharactersAndCountsAll) {
  const struct {
    std::string bytes;
    size_t length;
    size_t capacity;
    size_t expected;
    std::u16string stored;
  } kCases[] = {
      {"Жук", 6, 0, 3, u""},
      {"Жук", 6, 2, 3, u"Жу"},
      {"Жук", 6, 3, 3, u"Жук"},
      {"a\xF0\x9F\x98\x80", 5, 2, 3, u"a"},  // the pair is not split
      {"abc", 2, 8, 2, u"ab"},               // length limits the text
      {"", 0, 8, 0, u""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(HexBytes(c.bytes) + "capacity " + std::to_string(c.capacity));
    std::u16string buffer(c.capacity + 2, u'#');
    EXPECT_EQ(c.expected, MultibyteToWide(c.bytes.c_str(), c.length,
                                          buffer.data(), c.capacity));
    std::u16string expected = c.stored;
    expected.resize(buffer.size(), u'#');
    EXPECT_EQ(HexUnits(expected), HexUnits(buffer));
  }
  EXPECT_EQ(3u, MultibyteToWide("Жук", 6, nullptr, 0));
}

// Several threads convert at once; none may see another's state, and the
// process locale (here "C", unlike the converter's) never changes.
TEST_P(ConversionTest, ThreadsConvertAtOnceWithoutTouchingProcessLocale) {
  const std::string before = setlocale(LC_ALL, nullptr);
  const struct {
    std::string bytes;
    std::u16string units;
  } kTexts[] = {
      {"\xD0\x9F\xD1\x80\xD0\xB8", u"При"},
      {"\xE1\x83\x92\xE1\x83\x90", u"გა"},
      {"\xD4\xB2\xD5\xA1", u"Բա"},
      {"\xF0\x9F\x98\x80\xFF", {0xD83D, 0xDE00, 0xDCFF}},
  };
  std::atomic<int> failures{0};
  std::atomic<int> waiting{4};
  auto work = [&](int offset) {
    // Start together so that the conversions really overlap.
    waiting.fetch_sub(1);
    while (waiting.load() != 0) std::this_thread::yield();
    for (int i = 0; i < 20000; ++i) {
      const auto& t = kTexts[(i + offset) % 4];
      if (!(ToWide(Narrow(t.bytes)) == Wide(t.units))) ++failures;
      if (!(ToNarrow(Wide(t.units)) == Narrow(t.bytes))) ++failures;
    }
    if (uselocale(static_cast<locale_t>(0)) != LC_GLOBAL_LOCALE) ++failures;
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) threads.emplace_back(work, t);
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(0, failures.load());
  EXPECT_EQ(before, setlocale(LC_ALL, nullptr));
}

// The built-in codec's handling of lone surrogates, which the C library's
// UTF-8 refuses.
class Utf8CodecTest : public ConversionTest {};

INSTANTIATE_TEST_SUITE_P(Codecs, Utf8CodecTest,
                         testing::Values(kAllCodecs[0], kAllCodecs[1],
                                         kAllCodecs[3]),
                         CaseName);

TEST_P(Utf8CodecTest, LoneSurrogatesTakeTheThreeByteFormAndComeBack) {
  const struct {
    std::u16string units;
    std::string bytes;
  } kCases[] = {
      {{0xD800}, "\xED\xA0\x80"},
      {{u'a', 0xDBFF, u'b'},
       "a\xED\xAF\xBF"
       "b"},
      {{0xDC00}, "\xED\xB0\x80"},
      {{0xDFFF, 0xDC7F}, "\xED\xBF\xBF\xED\xB1\xBF"},
      {{0xDE00, 0xD83D}, "\xED\xB8\x80\xED\xA0\xBD"},  // a reversed pair
      {{0xD800, 0xD800}, "\xED\xA0\x80\xED\xA0\x80"},
      {{0xD83D, 0xD83D, 0xDE00}, "\xED\xA0\xBD\xF0\x9F\x98\x80"},
      {{0xDCFF, 0xD800}, "\xFF\xED\xA0\x80"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(HexUnits(c.units));
    const NarrowString narrow = ToNarrow(Wide(c.units));
    EXPECT_EQ(HexBytes(c.bytes), HexBytes(narrow));
    EXPECT_EQ(HexUnits(c.units), HexUnits(ToWide(narrow)));
  }
}

TEST_P(Utf8CodecTest, SurrogateFormsThatWouldNotComeBackAreEscaped) {
  const struct {
    std::string bytes;
    std::u16string units;
  } kCases[] = {
      // A high surrogate before something that decodes to a low one would
      // be written back as a pair, so its bytes escape.
      {"\xED\xA0\x80\x80", {0xDCED, 0xDCA0, 0xDC80, 0xDC80}},
      {"\xED\xA0\x80\xED\xB0\x80", {0xDCED, 0xDCA0, 0xDC80, 0xDC00}},
      {"\xED\xA0\x80\xED\xA0\x81\xFF",
       {0xDCED, 0xDCA0, 0xDC80, 0xDCED, 0xDCA0, 0xDC81, 0xDCFF}},
      {"\xED\xA0\x80\xED\xA0\x81z", {0xD800, 0xD801, u'z'}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(HexBytes(c.bytes));
    const WideString wide = ToWide(Narrow(c.bytes));
    EXPECT_EQ(HexUnits(c.units), HexUnits(wide));
    EXPECT_EQ(HexBytes(c.bytes), HexBytes(ToNarrow(wide)));
  }
}

TEST_P(Utf8CodecTest, EveryTextWithoutEscapeUnitsRoundTrips) {
  static const char16_t kUnits[] = {
      u'a',   0x7F,   0x80,   0x7FF,  0x800,  0xD7FF, 0xD800, 0xDBFF,
      0xDC00, 0xDC7F, 0xDD00, 0xDFFF, 0xE000, 0xFFFF, 0xD83D, 0xDE00};
  std::mt19937 random(11);
  for (int i = 0; i < 3000; ++i) {
    std::u16string units(random() % 12, u'a');
    for (char16_t& u : units) u = kUnits[random() % std::size(kUnits)];
    SCOPED_TRACE(HexUnits(units));
    EXPECT_EQ(HexUnits(units), HexUnits(ToWide(ToNarrow(Wide(units)))));
  }
}

// Sets an environment variable for one scope and puts the old value back.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    const char* old = getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv(name, value, 1);
  }
  ~ScopedEnv() {
    if (had_) {
      setenv(name_, old_.c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  bool had_;
  std::string old_;
};

TEST(EnvironmentLocaleTest, ConverterFollowsTheEnvironment) {
  const struct {
    const char* lc_all;
    const char* codeset;
  } kCases[] = {
      {"ka_GE.UTF-8", "UTF-8"},
      {"C", "ANSI_X3.4-1968"},
      {"POSIX", "ANSI_X3.4-1968"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.lc_all);
    {
      ScopedEnv env("LC_ALL", c.lc_all);
      ASSERT_TRUE(UseConverterForTesting(""));
    }
    EXPECT_STREQ(c.codeset, ConverterCodeset());
    EXPECT_TRUE(ConverterUsesUtf8Codec());
    EXPECT_EQ(HexUnits(u"Բա"), HexUnits(ToWide("\xD4\xB2\xD5\xA1")));
    RestoreConverterForTesting();
  }
}

TEST(CompareNoCaseTest, FoldsAsciiLetters) {
  ASSERT_TRUE(UseConverterForTesting("ru_RU.UTF-8"));
  const struct {
    const char16_t* a;
    const char16_t* b;
    int sign;
  } kCases[] = {
      {u"ConfigurationTemplatesLocation", u"configurationtemplateslocation", 0},
      {u"RU", u"ru", 0},
      {u"", u"", 0},
      {u"abc", u"ABD", -1},
      {u"b", u"A", 1},
      {u"", u"a", -1},
      {u"/home/Ю/x", u"/HOME/Ю/X", 0},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(HexUnits(c.a) + "/ " + HexUnits(c.b));
    const int result = CompareNoCase(c.a, c.b);
    EXPECT_EQ(c.sign, (result > 0) - (result < 0));
  }
  RestoreConverterForTesting();
}

// A real single-byte locale, generated for the test: the C library path
// with an encoding that is not UTF-8.
class Koi8rTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    char dir[] = "/tmp/tq_locale_XXXXXX";
    if (mkdtemp(dir) == nullptr) return;
    locale_dir_ = dir;
    const std::string target = locale_dir_ + "/ru_RU.KOI8-R";
    const char* argv[] = {"localedef", "-f",           "KOI8-R", "-i",
                          "ru_RU",     target.c_str(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    if (posix_spawnp(&pid, "localedef", &actions, nullptr,
                     const_cast<char* const*>(argv), environ) == 0) {
      int status;
      waitpid(pid, &status, 0);
    }
    posix_spawn_file_actions_destroy(&actions);
  }
  static void TearDownTestSuite() {
    if (!locale_dir_.empty()) std::filesystem::remove_all(locale_dir_);
  }
  void SetUp() override {
    bool loaded;
    {
      ScopedEnv path("LOCPATH", locale_dir_.c_str());
      ScopedEnv env("LC_ALL", "ru_RU.KOI8-R");
#if defined(__SANITIZE_ADDRESS__)
      // With LOCPATH set, glibc's newlocale leaks its parsed copy of the
      // path; that allocation is the C library's, not ours.
      __lsan::ScopedDisabler no_leak_check;
#endif
      loaded = !locale_dir_.empty() && UseConverterForTesting("");
    }
    if (!loaded) GTEST_SKIP() << "could not generate ru_RU.KOI8-R";
    ASSERT_STREQ("KOI8-R", ConverterCodeset());
    ASSERT_FALSE(ConverterUsesUtf8Codec());
  }
  void TearDown() override { RestoreConverterForTesting(); }

  static std::string locale_dir_;
};

std::string Koi8rTest::locale_dir_;

TEST_F(Koi8rTest, ConvertsThroughTheLocaleEncoding) {
  const struct {
    std::u16string units;
    std::string bytes;
  } kCases[] = {
      {u"Привет", "\xF0\xD2\xC9\xD7\xC5\xD4"},
      {u"dir/Ёж", "dir/\xB3\xD6"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(HexBytes(c.bytes));
    EXPECT_EQ(HexBytes(c.bytes), HexBytes(ToNarrow(Wide(c.units))));
    EXPECT_EQ(HexUnits(c.units), HexUnits(ToWide(Narrow(c.bytes))));
  }
  // What the encoding cannot hold becomes "?"; the rest is kept.
  EXPECT_EQ(HexBytes(std::string("a?b?c?")),
            HexBytes(ToNarrow(
                Wide({u'a', 0x10D2, u'b', 0xD83D, 0xDE00, u'c', 0xD800}))));
  ExpectEveryByteStringRoundTrips(5);
}

TEST_F(Koi8rTest, WideToUtf8StaysUtf8) {
  EXPECT_EQ(HexBytes(std::string("dir/\xD0\x81\xD0\xB6")),
            HexBytes(WideToUtf8(WideString(u"dir/Ёж"))));
  EXPECT_EQ(HexBytes(std::string("dir/\xB3\xD6")),
            HexBytes(ToNarrow(WideString(u"dir/Ёж"))));
}

TEST_F(Koi8rTest, CompareNoCaseFoldsTheEncodingsLetters) {
  EXPECT_EQ(0, CompareNoCase(u"ПРИВЕТ", u"привет"));
  EXPECT_NE(0, CompareNoCase(u"ПРИВЕТ", u"пока"));
}

}  // namespace

namespace {

// An exact conversion refuses what the encoding would change: a character
// it cannot hold ("?" would take its place) and an escaped byte that reads
// back as a real character. Both would let two names of a kit become one.
TEST_F(Koi8rTest, ExactConversionRefusesWhatWouldChange) {
  NarrowString out("untouched");
  EXPECT_TRUE(ToNarrowExact(u"dir/Ёж.txt", &out));
  EXPECT_EQ(HexBytes(std::string("dir/\xB3\xD6.txt")), HexBytes(out));
  out = NarrowString("untouched");
  for (const std::u16string& text :
       {std::u16string(u"\u10E5\u10D0\u10E0\u10D7.txt"),  // Georgian
        std::u16string(u"\u03B1\u03B2\u03B3.txt"),        // Greek
        std::u16string{char16_t{0xDCF0}},  // the escaped byte that is "П" here
        std::u16string{u'a', char16_t{0xD83D}, char16_t{0xDE00}}}) {
    EXPECT_FALSE(ToNarrowExact(Wide(text), &out)) << HexUnits(text);
    EXPECT_EQ(std::string("untouched"), out.c_str());
  }
  // "????.txt" itself is representable, and stays distinct from them.
  EXPECT_TRUE(ToNarrowExact(u"????.txt", &out));
}

TEST(ExactConversionTest, Utf8HoldsEveryNameButJoinedEscapes) {
  NarrowString out;
  EXPECT_TRUE(ToNarrowExact(u"\u10E5\u10D0.txt", &out));
  EXPECT_TRUE(ToNarrowExact(Wide(std::u16string{u'x', char16_t{0xDCFF}}), &out));  // a lone bad byte
  // Two escaped bytes that together spell "é" would come back as "é".
  EXPECT_FALSE(ToNarrowExact(Wide(std::u16string{char16_t{0xDCC3}, char16_t{0xDCA9}}), &out));
}

}  // namespace
