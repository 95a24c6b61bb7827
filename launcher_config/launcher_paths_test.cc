#include "launcher_config/launcher_paths.h"

#include <pwd.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "gtest/gtest.h"
#include "launcher_config/launcher_test_util.h"
#include "platform/scoped_temp_dir.h"
#include "platform/system_api.h"

namespace {

std::string PasswordHome() {
  struct passwd* entry = getpwuid(getuid());
  return entry != nullptr && entry->pw_dir != nullptr ? entry->pw_dir : "";
}

TEST(LauncherPathsTest, PathsAreBuiltOnTheHomeDirectory) {
  HomeScope home(std::string("/home/ann"));
  struct Case {
    WideString (*function)(SystemApi&);
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
    EXPECT_EQ(c.expected, Show(c.function(RealSystem())));
  }
  // Without a usable home no path is made at all: none may start at the
  // root or in the current directory.
  HomeScope relative(std::string("ann"));
  for (const Case& c : cases) {
    EXPECT_EQ("", Show(c.function(RealSystem()))) << c.expected;
  }
}

TEST(LauncherPathsTest, HomeIsExpandedAgainAtEachCall) {
  HomeScope home(std::string("/home/ann"));
  EXPECT_EQ("/home/ann/.Tq/tqlaunch/tqlaunch.cfg",
            Show(UserConfigPath(RealSystem())));
  setenv("HOME", "/home/bob", 1);
  EXPECT_EQ("/home/bob/.Tq/tqlaunch/tqlaunch.cfg",
            Show(UserConfigPath(RealSystem())));
}

TEST(LauncherPathsTest, HomeFallsBackToThePasswordDatabase) {
  const std::string expected = PasswordHome();
  ASSERT_FALSE(expected.empty()) << "no password entry for this user";
  if (expected == "/") GTEST_SKIP() << "this user's entry has no home";
  {
    HomeScope home(std::nullopt);
    EXPECT_EQ(expected, Show(HomeDirectory(RealSystem())));
  }
  {
    // An empty HOME expands to nothing.
    HomeScope home(std::string(""));
    EXPECT_EQ(expected, Show(HomeDirectory(RealSystem())));
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
    std::string got = Show(HomeDirectory(RealSystem()));
    EXPECT_FALSE(std::filesystem::exists(marker)) << value;
    // HOME is taken as it is, or refused when it is no absolute path.
    EXPECT_TRUE(got == Show(FromBytes(value)) || got.empty())
        << value << " gave " << got;
  }
}

}  // namespace
