// Installations interrupted for real: kittool processes killed with SIGKILL
// at every call that changes the disk (tools/kill_hook.h), or from outside
// with kill -9 while they are held after some files, and then started again
// without a kit. The next start must put the template directory back
// exactly as it was (or, past the commit, finish the installation), leave
// nothing of the transaction in the temporary directory or under the home
// directory, keep files changed after the kill, leave a live installation's
// journal alone and cope with a torn journal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine_test_util.h"
#include "platform/scoped_temp_dir.h"
#include "platform/test_process.h"

namespace {

using namespace engine_test;

struct Result {
  bool killed = false;  // ended by SIGKILL
  int status = -1;      // exit status otherwise
  std::string err;
};

class RecoveryKillTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* dir : {"home", "tmp", "tmp2"}) {
      ASSERT_EQ(0, mkdir(root_.Path(dir).c_str(), 0700));
    }
    target_ = root_.Path("templates");
    kit_ = root_.Path("kit.efd");
    ASSERT_TRUE(WriteKitFile(kit_, Files()));
  }

  // The kit overwrites older files, skips a newer one and creates files in
  // new nested directories, one of them large enough for the kernel copy.
  static std::vector<KitFile> Files() {
    return {{"a.cfg", "replaces a"},
            {"keep.cfg", "not copied"},
            {"new.cfg", "new"},
            {"sub/deep/older.txt", "replaces older"},
            {"sub/fresh/a/b/c.txt", "c"},
            {"sub/fresh/a/d.txt", "d"},
            {"z/last.bin", RandomBytes(300000, 7)}};
  }

  void MakeOriginal() { MakeUserTemplates(target_); }

  // Runs `tool` with `args`, HOME and TMPDIR of the case; returns when it
  // ends unless `pid` is given (then it is left running).
  Result Run(const std::string& tool, const std::vector<std::string>& args,
             const std::string& tmpdir = "", pid_t* pid_out = nullptr,
             const std::string& err_path = "") {
    test_process::Child child;
    child.argv = {tool};
    child.argv.insert(child.argv.end(), args.begin(), args.end());
    child.env = {"LC_ALL=C.UTF-8", "HOME=" + root_.Path("home"),
                 "TMPDIR=" + (tmpdir.empty() ? root_.Path("tmp") : tmpdir)};
    for (const std::string& variable : test_process::Inherited(
             {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS",
              "PATH"})) {
      child.env.push_back(variable);
    }
    child.stderr_path = err_path.empty() ? root_.Path("stderr") : err_path;
    pid_t pid = -1;
    const int rc = test_process::Start(child, &pid);
    EXPECT_EQ(0, rc) << "cannot start " << tool;
    if (pid_out != nullptr) {
      *pid_out = rc == 0 ? pid : -1;
      return Result();
    }
    return rc == 0 ? Wait(pid) : Result();
  }

  Result Wait(pid_t pid) {
    const test_process::Ended ended =
        test_process::Wait(pid, root_.Path("stderr"));
    Result result;
    if (!ended.waited) return result;
    result.killed = ended.KilledBy(SIGKILL);
    result.status = ended.ExitStatus();
    result.err = ended.err;
    return result;
  }

  // The start after a kill: no kit, so it recovers and then fails.
  Result Restart(const std::string& tmpdir = "") {
    Result result = Run(KITTOOL_PATH,
                        {"extract", root_.Path("no-such-kit.efd"), target_},
                        tmpdir);
    EXPECT_EQ(1, result.status) << result.err;
    return result;
  }

  Result KillAt(unsigned long k, bool after, const std::string& tmpdir = "") {
    return Run(KITTOOL_KILLER_PATH,
               {"--kill-at", std::to_string(k),
                after ? "--kill-after" : "--kill-before", "extract", kit_,
                target_},
               tmpdir);
  }

  // Starts kittool_held holding after `files` entries and waits until it
  // holds; kills it with SIGKILL when `kill`.
  pid_t Hold(int files, bool kill_it) {
    return Hold(kit_, files, Files()[files].name, kill_it);
  }
  // The same for `kit`, whose entry number `files` is `name`.
  pid_t Hold(const std::string& kit, int files, const std::string& name,
             bool kill_it) {
    pid_t pid = -1;
    Run(KITTOOL_HELD_PATH,
        {"--hold-at", std::to_string(files), "extract", kit, target_}, "",
        &pid);
    if (pid == -1) return pid;
    const std::string line = "% " + target_ + "/" + name;
    for (int i = 0; i < 6000; ++i) {
      if (ReadFile(root_.Path("stderr")).find(line) != std::string::npos) {
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_NE(std::string::npos,
              ReadFile(root_.Path("stderr")).find(line));
    if (kill_it) {
      kill(pid, SIGKILL);
      EXPECT_TRUE(Wait(pid).killed);
    }
    return pid;
  }

  // Names of ours left in `dir` (backup directories); the kit reader's
  // inflated container ("edf...") is the reader's and not looked at here.
  std::vector<std::string> LeftIn(const std::string& dir) {
    std::vector<std::string> left;
    for (const std::string& name : NamesIn(dir)) {
      if (name.rfind("edf", 0) != 0) left.push_back(name);
    }
    return left;
  }
  // Where the backup directories are: the state directory shares the
  // template directory's file system.
  std::string Backups() const { return StateBackups(root_.Path("home")); }
  std::vector<std::string> Pointers() {
    return NamesIn(root_.Path("home") + "/.local/state/tqsetup/journals");
  }
  std::string Journal() {
    const std::vector<std::string> left = LeftIn(Backups());
    return left.size() == 1 ? Backups() + "/" + left[0] + "/journal"
                            : std::string();
  }

  void ExpectNothingOfOursLeft() {
    EXPECT_EQ(std::vector<std::string>{}, LeftIn(root_.Path("tmp")));
    EXPECT_EQ(std::vector<std::string>{}, LeftIn(root_.Path("tmp2")));
    EXPECT_EQ(std::vector<std::string>{}, LeftIn(Backups()));
    EXPECT_EQ(std::vector<std::string>{}, Pointers());
  }

  ScopedTempDir root_;
  std::string target_;
  std::string kit_;
};

TEST_F(RecoveryKillTest, KilledAtEveryStepTheNextStartRestoresTheDirectory) {
  MakeOriginal();
  const Tree original = Snapshot(target_);
  const std::string count_file = root_.Path("count");
  const Result counted =
      Run(KITTOOL_KILLER_PATH, {"--count-to", count_file, "extract", kit_,
                                target_});
  ASSERT_EQ(0, counted.status) << counted.err;
  const Tree installed = Snapshot(target_);
  ASSERT_NE("", Difference(original, installed));
  EXPECT_EQ("replaces older", installed.at("sub/deep/older.txt").content);
  EXPECT_EQ("keep", installed.at("keep.cfg").content);
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
      const Result run = KillAt(k, after);
      if (run.killed) {
        ++killed;
      } else {
        // A run may make a call or two fewer (the inflating thread); it
        // then ends before its K-th call, having installed.
        EXPECT_EQ(0, run.status) << run.err;
      }
      const Result restart = Restart();
      const Tree after_restart = Snapshot(target_);
      const std::string from_original = Difference(original, after_restart);
      if (from_original.empty()) {
        ++restored;
        // Once a run got past its commit, a later kill never rolls back.
        EXPECT_FALSE(past_commit);
      } else {
        EXPECT_EQ("", Difference(installed, after_restart))
            << "neither as it was nor installed:\n"
            << from_original << restart.err;
        past_commit = true;
        ++finished;
      }
      EXPECT_EQ(std::string::npos, restart.err.find("kept")) << restart.err;
      ExpectNothingOfOursLeft();
      // And the installation can be done again from there.
      const Result again = Run(KITTOOL_PATH, {"extract", kit_, target_});
      EXPECT_EQ(0, again.status) << again.err;
      EXPECT_EQ("", Difference(installed, Snapshot(target_)));
      ExpectNothingOfOursLeft();
      if (HasFailure()) return;
    }
    EXPECT_TRUE(past_commit);
  }
  EXPECT_GT(restored, static_cast<int>(calls));
  EXPECT_GT(finished, 0);
  std::cout << "kill points tried: " << killed << " (" << calls
            << " calls, before and after each); restored " << restored
            << ", finished past the commit " << finished << "\n";
}

