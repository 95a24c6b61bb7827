#include "engine/install_engine.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "platform/scoped_temp_dir.h"

namespace {

// 2021-01-01 00:00:00 UTC.
constexpr int64_t kSeconds = 1609459200;
constexpr FileTime kSecond = 10000000;

bool SetModificationSeconds(const std::string& path, int64_t seconds) {
  const struct timespec times[2] = {{static_cast<time_t>(seconds), 0},
                                    {static_cast<time_t>(seconds), 0}};
  return utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

TEST(InstallEngineTest, NeedsCopyComparesWholeSecondTimes) {
  ScopedTempDir dir;
  const std::string path = dir.Path("template.cfg");
  ASSERT_TRUE(WriteFile(path, "old"));
  ASSERT_TRUE(SetModificationSeconds(path, kSeconds));
  const FileTime on_disk = FileTimeFromUnixSeconds(kSeconds);
  struct Case {
    const char* what;
    FileTime entry_time;
    bool copied;
  } cases[] = {
      {"equal time", on_disk, false},
      {"entry one second newer", on_disk + kSecond, true},
      {"entry one second older", on_disk - kSecond, false},
      // The disk keeps no fraction, so such an entry always looks newer.
      {"entry with a sub-second part", on_disk + kSecond / 2, true},
      {"entry just below the disk time", on_disk - 1, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.copied, InstallEngine::NeedsCopy(WidePath(path), c.entry_time))
        << c.what;
  }
}

TEST(InstallEngineTest, MissingDestinationIsAlwaysCopied) {
  ScopedTempDir dir;
  EXPECT_TRUE(InstallEngine::NeedsCopy(dir.WidePath("absent"), 0));
  EXPECT_TRUE(InstallEngine::NeedsCopy(dir.WidePath("no/dir/absent"), 0));
}

}  // namespace
