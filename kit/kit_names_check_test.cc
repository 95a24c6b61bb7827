#include "kit/kit_names_check.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "text/text_conversion_internal.h"

namespace {

using K = NameRefusal::Kind;

struct Found {
  K kind;
  uint32_t index;
  uint32_t other;
  std::string path;
};

// Checks `names` (walked from memory), collecting at most `keep` refusals.
std::vector<Found> Check(const std::vector<WideString>& names,
                         size_t keep = 100, int* walks = nullptr) {
  const NameWalk walk = [&](const NameVisit& visit) {
    if (walks != nullptr) ++*walks;
    for (uint32_t i = 0; i < names.size(); ++i) {
      TQ_RETURN_IF_ERROR(visit(i, names[i]));
    }
    return Status::Ok();
  };
  std::vector<Found> found;
  EXPECT_TRUE(CheckKitNames(static_cast<uint32_t>(names.size()), walk,
                            [&](const NameRefusal& refusal) {
                              found.push_back({refusal.kind, refusal.index,
                                               refusal.other, refusal.path});
                              return found.size() < keep;
                            })
                  .ok());
  return found;
}

WideString Units(std::initializer_list<char16_t> units) {
  return WideString(units.begin(), static_cast<uint32_t>(units.size()));
}

// Every refusal, in the order promised: an entry's own in table order,
// then pairs by their later entry; a stop ends the check at once.
TEST(KitNamesCheckTest, RefusesInTheOrderPromised) {
  const std::vector<WideString> names = {
      u"d\\f",                     // 0: a file below d
      u"x\\y\\z",                  // 1
      Units({u'h', 0xDBFF}),       // 2: a lone high surrogate
      u"d",                        // 3: a file where 0 needs a directory
      u"x\\.\\w",                  // 4: "." component
      u"x\\\\y",                   // 5: the file 1 needs as a directory
      Units({0xDCC3, 0xDC9F}),     // 6: bytes that spell "\u00DF"
      u"\\d\\f",                   // 7: 0 again
      Units({u'p', 0xD83D, 0xDE00}),  // a pair: fine
      Units({u'b', 0xDCFF}),          // a byte that is no text: fine
      u"D\\F",                        // case differs: fine
  };
  const std::vector<Found> expected = {
      {K::kLoneSurrogate, 2, 0, "h\\uDBFF"},
      {K::kInvalid, 4, 0, "x/./w"},
      {K::kNotText, 6, 0, "\\uDCC3\\uDC9F"},
      {K::kFileAndDirectory, 3, 0, "d"},
      {K::kFileAndDirectory, 5, 1, "x/y"},
      {K::kTwice, 7, 0, "d/f"},
      {K::kFileAndDirectory, 7, 3, "d"},
  };
  // In a UTF-8 locale, which holds the byte of entry 9.
  ASSERT_TRUE(text_internal::UseConverterForTesting("C.UTF-8"));
  int walks = 0;
  const std::vector<Found> found = Check(names, 100, &walks);
  ASSERT_EQ(expected.size(), found.size());
  for (size_t i = 0; i < found.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(expected[i].kind, found[i].kind);
    EXPECT_EQ(expected[i].index, found[i].index);
    EXPECT_EQ(expected[i].other, found[i].other);
    EXPECT_EQ(expected[i].path, found[i].path);
  }
  EXPECT_EQ(3, walks);
  // The engine stops at the first: the table is not walked again.
  walks = 0;
  EXPECT_EQ(1u, Check(names, 1, &walks).size());
  EXPECT_EQ(1, walks);
  // Pairs only: one walk more to confirm them.
  walks = 0;
  EXPECT_EQ(1u, Check({u"a", u"a\\b"}, 1, &walks).size());
  EXPECT_EQ(3, walks);
  walks = 0;
  EXPECT_TRUE(Check({u"a", u"b\\a", u"a0"}, 100, &walks).empty());
  EXPECT_EQ(2, walks);
  text_internal::RestoreConverterForTesting();
}

}  // namespace
