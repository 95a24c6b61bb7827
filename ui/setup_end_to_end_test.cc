// The built installer, run as a user would: a copy of it beside a kit made
// for the case, with its own home and temporary directory, headless (no
// DISPLAY) or on the virtual display with -S. Error paths stay headless: an
// error box on a display would wait for OK.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/installer_app.h"
#include "app/setup_console.h"
#include "engine/install_session.h"
#include "l10n/string_table.h"
#include "platform/fault_injection.h"
#include "platform/scoped_temp_dir.h"
#include "platform/test_process.h"
#include "ui/installer_dlg.h"
#include "ui/ui_test_util.h"
#include "ui/utf8_text.h"

namespace {

constexpr int64_t kKitTime = 1700000000;

struct RunResult {
  int status = -1;  // exit status, 128 + signal, or -1 when it had to be killed
  std::string err;
};

class SetupEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* dir : {"home", "tmp", "bin", "opener", "work"}) {
      ASSERT_EQ(0, mkdir(root_.Path(dir).c_str(), 0755));
    }
    home_ = root_.Path("home");
    default_target_ = home_ + "/.tqkt/WEX/wexkt/tmplts";
    std::filesystem::copy_file(SETUP_PATH, root_.Path("bin/setup"));
    ASSERT_EQ(0, chmod(root_.Path("bin/setup").c_str(), 0755));
    ASSERT_TRUE(
        WriteRecordingOpener(root_.Path("opener"), root_.Path("opened")));
  }

  void WriteKit(const std::vector<TestFile>& files,
                const std::string& dir = "bin") {
    ASSERT_TRUE(WriteTestKit(root_.Path(dir + "/tqkt.efd"), files));
  }

  // Runs the copy of setup (root/bin/setup unless `program` names another)
  // with `args` in root/work, with the case's home and temporary directory,
  // the recording opener on PATH and `env` added; on the virtual display when
  // `display`.
  RunResult Run(const std::vector<std::string>& args, bool display = false,
                const std::map<std::string, std::string>& env = {},
                const std::string& program = "") {
    test_process::Child child;
    child.env = {"HOME=" + home_, "TMPDIR=" + root_.Path("tmp"),
                 "PATH=" + root_.Path("opener") + ":/usr/bin:/bin"};
    std::vector<std::string> passed = {"ASAN_OPTIONS", "LSAN_OPTIONS",
                                       "UBSAN_OPTIONS"};
    if (display) {
      passed.push_back("DISPLAY");
      passed.push_back("XAUTHORITY");
    }
    for (const std::string& variable : test_process::Inherited(passed)) {
      child.env.push_back(variable);
    }
    for (const auto& [name, value] : env) child.env.push_back(name + "=" + value);
    child.argv = {program.empty() ? root_.Path("bin/setup") : program};
    child.argv.insert(child.argv.end(), args.begin(), args.end());
    child.stderr_path = root_.Path("stderr");
    child.stderr_mode = 0644;
    child.work_dir = root_.Path("work");
    // A run that waits for a user who is not there is killed, and fails.
    const test_process::Ended ended =
        test_process::Run(child, std::chrono::seconds(120));
    RunResult result;
    if (ended.spawn_error != 0) return result;
    if (ended.Exited()) {
      result.status = ended.ExitStatus();
    } else if (const int signal = ended.Signal()) {
      result.status = signal == SIGKILL ? -1 : 128 + signal;
    }
    result.err = ended.err;
    return result;
  }

  std::string UserConfigPath() const {
    return home_ + "/.Tq/tqlaunch/tqlaunch.cfg";
  }
  std::string CommonConfigPath() const {
    return home_ + "/.Tq/tqlauncht/tqlaunch.cfg";
  }
  static void WriteConfig(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(
        std::filesystem::path(path).parent_path());
    ASSERT_TRUE(WriteFile(path, text));
  }

  const std::vector<TestFile> files_ = {{"a.txt", "A", kKitTime},
                                        {"doc\\readme.html", "<html/>"},
                                        {"sub\\deep\\b.txt", "B"}};
  const std::vector<std::string> installed_ = {
      "a.txt", "doc/",      "doc/readme.html",
      "sub/",  "sub/deep/", "sub/deep/b.txt"};
  ScopedTempDir root_;
  std::string home_;
  std::string default_target_;
};

