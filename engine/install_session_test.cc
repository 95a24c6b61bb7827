#include "engine/install_session.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

std::u16string U16(const WideString& text) {
  return std::u16string(text.c_str(), text.length());
}

TEST(InstallSessionTest, FreeSpaceDecision) {
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

TEST(InstallSessionTest, ExitStatus) {
  EXPECT_EQ(0, ExitStatusFor(RunOutcome::kSucceeded));
  EXPECT_EQ(1, ExitStatusFor(RunOutcome::kFailed));
  EXPECT_EQ(1, ExitStatusFor(RunOutcome::kNoDisplay));
  EXPECT_EQ(2, ExitStatusFor(RunOutcome::kCancelled));
  EXPECT_EQ(2, ExitStatusFor(RunOutcome::kUnfinished));
}

TEST(InstallSessionTest, KitBesideTheProgram) {
  EXPECT_EQ(u"/opt/inst/tqkt.efd", U16(KitPathBeside(u"/opt/inst/setup")));
  EXPECT_EQ(u"/tqkt.efd", U16(KitPathBeside(u"/setup")));
  EXPECT_EQ(u"setup/tqkt.efd", U16(KitPathBeside(u"setup")));
  EXPECT_EQ(u"", U16(KitPathBeside(u"")));
}

}  // namespace