TEST_F(RecoveryKillTest, ARecoveryKilledAtEveryStepIsFinishedByTheNext) {
  MakeOriginal();
  const Tree original = Snapshot(target_);
  // The state to recover: killed from outside after four entries.
  Hold(4, true);
  const std::string count_file = root_.Path("count");
  const Result counted =
      Run(KITTOOL_KILLER_PATH,
          {"--count-to", count_file, "extract", root_.Path("none.efd"),
           target_});
  ASSERT_EQ(1, counted.status) << counted.err;
  EXPECT_NE(std::string::npos, counted.err.find("was undone")) << counted.err;
  ASSERT_EQ("", Difference(original, Snapshot(target_)));
  const unsigned long calls = std::stoul(ReadFile(count_file));
  ASSERT_GT(calls, 5u);
  int killed = 0;
  for (const bool after : {false, true}) {
    for (unsigned long k = 1; k <= calls; ++k) {
      SCOPED_TRACE(std::string(after ? "after" : "before") + " call " +
                   std::to_string(k));
      MakeOriginal();
      Hold(4, true);
      const Result recovery =
          Run(KITTOOL_KILLER_PATH,
              {"--kill-at", std::to_string(k),
               after ? "--kill-after" : "--kill-before", "extract",
               root_.Path("none.efd"), target_});
      if (recovery.killed) ++killed;
      const Result restart = Restart();
      EXPECT_EQ("", Difference(original, Snapshot(target_))) << restart.err;
      EXPECT_EQ(std::string::npos, restart.err.find("kept")) << restart.err;
      ExpectNothingOfOursLeft();
      if (HasFailure()) return;
    }
  }
  EXPECT_GT(killed, static_cast<int>(calls));
  std::cout << "recoveries killed: " << killed << "\n";
}

