#include "launcher_config/launcher_paths.h"

#include <pwd.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "gtest/gtest.h"
#include "launcher_config/launcher_test_util.h"
#include "platform/scoped_temp_dir.h"

namespace {

std::string PasswordHome() {
  struct passwd* entry = getpwuid(getuid());
  return entry != nullptr && entry->pw_dir != nullptr ? entry->pw_dir : "";
}

TEST(LauncherPathsTest, PathsAreBuiltOnTheHomeDirectory) {
  HomeScope home(std::string("/home/ann"));
  struct Case {
    WideString (*function)();
    const char* expected;
  };
  const Case cases[] = {
      {HomeDirectory, "/home/ann"},
      {KitUserDirectory, "/home/ann/.tqkt/"},
      {UserLauncherDirectory, "/home/ann/.Tq/tqlaunch"},
      {UserConfigPath, "/home/ann/.Tq/tqlaunch/tqlaunch.cfg"},
      {KitUserLauncherDirectory, "/home/ann/.tqkt//.Tq/tqlaunch"},
      {KitUserConfigPath, "/home/ann/.tqkt//.Tq/tqlaunch/tqlaunch.cfg"},
      {CommonLauncherDirectory, "/home/ann/.Tq/tqlauncht"},
      {CommonConfigPath, "/home/ann/.Tq/tqlauncht/tqlaunch.cfg"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected, Show(c.function()));
  }
}

TEST(LauncherPathsTest, HomeIsExpandedAgainAtEachCall) {
  HomeScope home(std::string("/home/ann"));
  EXPECT_EQ("/home/ann/.Tq/tqlaunch/tqlaunch.cfg", Show(UserConfigPath()));
  setenv("HOME", "/home/bob", 1);
  EXPECT_EQ("/home/bob/.Tq/tqlaunch/tqlaunch.cfg", Show(UserConfigPath()));
}

TEST(LauncherPathsTest, HomeFallsBackToThePasswordDatabase) {
  const std::string expected = PasswordHome();
  ASSERT_FALSE(expected.empty()) << "no password entry for this user";
  {
    HomeScope home(std::nullopt);
    EXPECT_EQ(expected, Show(HomeDirectory()));
  }
  {
    // An empty HOME expands to nothing.
    HomeScope home(std::string(""));
    EXPECT_EQ(expected, Show(HomeDirectory()));
  }
}

TEST(LauncherPathsTest, HomeNeverRunsACommand) {
  ScopedTempDir dir;
  const std::string marker = dir.Path("ran");
  const std::string homes[] = {
      "$(touch " + marker + ")",
      "`touch " + marker + "`",
      "/home/$(touch " + marker + ")",
  };
  for (const std::string& value : homes) {
    HomeScope home(value);
    std::string got = Show(HomeDirectory());
    EXPECT_FALSE(std::filesystem::exists(marker)) << value;
    // HOME is taken as it is; were it ever refused, the fallback applies.
    EXPECT_TRUE(got == Show(FromBytes(value)) || got == PasswordHome())
        << value << " gave " << got;
  }
}

}  // namespace
