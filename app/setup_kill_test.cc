// The installer killed for real: setup -S (headless) run with the kill seam
// of tools/kill_hook.h, killed with SIGKILL before and after every call that
// changes the disk, then started again without a kit beside it. That start
// must put the template directory back exactly as it was (or, past the
// commit, finish the installation), leave nothing of the transaction in the
// temporary directory or under the home directory, and a normal run must
// then install as usual. A dry run beside such a killed installation only
// reports it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "engine/engine_test_util.h"
#include "platform/scoped_temp_dir.h"
#include "platform/test_process.h"

namespace {

using namespace engine_test;

struct Result {
  bool killed = false;
  int status = -1;
  std::string out;
  std::string err;
};

class SetupKillTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* dir : {"home", "tmp", "bin", "nokit"}) {
      ASSERT_EQ(0, mkdir(root_.Path(dir).c_str(), 0755));
    }
    target_ = root_.Path("home") + "/.tqkt/WEX/wexkt/tmplts";
    // The installer looks for its kit beside itself: the killing variant
    // and a plain copy beside the kit, another copy where there is none.
    std::filesystem::copy_file(SETUP_KILLER_PATH, root_.Path("bin/killer"));
    std::filesystem::copy_file(SETUP_PATH, root_.Path("bin/setup"));
    std::filesystem::copy_file(SETUP_PATH, root_.Path("nokit/setup"));
    for (const char* program : {"bin/killer", "bin/setup", "nokit/setup"}) {
      ASSERT_EQ(0, chmod(root_.Path(program).c_str(), 0755));
    }
    std::mt19937 generator(11);
    std::string big(200000, '\0');
    for (char& c : big) c = static_cast<char>(generator());
    ASSERT_TRUE(WriteKitFile(root_.Path("bin/tqkt.efd"),
                             {{"a.cfg", "replaces a"},
                              {"keep.cfg", "not copied"},
                              {"new.cfg", "new"},
                              {"sub/deep/older.txt", "replaces older"},
                              {"sub/fresh/a/b/c.txt", "c"},
                              {"z/last.bin", big}}));
  }

  void MakeOriginal() { MakeUserTemplates(target_); }

  // Runs `program` headless (no DISPLAY) with the case's HOME and TMPDIR.
  Result Run(const std::string& program, const std::vector<std::string>& args) {
    test_process::Child child;
    child.argv = {program};
    child.argv.insert(child.argv.end(), args.begin(), args.end());
    child.env = {"HOME=" + root_.Path("home"), "TMPDIR=" + root_.Path("tmp"),
                 "LC_ALL=C.UTF-8"};
    for (const std::string& variable : test_process::Inherited(
             {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS",
              "PATH"})) {
      child.env.push_back(variable);
    }
    child.stderr_path = root_.Path("stderr");
    child.stdout_path = root_.Path("stdout");
    const test_process::Ended ended = test_process::Run(child);
    Result result;
    EXPECT_EQ(0, ended.spawn_error) << "cannot start " << program;
    result.out = ReadFile(root_.Path("stdout"));
    if (!ended.waited) return result;
    result.killed = ended.KilledBy(SIGKILL);
    result.status = ended.ExitStatus();
    result.err = ended.err;
    return result;
  }

  void ExpectNothingOfOursLeft() {
    std::vector<std::string> left;
    for (const std::string& name : NamesIn(root_.Path("tmp"))) {
      // The kit reader's inflated container is not the transaction's.
      if (name.rfind("edf", 0) != 0) left.push_back(name);
    }
    EXPECT_EQ(std::vector<std::string>{}, left);
    EXPECT_EQ(std::vector<std::string>{},
              NamesIn(root_.Path("home") + "/.local/state/tqsetup/journals"));
  }

  // The template directory. The writability probe makes an unnamed file,
  // so a kill during the check leaves nothing here either.
  Tree Templates() { return Snapshot(target_); }

  ScopedTempDir root_;
  std::string target_;
};

TEST_F(SetupKillTest, KilledAtEveryStepTheNextStartWithoutAKitRestores) {
  MakeOriginal();
  const Tree original = Snapshot(target_);
  const std::string count_file = root_.Path("count");
  const Result counted =
      Run(root_.Path("bin/killer"), {"--count-to", count_file, "-S"});
  ASSERT_EQ(0, counted.status) << counted.err;
  const Tree installed = Snapshot(target_);
  ASSERT_EQ("replaces older", installed.at("sub/deep/older.txt").content);
  ASSERT_EQ("keep", installed.at("keep.cfg").content);
  const unsigned long calls = std::stoul(ReadFile(count_file));
  ASSERT_GT(calls, 30u);
  ExpectNothingOfOursLeft();

  int killed = 0;
  int restored = 0;
  int finished = 0;
  for (const bool after : {false, true}) {
    bool past_commit = false;
    for (unsigned long k = 1; k <= calls; ++k) {
      SCOPED_TRACE(std::string(after ? "after" : "before") + " call " +
                   std::to_string(k));
      MakeOriginal();
      const Result run =
          Run(root_.Path("bin/killer"),
              {"--kill-at", std::to_string(k),
               after ? "--kill-after" : "--kill-before", "-S"});
      if (run.killed) {
        ++killed;
      } else {
        EXPECT_EQ(0, run.status) << run.err;
      }
      // No kit beside this one: it recovers, then fails as it always has.
      const Result restart = Run(root_.Path("nokit/setup"), {"-S"});
      EXPECT_EQ(1, restart.status) << restart.err;
      const Tree now = Templates();
      const std::string from_original = Difference(original, now);
      if (from_original.empty()) {
        ++restored;
        EXPECT_FALSE(past_commit);
      } else {
        EXPECT_EQ("", Difference(installed, now))
            << "neither as it was nor installed:\n"
            << from_original << restart.err;
        past_commit = true;
        ++finished;
      }
      ExpectNothingOfOursLeft();
      const Result again = Run(root_.Path("bin/setup"), {"-S"});
      EXPECT_EQ(0, again.status) << again.err;
      EXPECT_EQ("", Difference(installed, Templates()));
      ExpectNothingOfOursLeft();
      if (HasFailure()) return;
      std::filesystem::remove_all(target_);
    }
  }
  EXPECT_GT(restored, static_cast<int>(calls));
  EXPECT_GT(finished, 0);
  std::cout << "setup kill points tried: " << killed << " (" << calls
            << " calls, before and after each); restored " << restored
            << ", finished past the commit " << finished << "\n";
}