TEST_F(RecoveryKillTest, ARunKilledWithAnotherTemporaryDirectoryIsFoundByItsPointer) {
  MakeOriginal();
  const Tree original = Snapshot(target_);
  for (const unsigned long k : {20ul, 35ul, 50ul}) {
    SCOPED_TRACE(k);
    MakeOriginal();
    const Result run = KillAt(k, true, root_.Path("tmp2"));
    ASSERT_TRUE(run.killed);
    ASSERT_EQ(1u, LeftIn(Backups()).size());
    ASSERT_EQ(1u, Pointers().size());
    Restart(root_.Path("tmp"));
    EXPECT_EQ("", Difference(original, Snapshot(target_)));
    ExpectNothingOfOursLeft();
  }
}

TEST_F(RecoveryKillTest, FilesChangedAfterTheKillAreKeptAsideAndReported) {
  MakeOriginal();
  const Tree original = Snapshot(target_);
  // a.cfg replaced, new.cfg made, sub/deep/older.txt about to be.
  Hold(3, true);
  ASSERT_EQ("replaces a", ReadFile(target_ + "/a.cfg"));
  ASSERT_EQ("new", ReadFile(target_ + "/new.cfg"));
  // The user edits both installed files after the kill.
  ASSERT_TRUE(WriteFile(target_ + "/a.cfg", "edited a"));
  ASSERT_TRUE(WriteFile(target_ + "/new.cfg", "edited new"));
  // A name taken already makes the kept copy take the next one.
  ASSERT_TRUE(WriteFile(target_ + "/new.cfg.ktstp-kept", "taken"));
  const Result restart = Restart();
  EXPECT_NE(std::string::npos,
            restart.err.find("\"" + target_ + "/a.cfg\" changed"))
      << restart.err;
  EXPECT_NE(std::string::npos,
            restart.err.find("kept as \"" + target_ + "/new.cfg.ktstp-kept1\""))
      << restart.err;
  EXPECT_EQ("edited a", ReadFile(target_ + "/a.cfg.ktstp-kept"));
  EXPECT_EQ("edited new", ReadFile(target_ + "/new.cfg.ktstp-kept1"));
  EXPECT_EQ("taken", ReadFile(target_ + "/new.cfg.ktstp-kept"));
  // Everything else, the user's a.cfg included, is as it was.
  Tree after = Snapshot(target_);
  after.erase("a.cfg.ktstp-kept");
  after.erase("new.cfg.ktstp-kept");
  after.erase("new.cfg.ktstp-kept1");
  EXPECT_EQ("", Difference(original, after));
  ExpectNothingOfOursLeft();
}