TEST_F(SetupEndToEndTest, InstallsKitSilentlyAndRecordsTheDirectory) {
  WriteKit(files_);
  struct Case {
    bool display;
  } cases[] = {{false}, {true}};
  for (const Case& c : cases) {
    if (c.display && std::getenv("DISPLAY") == nullptr) {
      GTEST_SKIP() << "no virtual display for the run with a window";
    }
    SCOPED_TRACE(c.display ? "on the display" : "headless");
    std::filesystem::remove_all(home_ + "/.tqkt");
    std::filesystem::remove_all(home_ + "/.Tq");
    const RunResult run = Run({"-S"}, c.display);
    EXPECT_EQ(0, run.status);
    EXPECT_EQ("", run.err);
    EXPECT_EQ(installed_, ListTree(default_target_));
    EXPECT_EQ("A", ReadFile(default_target_ + "/a.txt"));
    EXPECT_EQ(kKitTime, ModificationTime(default_target_ + "/a.txt"));
    EXPECT_EQ("ConfigurationTemplatesLocation=" + default_target_ + "\n",
              ReadFile(UserConfigPath()));
    EXPECT_EQ("<missing>", ReadFile(CommonConfigPath()));
    EXPECT_EQ(std::vector<std::string>{}, ListTree(root_.Path("tmp")));
    // A silent run ends without Finish: the description is not opened.
    EXPECT_EQ("<missing>", ReadFile(root_.Path("opened")));
  }
}

