#include "ui/utf8_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

WideString W(const std::u16string& units) {
  return WideString(units.data(), static_cast<uint32_t>(units.size()));
}

std::u16string U16(const WideString& text) {
  return std::u16string(text.c_str(), text.length());
}

TEST(Utf8TextTest, EncodesForTheToolkit) {
  struct Case {
    std::u16string text;
    std::string utf8;
  } cases[] = {
      {u"", ""},
      {u"Next >", "Next >"},
      {u"\u0414\u0430\u043b\u0435\u0435",
       "\xD0\x94\xD0\xB0\xD0\xBB\xD0\xB5\xD0\xB5"},
      {u"\u10E5\u20AC", "\xE1\x83\xA5\xE2\x82\xAC"},
      {u"\U0001F600", "\xF0\x9F\x98\x80"},  // a pair is one character
      {u"a\xD83D"
       u"b",
       "a\xEF\xBF\xBD"
       "b"},                        // lone high surrogate
      {u"\xDCFF", "\xEF\xBF\xBD"},  // an undecodable file-name byte
      {u"\xDE00\xD800", "\xEF\xBF\xBD\xEF\xBF\xBD"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.utf8, ToUtf8(W(c.text)));
}

TEST(Utf8TextTest, DecodesWhatTheToolkitReturns) {
  struct Case {
    std::string utf8;
    std::u16string text;
  } cases[] = {
      {"", u""},
      {"/home/\xD0\x90nn", u"/home/\u0410nn"},
      {"\xF0\x9F\x98\x80", u"\U0001F600"},
      {"a\xFF"
       "b",
       u"a\xDCFF"
       u"b"},                                   // not UTF-8
      {"\xC0\xAF", u"\xDCC0\xDCAF"},            // overlong
      {"\xED\xA0\x80", u"\xDCED\xDCA0\xDC80"},  // encoded surrogate
      {"\xE2\x82", u"\xDCE2\xDC82"},            // cut short
  };
  for (const Case& c : cases) EXPECT_EQ(c.text, U16(FromUtf8(c.utf8.c_str())));
  EXPECT_EQ(u"", U16(FromUtf8(nullptr)));
}

}  // namespace