TEST_F(RecoveryKillTest, ALiveInstallationsJournalIsNeverTouched) {
  MakeOriginal();
  const Tree original = Snapshot(target_);
  const pid_t held = Hold(4, false);
  ASSERT_NE(-1, held);
  const Tree holding = Snapshot(target_);
  const std::string journal = Journal();
  ASSERT_NE("", journal);
  const std::string journal_bytes = ReadFile(journal);
  const std::vector<std::string> pointers = Pointers();
  ASSERT_EQ(1u, pointers.size());
  for (int i = 0; i < 2; ++i) {
    const Result restart = Restart();
    EXPECT_EQ("", Difference(holding, Snapshot(target_))) << restart.err;
    EXPECT_EQ(journal_bytes, ReadFile(journal));
    EXPECT_EQ(pointers, Pointers());
  }
  // The owner itself still rolls back when it is stopped.
  kill(held, SIGTERM);
  const Result stopped = Wait(held);
  EXPECT_EQ(1, stopped.status);
  EXPECT_EQ("", Difference(original, Snapshot(target_)));
  ExpectNothingOfOursLeft();
}

TEST_F(RecoveryKillTest, ATornOrZeroFilledJournalTailIsCutOff) {
  MakeOriginal();
  const Tree original = Snapshot(target_);
  for (const std::string& tail :
       {std::string("F\x10\x00\x00\x00/half", 10), std::string(4096, '\0'),
        std::string("B\x05\x00\x00\x00", 5) + std::string(8192, '\0')}) {
    MakeOriginal();
    Hold(5, true);
    const std::string journal = Journal();
    ASSERT_NE("", journal);
    const int fd = open(journal.c_str(), O_WRONLY | O_APPEND);
    ASSERT_NE(-1, fd);
    ASSERT_EQ(static_cast<ssize_t>(tail.size()),
              write(fd, tail.data(), tail.size()));
    close(fd);
    const Result restart = Restart();
    EXPECT_NE(std::string::npos, restart.err.find("was undone"))
        << restart.err;
    EXPECT_EQ("", Difference(original, Snapshot(target_)));
    ExpectNothingOfOursLeft();
  }
}

TEST_F(RecoveryKillTest, UntrustedBackupDirectoriesAreLeftAloneAndReported) {
  MakeOriginal();
  const Tree original = Snapshot(target_);
  Hold(4, true);
  const Tree killed = Snapshot(target_);
  const std::vector<std::string> left = LeftIn(Backups());
  ASSERT_EQ(1u, left.size());
  const std::string backup = Backups() + "/" + left[0];
  // Open to others: someone else could have written the journal.
  ASSERT_EQ(0, chmod(backup.c_str(), 0755));
  Result restart = Restart();
  EXPECT_NE(std::string::npos, restart.err.find("left \"" + backup))
      << restart.err;
  EXPECT_EQ("", Difference(killed, Snapshot(target_)));
  // A link to a journal elsewhere is not followed.
  ASSERT_EQ(0, chmod(backup.c_str(), 0700));
  ASSERT_EQ(0, rename((backup + "/journal").c_str(),
                      root_.Path("journal-elsewhere").c_str()));
  ASSERT_EQ(0, symlink(root_.Path("journal-elsewhere").c_str(),
                       (backup + "/journal").c_str()));
  restart = Restart();
  EXPECT_NE(std::string::npos, restart.err.find("left \"" + backup))
      << restart.err;
  EXPECT_EQ("", Difference(killed, Snapshot(target_)));
  // Put right, it is recovered.
  ASSERT_EQ(0, unlink((backup + "/journal").c_str()));
  ASSERT_EQ(0, rename(root_.Path("journal-elsewhere").c_str(),
                      (backup + "/journal").c_str()));
  restart = Restart();
  EXPECT_NE(std::string::npos, restart.err.find("was undone")) << restart.err;
  EXPECT_EQ("", Difference(original, Snapshot(target_)));
  ExpectNothingOfOursLeft();
}

// Two versions of a kit of many files, the second replacing every file of
// the first.
std::vector<KitFile> Version(int version) {
  std::vector<KitFile> files;
  for (int i = 0; i < 400; ++i) {
    files.push_back({"d" + std::to_string(i % 7) + "/f" + std::to_string(i) +
                         ".cfg",
                     "version " + std::to_string(version) + " of " +
                         std::to_string(i),
                     kBaseSeconds + version});
  }
  return files;
}

