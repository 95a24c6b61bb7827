#include "assets/assets.h"

#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

// An XPM array read the way GdkPixbuf reads it: the header "W H N C", N
// colour lines "<code> c <value>", then H rows of W codes of C characters.
struct Xpm {
  int width = 0;
  int height = 0;
  int chars_per_pixel = 0;
  std::map<std::string, std::string> palette;  // code -> "None" or "#rrggbb"
  std::vector<std::string> rows;

  std::string Pixel(int x, int y) const {
    const size_t c = static_cast<size_t>(chars_per_pixel);
    return palette.at(rows[y].substr(x * c, c));
  }
};

bool IsHexColour(const std::string& value) {
  if (value.size() != 7 || value[0] != '#') return false;
  for (size_t i = 1; i < value.size(); ++i) {
    if (!std::isxdigit(static_cast<unsigned char>(value[i]))) return false;
  }
  return true;
}

// Returns an empty string when `data` is a well-formed XPM, else what is
// wrong with it.
std::string ParseXpm(const char* const* data, Xpm* xpm) {
  if (data == nullptr || data[0] == nullptr) return "no header";
  std::istringstream header(data[0]);
  int colours = 0;
  if (!(header >> xpm->width >> xpm->height >> colours >>
        xpm->chars_per_pixel)) {
    return "bad header";
  }
  std::string rest;
  if (header >> rest) return "extra header field " + rest;
  if (xpm->width <= 0 || xpm->height <= 0 || colours <= 0 ||
      xpm->chars_per_pixel <= 0) {
    return "bad header values";
  }
  const size_t cpp = static_cast<size_t>(xpm->chars_per_pixel);
  for (int i = 0; i < colours; ++i) {
    const char* line = data[1 + i];
    if (line == nullptr) return "missing colour line";
    const std::string text(line);
    if (text.size() < cpp) return "short colour line: " + text;
    const std::string code = text.substr(0, cpp);
    std::istringstream fields(text.substr(cpp));
    std::string key, value, extra;
    if (!(fields >> key >> value) || key != "c" || (fields >> extra)) {
      return "bad colour line: " + text;
    }
    if (value != "None" && !IsHexColour(value)) {
      return "bad colour value: " + text;
    }
    if (!xpm->palette.emplace(code, value).second) {
      return "repeated code: " + text;
    }
  }
  for (int y = 0; y < xpm->height; ++y) {
    const char* line = data[1 + colours + y];
    if (line == nullptr) return "missing row " + std::to_string(y);
    const std::string row(line);
    if (row.size() != static_cast<size_t>(xpm->width) * cpp) {
      return "row " + std::to_string(y) + " has length " +
             std::to_string(row.size());
    }
    for (size_t x = 0; x < row.size(); x += cpp) {
      if (xpm->palette.count(row.substr(x, cpp)) == 0) {
        return "row " + std::to_string(y) + " has unknown code '" +
               row.substr(x, cpp) + "'";
      }
    }
    xpm->rows.push_back(row);
  }
  return "";
}

int CountValue(const Xpm& xpm, const std::string& value) {
  int n = 0;
  for (const auto& [code, v] : xpm.palette) n += v == value ? 1 : 0;
  return n;
}

// The checks above must reject broken data, or the picture tests prove
// nothing.
TEST(XpmParserTest, RejectsMalformedData) {
  struct Case {
    std::vector<const char*> lines;
    std::string error_start;
  };
  const std::vector<Case> cases = {
      {{"2 1 1 2", "aa c #000000", "aaaa", nullptr}, ""},
      {{"2 1 1", "aa c #000000", "aaaa", nullptr}, "bad header"},
      {{"2 1 1 2 x", "aa c #000000", "aaaa", nullptr}, "extra header"},
      {{"2 1 1 2", "aa c black", "aaaa", nullptr}, "bad colour value"},
      {{"2 1 1 2", "aa m #000000", "aaaa", nullptr}, "bad colour line"},
      {{"2 1 2 2", "aa c #000000", "aa c None", "aaaa", nullptr},
       "repeated code"},
      {{"2 1 1 2", "aa c #000000", "aaa", nullptr}, "row 0 has length 3"},
      {{"2 1 1 2", "aa c #000000", "aaab", nullptr}, "row 0 has unknown"},
      {{"2 2 1 2", "aa c #000000", "aaaa", nullptr}, "missing row 1"},
  };
  for (const Case& c : cases) {
    Xpm xpm;
    const std::string error = ParseXpm(c.lines.data(), &xpm);
    EXPECT_EQ(c.error_start, error.substr(0, c.error_start.size()))
        << c.lines[0] << " / " << c.lines[1] << ": " << error;
    if (c.error_start.empty()) {
      EXPECT_EQ("", error);
    }
  }
}

class IconTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ("", ParseXpm(IconXpm(), &xpm_)); }
  Xpm xpm_;
};

TEST_F(IconTest, Is256SquareWithTwoCharactersPerPixel) {
  EXPECT_EQ(kIconSize, xpm_.width);
  EXPECT_EQ(kIconSize, xpm_.height);
  EXPECT_EQ(2, xpm_.chars_per_pixel);
  EXPECT_EQ(static_cast<size_t>(kIconSize), xpm_.rows.size());
}

TEST_F(IconTest, HasOneTransparentColourAndAModestPalette) {
  EXPECT_EQ(1, CountValue(xpm_, "None"));
  EXPECT_LE(xpm_.palette.size(), 257u);
  EXPECT_GT(xpm_.palette.size(), 16u);  // a drawing, not a flat shape
}

TEST_F(IconTest, CornersAreTransparentAndTheMiddleIsDrawn) {
  const int last = kIconSize - 1;
  EXPECT_EQ("None", xpm_.Pixel(0, 0));
  EXPECT_EQ("None", xpm_.Pixel(last, 0));
  EXPECT_EQ("None", xpm_.Pixel(0, last));
  EXPECT_EQ("None", xpm_.Pixel(last, last));
  EXPECT_NE("None", xpm_.Pixel(kIconSize / 2, kIconSize / 2));
}

TEST_F(IconTest, MotifFillsMuchOfTheSquare) {
  int opaque = 0;
  for (int y = 0; y < kIconSize; ++y) {
    for (int x = 0; x < kIconSize; ++x) {
      opaque += xpm_.Pixel(x, y) != "None" ? 1 : 0;
    }
  }
  const int total = kIconSize * kIconSize;
  EXPECT_GT(opaque, total / 2);
  EXPECT_LT(opaque, total * 95 / 100);
}

class SidePictureTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ("", ParseXpm(SidePictureXpm(), &xpm_)); }
  Xpm xpm_;
};

TEST_F(SidePictureTest, Is158By286WithTwoCharactersPerPixel) {
  EXPECT_EQ(kSidePictureWidth, xpm_.width);
  EXPECT_EQ(kSidePictureHeight, xpm_.height);
  EXPECT_EQ(2, xpm_.chars_per_pixel);
  EXPECT_EQ(static_cast<size_t>(kSidePictureHeight), xpm_.rows.size());
}

TEST_F(SidePictureTest, IsOpaqueWithAModestPalette) {
  EXPECT_EQ(0, CountValue(xpm_, "None"));
  EXPECT_LE(xpm_.palette.size(), 256u);
  EXPECT_GT(xpm_.palette.size(), 16u);
}

// The background is a vertical gradient: the top row and the bottom row
// differ.
TEST_F(SidePictureTest, TopAndBottomDiffer) {
  EXPECT_NE(xpm_.Pixel(0, 0), xpm_.Pixel(0, kSidePictureHeight - 1));
}

}  // namespace
