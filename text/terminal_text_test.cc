#include "text/terminal_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ProgressBarLineTest, FillsTheLineExactlyAndCutsThePathFromTheFront) {
  for (const int columns : {60, 80, 133}) {
    SCOPED_TRACE(columns);
    const std::string line =
        ProgressBarLine(42, std::string(300, 'p') + "/end.cfg", columns);
    // The carriage return, then one column less than the terminal: the
    // cursor never reaches the last column, so the line never wraps.
    EXPECT_EQ(static_cast<size_t>(columns), line.size());
    EXPECT_EQ(0u, line.find("\r[############                  ]  42% ..."));
    EXPECT_EQ("/end.cfg", line.substr(line.size() - 8));
  }
  const std::string full = ProgressBarLine(100, "a", 80);
  EXPECT_EQ(0u, full.find("\r[" + std::string(30, '#') + "] 100% a "));
  EXPECT_EQ(ProgressBarLine(0, "", 80), ProgressBarLine(-5, "", 80));
  EXPECT_EQ(ProgressBarLine(100, "", 80), ProgressBarLine(250, "", 80));
  // At 40 columns the bar takes all but one; narrower counts as 40.
  EXPECT_EQ(40u, ProgressBarLine(1, "xyz", 40).size());
  EXPECT_EQ(ProgressBarLine(1, "xyz", 40), ProgressBarLine(1, "xyz", 10));
}

TEST(ProgressBarLineTest, CutsAtACharacterBoundary) {
  // "ä" is two bytes; a cut in its middle would print half a character.
  std::string path;
  for (int i = 0; i < 60; ++i) path += "\xC3\xA4";
  const std::string tail = TailOf(path, 10);
  EXPECT_EQ("...", tail.substr(0, 3));
  EXPECT_EQ(0u, (tail.size() - 3) % 2);
  EXPECT_EQ(std::string("\xC3\xA4"), tail.substr(3, 2));
  EXPECT_EQ("short", TailOf("short", 10));
  EXPECT_EQ("..", TailOf("longer text", 2));
}

}  // namespace