// Killed while replacing v1 with v2, its template directory then removed by
// the user: what the next start cannot undo is set aside and said once; v2
// installed again stays whole, whatever starts after it.
TEST_F(RecoveryKillTest, AJournalThatCannotBeUndoneIsSetAsideNotReplayed) {
  const std::string v1 = root_.Path("v1.efd");
  const std::string v2 = root_.Path("v2.efd");
  ASSERT_TRUE(WriteKitFile(v1, Version(1)));
  ASSERT_TRUE(WriteKitFile(v2, Version(2)));
  ASSERT_EQ(0, Run(KITTOOL_PATH, {"extract", v1, target_}).status);
  ASSERT_NE(-1, Hold(v2, 200, Version(2)[200].name, true));
  std::filesystem::remove_all(target_);

  const Result again = Run(KITTOOL_PATH, {"extract", v2, target_});
  ASSERT_EQ(0, again.status) << again.err;
  const std::vector<std::string> left = LeftIn(Backups());
  ASSERT_EQ(1u, left.size()) << again.err;
  const std::string aside = Backups() + "/" + left[0];
  EXPECT_EQ(0u, left[0].rfind("unfinished-ktstp", 0));
  EXPECT_NE(std::string::npos, again.err.find("kept in \"" + aside + "\""))
      << again.err;
  // The user's v1 files the killed run had replaced are there.
  const Tree kept = Snapshot(aside + "/files");
  int v1_files = 0;
  for (const auto& [path, node] : kept) {
    if (node.content.rfind("version 1 of ", 0) == 0) ++v1_files;
  }
  EXPECT_GE(v1_files, 150);

  ASSERT_EQ(0, Run(KITTOOL_PATH, {"extract", v2, root_.Path("elsewhere")})
                   .status);
  const Result restart = Restart();
  EXPECT_EQ(std::string::npos, restart.err.find("interrupted")) << restart.err;
  Tree expected;
  for (const KitFile& file : Version(2)) expected[file.name].content = file.data;
  size_t files = 0;
  for (const auto& [path, node] : Snapshot(target_)) {
    if (node.kind != 'f') continue;
    ++files;
    EXPECT_EQ(expected[path].content, node.content) << path;
  }
  EXPECT_EQ(expected.size(), files);
  EXPECT_EQ(std::vector<std::string>{left[0]}, LeftIn(Backups()));
  EXPECT_EQ(std::vector<std::string>{}, Pointers());
}

// An installation that waits for another into the same directory, whose
// owner is then killed, settles the killed one before it changes anything:
// no later start undoes it over the files of the one that waited. On a
// terminal the waiting line has a line of its own.
TEST_F(RecoveryKillTest, AnInstallationWaitingForAKilledOneSettlesItFirst) {
  MakeOriginal();
  const Tree original = Snapshot(target_);
  const pid_t held = Hold(4, false);
  ASSERT_NE(-1, held);
  const int terminal = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_NE(-1, terminal);
  ASSERT_EQ(0, grantpt(terminal));
  ASSERT_EQ(0, unlockpt(terminal));
  pid_t waiting = -1;
  Run(KITTOOL_PATH, {"extract", kit_, target_}, "", &waiting,
      ptsname(terminal));
  ASSERT_NE(-1, waiting);
  std::string screen;
  for (int i = 0; i < 2000 && screen.find("Waiting") == std::string::npos;
       ++i) {
    pollfd ready{terminal, POLLIN, 0};
    if (poll(&ready, 1, 5) == 1) {
      char bytes[4096];
      const ssize_t got = read(terminal, bytes, sizeof(bytes));
      if (got > 0) screen.append(bytes, static_cast<size_t>(got));
    }
  }
  ASSERT_NE(std::string::npos, screen.find("Waiting")) << screen;
  kill(held, SIGKILL);
  EXPECT_TRUE(Wait(held).killed);
  int status = -1;
  ASSERT_EQ(waiting, waitpid(waiting, &status, 0));
  for (;;) {
    char bytes[4096];
    const ssize_t got = read(terminal, bytes, sizeof(bytes));
    if (got <= 0) break;
    screen.append(bytes, static_cast<size_t>(got));
  }
  close(terminal);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << screen;
  const size_t line = screen.find("kittool: Waiting");
  ASSERT_NE(std::string::npos, line) << screen;
  EXPECT_TRUE(line == 0 || screen[line - 1] == '\n') << screen;
  EXPECT_NE(std::string::npos, screen.find("was undone")) << screen;
  const Tree installed = Snapshot(target_);
  EXPECT_EQ("replaces older", installed.at("sub/deep/older.txt").content);
  ExpectNothingOfOursLeft();
  Restart();
  EXPECT_EQ("", Difference(installed, Snapshot(target_)));
  EXPECT_NE("", Difference(original, Snapshot(target_)));
}

}  // namespace
