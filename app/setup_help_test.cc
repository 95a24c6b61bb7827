// The built installer asked for help or its version: every spelling of the
// help switch, and --version, alone or with the switches that would install,
// prints the usage text or the version line and ends with 0 before anything
// else happens. The run has everything it would
// need to act (a kit beside it, a launcher configuration naming a writable
// directory, a leftover backup directory that a recovery would remove), so
// a run that did more than print would show on the disk.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "app/installer_app.h"
#include "engine/engine_test_util.h"
#include "platform/scoped_temp_dir.h"
#include "platform/test_process.h"

namespace {

using namespace engine_test;

struct Output {
  int status = -1;
  std::string out;
  std::string err;
};

class SetupHelpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* dir : {"home", "tmp", "bin", "work"}) {
      ASSERT_EQ(0, mkdir(root_.Path(dir).c_str(), 0755));
    }
    target_ = root_.Path("target");
    std::filesystem::copy_file(SETUP_PATH, root_.Path("bin/setup"));
    ASSERT_EQ(0, chmod(root_.Path("bin/setup").c_str(), 0755));
    ASSERT_TRUE(WriteKitFile(root_.Path("bin/tqkt.efd"), {{"a.cfg", "A"}}));
    ASSERT_TRUE(WriteKitFile(root_.Path("work/tqkt.efd"), {{"a.cfg", "A"}}));
    const std::string config = root_.Path("home/.Tq/tqlaunch");
    std::filesystem::create_directories(config);
    ASSERT_TRUE(WriteFile(config + "/tqlaunch.cfg",
                          "ConfigurationTemplatesLocation=" + target_ + "\n"));
    // An empty backup directory of this user: the start-up recovery removes
    // it.
    ASSERT_EQ(0, mkdir(root_.Path("tmp/ktstp1").c_str(), 0700));
  }

  // Runs the copy of setup headless (no DISPLAY) in root/work with HOME and
  // TMPDIR the directories `home` and `tmp` under root, stdout and stderr
  // captured.
  Output Run(const std::vector<std::string>& args,
             const std::string& home = "home", const std::string& tmp = "tmp") {
    test_process::Child child;
    child.argv = {root_.Path("bin/setup")};
    child.argv.insert(child.argv.end(), args.begin(), args.end());
    child.env = {"HOME=" + root_.Path(home), "TMPDIR=" + root_.Path(tmp),
                 "LC_ALL=C.UTF-8"};
    for (const std::string& variable : test_process::Inherited(
             {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "PATH"})) {
      child.env.push_back(variable);
    }
    child.stdout_path = root_.Path("stdout");
    child.stderr_path = root_.Path("stderr");
    child.work_dir = root_.Path("work");
    // A run that went on to wait for a user is killed, and fails.
    const test_process::Ended ended =
        test_process::Run(child, std::chrono::seconds(60));
    Output output;
    EXPECT_EQ(0, ended.spawn_error);
    output.status = ended.ExitStatus();
    output.out = ReadFile(root_.Path("stdout"));
    output.err = ended.err;
    return output;
  }

  ScopedTempDir root_;
  std::string target_;
};

TEST_F(SetupHelpTest, PrintsUsageAndTouchesNothing) {
  const Tree home = Snapshot(root_.Path("home"));
  const Tree tmp = Snapshot(root_.Path("tmp"));
  const Tree work = Snapshot(root_.Path("work"));
  const std::vector<std::string> cases[] = {
      {"-h"},
      {"--help"},
      {"-?"},
      {"/?"},
      {"-S", "-h"},
      {"/S", "--help"},
      {"-?", "-S"},
      {"-S", "/?"},
      {"usecwd", "-S", "--help"},
      // After the language switch, which ends the scan of the others.
      {"-Lde", "-S", "-h"},
  };
  for (const std::vector<std::string>& args : cases) {
    std::string shown;
    for (const std::string& arg : args) shown += arg + " ";
    SCOPED_TRACE(shown);
    const Output output = Run(args);
    EXPECT_EQ(0, output.status);
    EXPECT_EQ(kUsageText, output.out);
    EXPECT_EQ("", output.err);
    EXPECT_EQ("", Difference(home, Snapshot(root_.Path("home"))));
    EXPECT_EQ("", Difference(tmp, Snapshot(root_.Path("tmp"))));
    EXPECT_EQ("", Difference(work, Snapshot(root_.Path("work"))));
    EXPECT_FALSE(std::filesystem::exists(target_));
  }

  // The same setting without help installs and recovers: the checks above
  // would have seen it.
  const Output output = Run({"-S"});
  EXPECT_EQ(0, output.status) << output.err;
  EXPECT_EQ("installed into " + target_ + ": 1 copied, 0 up to date\n",
            output.out);
  EXPECT_EQ("A", ReadFile(target_ + "/a.cfg"));
  EXPECT_EQ(std::vector<std::string>{}, NamesIn(root_.Path("tmp")));
}

TEST_F(SetupHelpTest, PrintsVersionAndTouchesNothing) {
  const std::string line =
      "setup " + engine_test::ProjectVersion(TQ_SOURCE_DIR) + "\n";
  EXPECT_EQ(line, kVersionText);
  const Tree home = Snapshot(root_.Path("home"));
  const Tree tmp = Snapshot(root_.Path("tmp"));
  const Tree work = Snapshot(root_.Path("work"));
  const struct {
    std::vector<std::string> args;
    std::string out;
  } cases[] = {
      {{"--version"}, line},
      {{"-S", "--version"}, line},
      {{"usecwd", "--version", "-S"}, line},
      // After the language switch, which ends the scan of the others.
      {{"-Lru", "-S", "--version"}, line},
      // Help wins, whichever comes first.
      {{"--version", "--help"}, kUsageText},
      {{"-h", "--version"}, kUsageText},
  };
  for (const auto& c : cases) {
    std::string shown;
    for (const std::string& arg : c.args) shown += arg + " ";
    SCOPED_TRACE(shown);
    const Output output = Run(c.args);
    EXPECT_EQ(0, output.status);
    EXPECT_EQ(c.out, output.out);
    EXPECT_EQ("", output.err);
    EXPECT_EQ("", Difference(home, Snapshot(root_.Path("home"))));
    EXPECT_EQ("", Difference(tmp, Snapshot(root_.Path("tmp"))));
    EXPECT_EQ("", Difference(work, Snapshot(root_.Path("work"))));
    EXPECT_FALSE(std::filesystem::exists(target_));
  }

  // With a home and a temporary directory that are empty, they stay so:
  // no state directory, no launcher configuration, no container.
  for (const char* dir : {"empty-home", "empty-tmp"}) {
    ASSERT_EQ(0, mkdir(root_.Path(dir).c_str(), 0755));
  }
  const Output output = Run({"--version"}, "empty-home", "empty-tmp");
  EXPECT_EQ(0, output.status);
  EXPECT_EQ(line, output.out);
  EXPECT_EQ("", output.err);
  EXPECT_EQ(std::vector<std::string>{}, NamesIn(root_.Path("empty-home")));
  EXPECT_EQ(std::vector<std::string>{}, NamesIn(root_.Path("empty-tmp")));
  EXPECT_EQ("", Difference(work, Snapshot(root_.Path("work"))));
}

}  // namespace