TEST_F(SetupEndToEndTest, TemplateLocationsChooseTheDirectory) {
  WriteKit(files_);
  const std::string key = "ConfigurationTemplatesLocation=";
  const std::string file = root_.Path("afile");
  ASSERT_TRUE(WriteFile(file, "x"));
  struct Case {
    const char* name;
    std::optional<std::string> user_config;
    std::optional<std::string> common_config;
    std::string target;  // empty: nothing to install into
    std::string user_after;
    std::string common_after;
  } cases[] = {
      {"first writable of two",
       key + file + "/sub\n" + key + root_.Path("second") + "\n", std::nullopt,
       root_.Path("second"),
       key + root_.Path("second") + "\n" + key + file + "/sub\n", "<missing>"},
      {"file URL with a CR line end",
       key + "file://" + root_.Path("viafile") + "\r\n", std::nullopt,
       root_.Path("viafile"), "", "<missing>"},
      {"web location", key + "http://host/t\n" + key + root_.Path("x") + "\n",
       std::nullopt, "", key + "http://host/t\n" + key + root_.Path("x") + "\n",
       "<missing>"},
      {"common file only", std::nullopt,
       "Other=1\n" + key + root_.Path("common") + "\n", root_.Path("common"),
       "<missing>", "Other=1\n" + key + root_.Path("common") + "\n"},
      {"common file without locations", std::nullopt, "Other=1\n",
       default_target_, key + default_target_ + "\n",
       "Other=1\n" + key + default_target_ + "\n"},
      {"user and common files", key + root_.Path("mine") + "\n",
       key + root_.Path("theirs") + "\n", root_.Path("mine"),
       key + root_.Path("mine") + "\n", key + root_.Path("mine") + "\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(home_);
    ASSERT_EQ(0, mkdir(home_.c_str(), 0755));
    if (c.user_config) WriteConfig(UserConfigPath(), *c.user_config);
    if (c.common_config) WriteConfig(CommonConfigPath(), *c.common_config);
    const RunResult run = Run({"-S"});
    if (c.target.empty()) {
      EXPECT_EQ(1, run.status);
      EXPECT_EQ(TextIn(kLanguageEnglish, "IDS_ERROR_NOTARGET") + "\n", run.err);
      EXPECT_EQ(std::vector<std::string>{}, ListTree(root_.Path("work")));
    } else {
      EXPECT_EQ(0, run.status);
      EXPECT_EQ("", run.err);
      EXPECT_EQ(installed_, ListTree(c.target));
      // The writer keeps the key's lines together where they first were.
      if (c.user_after.empty()) {
        EXPECT_EQ(0u, ReadFile(UserConfigPath()).find(key + c.target + "\n"));
      }
    }
    if (!c.user_after.empty()) {
      EXPECT_EQ(c.user_after, ReadFile(UserConfigPath()));
    }
    EXPECT_EQ(c.common_after, ReadFile(CommonConfigPath()));
    EXPECT_EQ(std::vector<std::string>{}, ListTree(root_.Path("tmp")));
  }
}

// Locations as the launcher means them, whatever the installer's current
// directory (root/work, which must stay empty).
TEST_F(SetupEndToEndTest, TemplateLocationsMeanWhatTheySay) {
  WriteKit(files_);
  const std::string key = "ConfigurationTemplatesLocation=";
  struct Case {
    std::string location;
    std::string target;
    std::string user_after;
  } cases[] = {
      {"~/tgt", home_ + "/tgt", key + home_ + "/tgt\n" + key + "~/tgt\n"},
      {".", default_target_, key + default_target_ + "\n" + key + ".\n"},
      {"./", default_target_, key + default_target_ + "\n" + key + "./\n"},
      {" ", default_target_, key + default_target_ + "\n" + key + " \n"},
      {"rel/dir", default_target_,
       key + default_target_ + "\n" + key + "rel/dir\n"},
      {" " + root_.Path("abs") + "\t", root_.Path("abs"),
       key + root_.Path("abs") + "\n" + key + " " + root_.Path("abs") + "\t\n"},
      // Recorded without its trailing separators, and once.
      {root_.Path("tgt") + "//", root_.Path("tgt"),
       key + root_.Path("tgt") + "\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("'" + c.location + "'");
    std::filesystem::remove_all(home_);
    ASSERT_EQ(0, mkdir(home_.c_str(), 0755));
    WriteConfig(UserConfigPath(), key + c.location + "\n");
    const RunResult run = Run({"-S"});
    EXPECT_EQ(0, run.status);
    // Falling back to the default directory is said.
    EXPECT_EQ(c.target == default_target_
                  ? TextIn(kLanguageEnglish, "IDS_NOTE_DEFAULT_TARGET") +
                        " \"" + default_target_ + "\"\n"
                  : "",
              run.err);
    EXPECT_EQ(installed_, ListTree(c.target));
    EXPECT_EQ(c.user_after, ReadFile(UserConfigPath()));
    EXPECT_EQ(std::vector<std::string>{}, ListTree(root_.Path("work")));
    EXPECT_EQ(std::vector<std::string>{}, ListTree(root_.Path("tmp")));
    // A second run into the same directory adds nothing to the list.
    ASSERT_EQ(0, Run({"-S"}).status);
    EXPECT_EQ(c.user_after, ReadFile(UserConfigPath()));
  }
}

TEST_F(SetupEndToEndTest, PreCheckFailuresEndTheRun) {
  struct Case {
    const char* name;
    std::string kit;  // bytes of tqkt.efd; none when empty
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {"no kit",
       "",
       {"-S"},
       TextIn(kLanguageEnglish, "IDS_ERROR_NOSOURCE") + " \"" +
           root_.Path("bin/tqkt.efd") + "\": No such file or directory\n"},
      {"damaged kit",
       "not a kit at all",
       {"-S"},
       TextIn(kLanguageEnglish, "IDS_ERROR_DAMAGEDSOURCE") + " \"" +
           root_.Path("bin/tqkt.efd") + "\": " +
           TextIn(kLanguageEnglish, "IDS_REASON_KIT_DAMAGED") + "\n"},
      {"no display without -S",
       "",
       {},
       "setup: cannot open a display; run with -S for a silent installation\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(root_.Path("bin/tqkt.efd"));
    if (!c.kit.empty()) {
      ASSERT_TRUE(WriteFile(root_.Path("bin/tqkt.efd"), c.kit));
    }
    const RunResult run = Run(c.args);
    EXPECT_EQ(1, run.status);
    EXPECT_EQ(c.err, run.err);
    EXPECT_EQ(std::vector<std::string>{}, ListTree(home_));
    EXPECT_EQ(std::vector<std::string>{}, ListTree(root_.Path("tmp")));
  }
}

TEST_F(SetupEndToEndTest, KitTooLargeForTheTemporaryDirectory) {
  const std::string tmp = root_.Path("tmp");
  if (mount("tmpfs", tmp.c_str(), "tmpfs", 0, "size=64k") != 0) {
    GTEST_SKIP() << "cannot mount a small tmpfs as TMPDIR: "
                 << std::strerror(errno);
  }
  // Incompressible, so that the kit itself is larger than a third of 64 KiB.
  std::mt19937 random(7);
  std::string noise(40000, '\0');
  for (char& byte : noise) byte = static_cast<char>(random());
  WriteKit({{"noise.bin", noise}});
  const RunResult run = Run({"-S"});
  EXPECT_EQ(1, run.status);
  EXPECT_EQ(TextIn(kLanguageEnglish, "IDS_ERROR_NOSPACE") + " \"" + tmp + "\"\n",
            run.err);
  EXPECT_EQ(std::vector<std::string>{}, ListTree(tmp));
  EXPECT_EQ(std::vector<std::string>{}, ListTree(home_));
  umount(tmp.c_str());
}

TEST_F(SetupEndToEndTest, FailedInstallationIsRolledBack) {
  const std::string target = root_.Path("t");
  ASSERT_EQ(0, mkdir(target.c_str(), 0755));
  ASSERT_TRUE(WriteFile(target + "/b.txt", "old"));
  ASSERT_TRUE(WriteFile(target + "/sub", "a file where a directory must go"));
  const struct timespec old_time[2] = {{1000, 0}, {1000, 0}};
  ASSERT_EQ(0, utimensat(AT_FDCWD, (target + "/b.txt").c_str(), old_time, 0));
  WriteKit({{"a.txt", "A"}, {"b.txt", "new"}, {"sub\\x.txt", "X"}});
  const std::string config = "ConfigurationTemplatesLocation=" + target + "\n";
  WriteConfig(UserConfigPath(), config);

  const RunResult run = Run({"-S"});
  EXPECT_EQ(1, run.status);
  EXPECT_EQ(TextIn(kLanguageEnglish, "IDS_INSTALL_ERROR") + ": \"" + target +
                "/sub\": Not a directory\n",
            run.err);
  EXPECT_EQ((std::vector<std::string>{"b.txt", "sub"}), ListTree(target));
  EXPECT_EQ("old", ReadFile(target + "/b.txt"));
  EXPECT_EQ(1000, ModificationTime(target + "/b.txt"));
  EXPECT_EQ(config, ReadFile(UserConfigPath()));
  EXPECT_EQ(std::vector<std::string>{}, ListTree(root_.Path("tmp")));
}

// A link in the template directory that leads outside it: the run fails
// naming the link, before a byte is written there or outside.
TEST_F(SetupEndToEndTest, ALinkLeadingOutsideTheDirectoryLetsNothingOut) {
  const std::string target = root_.Path("t");
  const std::string elsewhere = root_.Path("elsewhere");
  ASSERT_EQ(0, mkdir(target.c_str(), 0755));
  ASSERT_EQ(0, mkdir(elsewhere.c_str(), 0755));
  ASSERT_TRUE(WriteFile(elsewhere + "/b.txt", "someone else's"));
  ASSERT_EQ(0, symlink(elsewhere.c_str(), (target + "/sub").c_str()));
  WriteKit({{"a.txt", "A"}, {"sub\\b.txt", "B"}, {"sub\\new.txt", "N"}});
  WriteConfig(UserConfigPath(),
              "ConfigurationTemplatesLocation=" + target + "\n");
  const std::vector<std::string> target_before = ListTree(target);
  const RunResult run = Run({"-S"});
  EXPECT_EQ(1, run.status);
  EXPECT_EQ(TextIn(kLanguageEnglish, "IDS_INSTALL_ERROR") + ": \"" + target +
                "/sub\": " +
                TextIn(kLanguageEnglish, "IDS_REASON_LINK_OUTSIDE") + "\n",
            run.err);
  EXPECT_EQ(target_before, ListTree(target));
  EXPECT_EQ((std::vector<std::string>{"b.txt"}), ListTree(elsewhere));
  EXPECT_EQ("someone else's", ReadFile(elsewhere + "/b.txt"));
  EXPECT_EQ(std::vector<std::string>{}, ListTree(root_.Path("tmp")));
}

// A temporary directory that cannot take the kit's container is told as
// such, with the system's reason, never as a damaged kit.
TEST_F(SetupEndToEndTest, AnUnusableTemporaryDirectoryIsNamed) {
  const std::string tmp = root_.Path("tmp");
  if (mount("tmpfs", tmp.c_str(), "tmpfs", MS_RDONLY, "size=1m") != 0) {
    GTEST_SKIP() << "cannot mount a read-only tmpfs as TMPDIR: "
                 << std::strerror(errno);
  }
  WriteKit(files_);
  const RunResult run = Run({"-S"});
  umount(tmp.c_str());
  EXPECT_EQ(1, run.status);
  EXPECT_EQ(TextIn(kLanguageEnglish, "IDS_INSTALL_ERROR") + ": \"" + tmp +
                "\": Read-only file system\n",
            run.err);
  EXPECT_EQ(std::vector<std::string>{}, ListTree(home_));
}

// A silent run whose directory cannot be written says so, naming the folder
// it tried and the reason, before anything is done.
TEST_F(SetupEndToEndTest, AnUnwritableDirectoryEndsASilentRun) {
  const std::string kit_dir = home_ + "/.tqkt";
  ASSERT_EQ(0, mkdir(kit_dir.c_str(), 0755));
  if (mount("tmpfs", kit_dir.c_str(), "tmpfs", MS_RDONLY, "size=64k") != 0) {
    GTEST_SKIP() << "cannot mount a read-only tmpfs: " << std::strerror(errno);
  }
  WriteKit(files_);
  const RunResult run = Run({"-S"});
  umount(kit_dir.c_str());
  EXPECT_EQ(1, run.status);
  EXPECT_EQ(TextIn(kLanguageEnglish, "IDS_ERROR_TARGET_NOT_WRITABLE") + " \"" +
                kit_dir + "\": Read-only file system\n",
            run.err);
  EXPECT_EQ(std::vector<std::string>{}, ListTree(root_.Path("tmp")));
}

// The templates are installed even when the launcher configuration cannot
// be written; the user is warned, with the file and the reason.
TEST_F(SetupEndToEndTest, AnUnwritableLauncherConfigurationIsAWarning) {
  WriteKit(files_);
  // A file where the configuration's directory must be.
  ASSERT_TRUE(WriteFile(home_ + "/.Tq", "not a directory"));
  const RunResult run = Run({"-S"});
  EXPECT_EQ(0, run.status);
  EXPECT_EQ(TextIn(kLanguageEnglish, "IDS_WARN_CONFIG_NOT_SAVED") + " \"" +
                UserConfigPath() + "\": Not a directory\n",
            run.err);
  EXPECT_EQ(installed_, ListTree(default_target_));
}

TEST_F(SetupEndToEndTest, KitInTheCurrentDirectoryWithUsecwd) {
  WriteKit(files_, "work");
  RunResult run = Run({"-S"});  // looks beside the executable, and says so
  EXPECT_EQ(1, run.status);
  EXPECT_EQ(TextIn(kLanguageEnglish, "IDS_ERROR_NOSOURCE") + " \"" +
                root_.Path("bin/tqkt.efd") + "\": No such file or directory\n",
            run.err);
  run = Run({"usecwd", "-S"});
  EXPECT_EQ(0, run.status);
  EXPECT_EQ("", run.err);
  EXPECT_EQ(installed_, ListTree(default_target_));
}

TEST_F(SetupEndToEndTest, KitBesideAnExecutableWithALongPath) {
  std::string dir = root_.Path("bin");
  for (int i = 0; i < 4; ++i) dir += "/" + std::string(100, 'a' + i);
  std::filesystem::create_directories(dir);
  std::filesystem::copy_file(SETUP_PATH, dir + "/setup");
  ASSERT_EQ(0, chmod((dir + "/setup").c_str(), 0755));
  ASSERT_GT(dir.size(), 400u);
  ASSERT_TRUE(WriteTestKit(dir + "/tqkt.efd", files_));
  const RunResult run = Run({"-S"}, false, {}, dir + "/setup");
  EXPECT_EQ(0, run.status);
  EXPECT_EQ("", run.err);
  EXPECT_EQ(installed_, ListTree(default_target_));
}

TEST_F(SetupEndToEndTest, LanguageFromSwitchOrLocale) {
  const std::string no_display =
      "setup: cannot open a display; run with -S for a silent installation\n";
  struct Case {
    std::vector<std::string> args;
    std::map<std::string, std::string> env;
    std::string err;
    std::string note = "";  // the line before it
  } cases[] = {
      {{"-S", "-Lru"}, {}, TextIn(kLanguageRussian, "IDS_ERROR_NOSOURCE")},
      {{"/s", "/Lde"},
       {{"LANG", "ru_RU.UTF-8"}},
       TextIn(kLanguageGerman, "IDS_ERROR_NOSOURCE")},
      {{"-S"},
       {{"LANG", "uk_UA.UTF-8"}},
       TextIn(kLanguageUkrainian, "IDS_ERROR_NOSOURCE")},
      {{"-S", "-Lxx"},
       {{"LC_ALL", "de_DE.UTF-8"}},
       TextIn(kLanguageGerman, "IDS_ERROR_NOSOURCE"),
       "setup: unknown language \"xx\" in \"-Lxx\": the locale's language is "
       "used instead\n"},
      {{"-S"}, {{"LANG", "C"}}, TextIn(kLanguageEnglish, "IDS_ERROR_NOSOURCE")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.back());
    const RunResult run = Run(c.args, false, c.env);
    EXPECT_EQ(1, run.status);
    // The text in the language, then where the kit was looked for (the
    // system's reason is in the locale's language).
    const std::string expected =
        c.note + c.err + " \"" + root_.Path("bin/tqkt.efd") + "\": ";
    EXPECT_EQ(expected, run.err.substr(0, expected.size()));
  }
  // Switches after the language are not read, and a line says so: this run
  // is not silent.
  const RunResult run = Run({"-Lru", "-S"});
  EXPECT_EQ(1, run.status);
  EXPECT_EQ("setup: ignored \"-S\": nothing after \"-Lru\" is read\n" +
                no_display,
            run.err);
}

// In process, without a display: a silent run that gets SIGTERM while the
// worker copies rolls back and ends with status 2.
TEST_F(SetupEndToEndTest, SignalDuringHeadlessInstallationRollsBack) {
  EnvScope display("DISPLAY", std::nullopt);
  EnvScope home("HOME", home_);
  EnvScope tmp("TMPDIR", root_.Path("tmp"));
  WriteKit({{"a.txt", "A"}, {"gate.txt", "G"}, {"c.txt", "C"}}, "work");
  CwdScope cwd(root_.Path("work"));
  GateSystem gate("gate.txt");
  // The console run waits for the job on this thread: another one sees the
  // worker at the gate, signals, and opens the gate.
  bool signalled = false;
  std::thread signaller([&] {
    for (int tick = 0; tick < 12000 && !gate.Reached(); ++tick) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (gate.Reached()) {
      kill(getpid(), SIGTERM);
      signalled = true;
      // The signal is seen between two turns of the console loop.
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    gate.Release();
  });
  InstallSession session(gate, nullptr);
  CommandLine command_line;
  command_line.silent = true;
  command_line.use_current_dir = true;
  std::ostringstream out;
  std::ostringstream err;
  const int status = RunSetupConsole(session, command_line, out, err);
  signaller.join();
  EXPECT_TRUE(signalled);
  EXPECT_EQ(2, status);
  EXPECT_EQ(std::vector<std::string>{}, ListTree(default_target_));
  EXPECT_EQ("<missing>", ReadFile(UserConfigPath()));
}

}  // namespace