// A dry run says what a run would do and writes nothing: on a fresh, a
// partly changed and an up-to-date tree, with a killed installation
// pending, and failing as the run would. Every file and directory it could
// touch keeps its bytes, its times (directories' too) and its inode.
TEST_F(SetupKillTest, ADryRunTellsWhatARunWouldDoAndWritesNothing) {
  const auto everything = [this] {
    std::map<std::string, Node> all;
    for (const std::string dir : {"home", "tmp", "bin"}) {
      for (const auto& [path, node] : Snapshot(root_.Path(dir))) {
        all[dir + "/" + path] = node;
      }
    }
    return all;
  };
  const auto same = [](const Node& a, const Node& b) {
    return a.kind == b.kind && a.mode == b.mode && a.content == b.content &&
           a.mtime_sec == b.mtime_sec && a.mtime_nsec == b.mtime_nsec &&
           a.inode == b.inode;
  };
  const std::string count_file = root_.Path("count");
  MakeOriginal();
  ASSERT_EQ(0, Run(root_.Path("bin/killer"), {"--count-to", count_file, "-S"})
                   .status);
  const unsigned long calls = std::stoul(ReadFile(count_file));
  const std::string t = target_ + "/";
  const std::vector<std::string> all_files = {
      t + "a.cfg",           t + "keep.cfg", t + "new.cfg",
      t + "sub/deep/older.txt", t + "sub/fresh/a/b/c.txt", t + "z/last.bin"};
  struct Case {
    const char* name;
    std::function<void()> arrange;
    int status;
    std::string summary;           // the last line; "" when failed
    std::vector<std::string> listed;
    std::string err;               // a line stderr holds
  } cases[] = {
      {"fresh", [&] { std::filesystem::remove_all(root_.Path("home/.tqkt")); },
       0, "6 to copy, 0 up to date", all_files, ""},
      {"partly changed", [&] { MakeOriginal(); }, 0, "5 to copy, 1 up to date",
       {t + "a.cfg", t + "new.cfg", t + "sub/deep/older.txt",
        t + "sub/fresh/a/b/c.txt", t + "z/last.bin"},
       ""},
      {"up to date",
       [&] { ASSERT_EQ(0, Run(root_.Path("bin/setup"), {"-S"}).status); }, 0,
       "0 to copy, 6 up to date", {}, ""},
      {"failing",
       [&] {
         ASSERT_TRUE(WriteFile(root_.Path("bin/tqkt.efd.sha256"),
                               std::string(64, '0') + "  tqkt.efd\n"));
       },
       1, "", {}, ""},
      {"pending",
       [&] {
         std::filesystem::remove(root_.Path("bin/tqkt.efd.sha256"));
         MakeOriginal();
         ASSERT_TRUE(Run(root_.Path("bin/killer"),
                         {"--kill-at", std::to_string(calls / 2),
                          "--kill-after", "-S"})
                         .killed);
       },
       0, "", {}, "setup: an interrupted installation into \"" + t +
                      "\" is pending; a run without --dry-run undoes it first"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.arrange();
    const std::map<std::string, Node> before = everything();
    const Result dry = Run(root_.Path("bin/setup"), {"--dry-run", "--verbose"});
    EXPECT_EQ(c.status, dry.status) << dry.err;
    for (const auto& [path, node] : everything()) {
      EXPECT_TRUE(before.count(path) != 0 && same(before.at(path), node))
          << "changed or new: " << path;
    }
    EXPECT_EQ(before.size(), everything().size());
    if (!c.err.empty()) {
      EXPECT_NE(std::string::npos, dry.err.find(c.err + "\n")) << dry.err;
    }
    if (c.status != 0) {
      // The message a real run gives, and nothing on standard output.
      EXPECT_EQ("", dry.out);
      EXPECT_EQ(Run(root_.Path("bin/setup"), {"-S"}).err, dry.err);
      continue;
    }
    if (c.summary.empty()) continue;
    std::string expected;
    for (const std::string& path : c.listed) expected += path + "\n";
    expected += "would install into " + target_ + ": " + c.summary + "\n";
    EXPECT_EQ(expected, dry.out);
    // Without --verbose, the summary alone.
    EXPECT_EQ("would install into " + target_ + ": " + c.summary + "\n",
              Run(root_.Path("bin/setup"), {"-S", "--dry-run"}).out);
  }
}

}  // namespace
