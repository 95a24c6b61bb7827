// The security guarantees of setup and kittool that need no display: no
// shell and no other program, exclusive creation outside the template
// directory, a private backup directory that no planted name can redirect,
// and kits that name places outside the template directory refused.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine/engine_test_util.h"
#include "kit/kit_reader.h"
#include "launcher_config/launcher_config.h"
#include "platform/fault_injection.h"
#include "platform/scoped_temp_dir.h"
#include "tests/elf_scan.h"
#include "tests/security_test_util.h"
#include "tools/kittool_lib.h"

namespace {

using engine_test::Difference;
using engine_test::KitFile;
using engine_test::ScopedTmpdir;
using engine_test::Snapshot;
using engine_test::Tree;

// Imports that run a command line through a shell, or parse one as a shell
// would.
const std::set<std::string> kShellImports = {
    "system", "popen", "wordexp", "g_spawn_command_line_sync",
    "g_spawn_command_line_async", "g_shell_parse_argv"};

// Every import that can start a program, shell or not.
std::set<std::string> ProgramStarters(const std::set<std::string>& imports) {
  static const std::set<std::string> starters = {
      "system",  "popen",   "wordexp", "fork",    "vfork",       "clone",
      "clone3",  "execv",   "execve",  "execvp",  "execvpe",     "execl",
      "execle",  "execlp",  "fexecve", "execveat", "posix_spawn",
      "posix_spawnp", "gtk_show_uri", "gnome_url_show"};
  std::set<std::string> found;
  for (const std::string& name : imports) {
    if (starters.count(name) != 0 || name.rfind("g_spawn", 0) == 0 ||
        name.rfind("g_app_info_launch", 0) == 0) {
      found.insert(name);
    }
  }
  return found;
}

std::set<std::string> ShellImports(const std::set<std::string>& imports) {
  std::set<std::string> found;
  for (const std::string& name : imports) {
    if (kShellImports.count(name) != 0) found.insert(name);
  }
  return found;
}

TEST(SecurityImportsTest, SetupAndKittoolImportNoShell) {
  struct Case {
    const char* path;
    std::set<std::string> starters;  // all it may use to start a program
    const char* known_import;        // shows that the table was read
  } cases[] = {
      // The description opener: fork, then execvp of "xdg-open".
      {SETUP_PATH, {"execvp", "fork"}, "gtk_init_check"},
      {KITTOOL_PATH, {}, "rename"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const ElfScan scan = ScanElf(c.path, "/bin/sh");
    ASSERT_EQ("", scan.error);
    EXPECT_EQ(1u, scan.imports.count(c.known_import));
    EXPECT_EQ(std::set<std::string>{}, ShellImports(scan.imports));
    EXPECT_EQ(c.starters, ProgramStarters(scan.imports));
    EXPECT_EQ(std::vector<std::string>{}, scan.sections_with_text);
  }
}

TEST(SecurityImportsTest, TheScanFlagsAProgramThatUsesAShell) {
  const ElfScan scan = ScanElf(SHELL_USER_PATH, "/bin/sh");
  ASSERT_EQ("", scan.error);
  EXPECT_EQ((std::set<std::string>{"popen", "system"}),
            ShellImports(scan.imports));
  EXPECT_EQ((std::set<std::string>{"popen", "system"}),
            ProgramStarters(scan.imports));
  EXPECT_EQ(std::vector<std::string>{".rodata"}, scan.sections_with_text);
  // And what is not an ELF file is said to be so, not read as clean.
  ScopedTempDir dir;
  ASSERT_TRUE(WriteFile(dir.Path("script"), "#!/bin/sh\necho hi\n"));
  EXPECT_NE("", ScanElf(dir.Path("script"), "/bin/sh").error);
}

// The shipped programs carry the distribution's hardening: a stack
// protector and fortified libc calls (seen in what they import), a
// position-independent executable, and relocations read-only and bound at
// start. The negative control, built without any of it, shows that each
// check can fail.
TEST(SecurityHardeningTest, ProgramsAreHardenedAndTheScanSeesOneThatIsNot) {
#ifndef TQ_HARDENED
  GTEST_SKIP() << "this build is not hardened (a sanitizer build)";
#endif
#ifdef TQ_FORTIFIED
  const bool fortify = true;
#else
  const bool fortify = false;  // a Debug build: fortify needs optimisation
#endif
  const struct {
    const char* path;
    bool hardened;
  } cases[] = {
      {SETUP_PATH, true}, {KITTOOL_PATH, true}, {SHELL_USER_PATH, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const ElfScan scan = ScanElf(c.path, "");
    ASSERT_EQ("", scan.error);
    EXPECT_EQ(c.hardened, scan.pie);
    EXPECT_EQ(c.hardened, scan.relro);
    EXPECT_EQ(c.hardened, scan.bind_now);
    EXPECT_EQ(c.hardened, scan.imports.count("__stack_chk_fail") == 1);
    const bool fortified = std::any_of(
        scan.imports.begin(), scan.imports.end(), [](const std::string& name) {
          return name != "__stack_chk_fail" && name.rfind("__", 0) == 0 &&
                 name.size() > 6 && name.substr(name.size() - 4) == "_chk";
        });
    EXPECT_EQ(c.hardened && fortify, fortified);
  }
}

// A case directory: home, temporary directory, the stand-ins as the whole
// PATH, and a log of what they were started as.
class SecurityRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* dir : {"home", "tmp", "path", "bin", "work"}) {
      ASSERT_EQ(0, mkdir(root_.Path(dir).c_str(), 0755));
    }
    ASSERT_TRUE(MakeStandIns(root_.Path("path")));
    std::filesystem::copy_file(SETUP_PATH, root_.Path("bin/setup"));
    ASSERT_EQ(0, chmod(root_.Path("bin/setup").c_str(), 0755));
  }

  std::vector<std::string> Env() const {
    return {"HOME=" + root_.Path("home"), "TMPDIR=" + root_.Path("tmp"),
            "PATH=" + root_.Path("path"), "LANG=C.UTF-8",
            "TQ_STAND_IN_LOG=" + log_};
  }

  int Run(const std::vector<std::string>& argv) {
    return RunProgram(argv, Env(), root_.Path("work"), root_.Path("output"));
  }

  std::string Output() const { return ReadFile(root_.Path("output")); }

  std::string Target() const {
    return root_.Path("home") + "/.tqkt/WEX/wexkt/tmplts";
  }

  ScopedTempDir root_;
  const std::string log_ = root_.Path("started");
};

TEST_F(SecurityRunTest, StandInsRecordWhatTheyAreStartedAs) {
  // The recorder itself, so that an empty log below means "nothing started"
  // and not "nothing recorded".
  ASSERT_EQ(0, Run({root_.Path("path/sh"), "-c", "x y"}));
  ASSERT_EQ(0, Run({root_.Path("path/xdg-open"), "a b"}));
  const auto starts = StandInStarts(log_);
  ASSERT_EQ(2u, starts.size());
  EXPECT_EQ((std::vector<std::string>{"sh", "-c", "x y"}),
            std::vector<std::string>(starts[0].begin(), starts[0].end() - 1));
  EXPECT_EQ("xdg-open", starts[1][0]);
  EXPECT_EQ("a b", starts[1][1]);
}

TEST_F(SecurityRunTest, KittoolStartsNoProgram) {
  const std::string source = root_.Path("source");
  std::filesystem::create_directories(source + "/sub");
  ASSERT_TRUE(WriteFile(source + "/a.txt", "A"));
  ASSERT_TRUE(WriteFile(source + "/sub/b.txt", "B"));
  const std::string kit = root_.Path("kit.efd");
  const std::string target = root_.Path("target");
  ASSERT_EQ(0, Run({KITTOOL_PATH, "pack", source, "-o", kit, "--lang", "en",
                    "--product", "P", "--provider", "V"}))
      << Output();
  ASSERT_EQ(0, Run({KITTOOL_PATH, "list", kit})) << Output();
  ASSERT_EQ(0, Run({KITTOOL_PATH, "verify", kit})) << Output();
  ASSERT_EQ(0, Run({KITTOOL_PATH, "extract", kit, target})) << Output();
  EXPECT_EQ("B", ReadFile(target + "/sub/b.txt"));
  EXPECT_EQ(0u, StandInStarts(log_).size());
}

TEST_F(SecurityRunTest, SilentSetupStartsNoProgram) {
  ASSERT_TRUE(engine_test::WriteKitFile(
      root_.Path("bin/tqkt.efd"), {{"a.txt", "A"}, {"doc/readme.html", "D"}}));
  ASSERT_EQ(0, Run({root_.Path("bin/setup"), "-S"})) << Output();
  EXPECT_EQ("D", ReadFile(Target() + "/doc/readme.html"));
  EXPECT_EQ(0u, StandInStarts(log_).size());
}

TEST_F(SecurityRunTest, PlantedBackupNamesAreNeitherFollowedNorUsed) {
  // Someone else's entries at every backup name the first installers would
  // take: a directory, a file, links to a victim directory and file, and a
  // link to a name not yet made in the victim directory.
  const std::string tmp = root_.Path("tmp");
  const std::string victim = root_.Path("victim");
  ASSERT_EQ(0, mkdir(victim.c_str(), 0755));
  ASSERT_TRUE(WriteFile(victim + "/v.txt", "victim"));
  ASSERT_EQ(0, mkdir((tmp + "/ktstp0").c_str(), 0755));
  ASSERT_TRUE(WriteFile(tmp + "/ktstp0/planted", "planted"));
  ASSERT_TRUE(WriteFile(tmp + "/ktstp1", "planted"));
  ASSERT_EQ(0, symlink(victim.c_str(), (tmp + "/ktstp2").c_str()));
  ASSERT_EQ(0, symlink((victim + "/v.txt").c_str(), (tmp + "/ktstp3").c_str()));
  ASSERT_EQ(0, symlink((victim + "/new").c_str(), (tmp + "/ktstp4").c_str()));
  for (int n = 5; n <= 9; ++n) {
    const std::string name = tmp + "/ktstp" + std::to_string(n);
    ASSERT_EQ(0, symlink(victim.c_str(), name.c_str()));
  }
  // An older file in the template directory, so that the installation has
  // something to back up; and a kit that fails after that, so that the
  // rollback runs too. Then the same kit whole.
  std::filesystem::create_directories(Target());
  ASSERT_TRUE(WriteFile(Target() + "/a.txt", "old"));
  ASSERT_TRUE(engine_test::SetTime(Target() + "/a.txt", 1500000000));
  ASSERT_EQ(0, mkdir((Target() + "/c.txt").c_str(), 0755));  // in the way
  const Tree tmp_before = Snapshot(tmp);
  const Tree victim_before = Snapshot(victim);
  const std::vector<KitFile> files = {
      {"a.txt", "A", 1600000000}, {"b.txt", "B"}, {"c.txt", "C"}};
  ASSERT_TRUE(engine_test::WriteKitFile(root_.Path("bin/tqkt.efd"), files));
  EXPECT_EQ(1, Run({root_.Path("bin/setup"), "-S"})) << Output();
  EXPECT_EQ("old", ReadFile(Target() + "/a.txt"));
  EXPECT_EQ("", Difference(tmp_before, Snapshot(tmp)));
  EXPECT_EQ("", Difference(victim_before, Snapshot(victim)));

  ASSERT_EQ(0, rmdir((Target() + "/c.txt").c_str()));
  EXPECT_EQ(0, Run({root_.Path("bin/setup"), "-S"})) << Output();
  EXPECT_EQ("A", ReadFile(Target() + "/a.txt"));
  EXPECT_EQ("C", ReadFile(Target() + "/c.txt"));
  EXPECT_EQ("", Difference(tmp_before, Snapshot(tmp)));
  EXPECT_EQ("", Difference(victim_before, Snapshot(victim)));
}

TEST_F(SecurityRunTest, KitNamingAPlaceOutsideIsRefusedBeforeAnythingIsWritten) {
  for (const std::u16string& name :
       {std::u16string(u"..\\..\\escape.txt"), std::u16string(u"a\\..\\..\\x"),
        std::u16string(u"..")}) {
    SCOPED_TRACE(std::string(name.begin(), name.end()));
    KitSpec spec = engine_test::SpecOf({{"a.txt", "A"}});
    KitFileSpec entry;
    entry.name = WideString(name.data(), static_cast<uint32_t>(name.size()));
    entry.data = "escaped";
    entry.last_write = FileTimeFromUnixSeconds(1600000000);
    spec.files.push_back(entry);
    ASSERT_TRUE(WriteFile(root_.Path("bin/tqkt.efd"),
                          DeflateRaw(BuildContainer(spec))));
    const Tree before = Snapshot(root_.path());
    EXPECT_EQ(1, Run({root_.Path("bin/setup"), "-S"})) << Output();
    Tree after = Snapshot(root_.path());
    after.erase("output");
    Tree expected = before;
    expected.erase("output");
    EXPECT_EQ("", Difference(expected, after));
  }
}

// Sets HOME for the scope.
class ScopedHome {
 public:
  explicit ScopedHome(const std::string& home) {
    if (const char* old = getenv("HOME")) old_ = old;
    setenv("HOME", home.c_str(), 1);
  }
  ~ScopedHome() {
    if (old_.empty()) {
      unsetenv("HOME");
    } else {
      setenv("HOME", old_.c_str(), 1);
    }
  }
  ScopedHome(const ScopedHome&) = delete;
  ScopedHome& operator=(const ScopedHome&) = delete;

 private:
  std::string old_;
};

// The whole of an installation done in this process (the kit reader and the
// engine, as kittool extract does them, then the launcher configuration's
// rewrite), with every platform call logged.
class SecurityCallLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* dir : {"tmp", "target", "config", "home"}) {
      ASSERT_EQ(0, mkdir(root_.Path(dir).c_str(), 0755));
    }
    ASSERT_TRUE(engine_test::WriteKitFile(
        root_.Path("kit.efd"),
        {{"a.txt", "A", 1600000000}, {"sub/deep/b.txt", "B"}}));
    // Something to back up.
    ASSERT_TRUE(WriteFile(root_.Path("target/a.txt"), "old"));
    ASSERT_TRUE(engine_test::SetTime(root_.Path("target/a.txt"), 1500000000));
    ASSERT_TRUE(WriteFile(root_.Path("config/tqlaunch.cfg"), "k=v\n"));
  }

  // Runs the installation and the configuration rewrite; returns the log.
  // `unnamed_files`: false for a temporary directory without unnamed files.
  std::vector<SysCall> Install(bool unnamed_files = true) {
    ScopedTmpdir tmpdir(root_.Path("tmp"));
    // The engine keeps a pointer to its journal under the home directory.
    ScopedHome home(root_.Path("home"));
    FaultInjectingSystem system;
    if (!unnamed_files) system.RefuseUnnamedFiles();
    {
      KittoolOptions options;
      options.command = KittoolCommand::kExtract;
      options.kit = root_.Path("kit.efd");
      options.target_dir = root_.Path("target");
      std::ostringstream out;
      std::ostringstream err;
      EXPECT_EQ(0, RunExtract(system, options, out, err, false)) << err.str();
      ConfigStore store;
      LauncherConfig::AddValue(store, u"k", u"v");
      LauncherConfig::AddValue(store, u"k", u"w");
      EXPECT_TRUE(LauncherConfig::WriteFile(
                      system, WidePath(root_.Path("config/tqlaunch.cfg")),
                      store)
                      .ok());
    }
    EXPECT_EQ("B", ReadFile(root_.Path("target/sub/deep/b.txt")));
    EXPECT_EQ("k=v\nk=w\n", ReadFile(root_.Path("config/tqlaunch.cfg")));
    return system.Log();
  }

  ScopedTempDir root_;
};

TEST_F(SecurityCallLogTest, OutsideTheTargetEveryFileIsMadeExclusively) {
  for (const bool unnamed_files : {true, false}) {
    SCOPED_TRACE(unnamed_files ? "unnamed container" : "named container");
    // The old file to back up, and the old configuration, again for the
    // second run.
    ASSERT_TRUE(WriteFile(root_.Path("target/a.txt"), "old"));
    ASSERT_TRUE(engine_test::SetTime(root_.Path("target/a.txt"), 1500000000));
    ASSERT_TRUE(WriteFile(root_.Path("config/tqlaunch.cfg"), "k=v\n"));
    const std::vector<SysCall> log = Install(unnamed_files);
    const std::string tmp = root_.Path("tmp");
    const std::string target = root_.Path("target");
    int temp_files = 0;
    int config_temp_files = 0;
    for (const SysCall& call : log) {
      // An unnamed file has no name anyone could put a link at.
      if (call.op == SysOp::kOpen && call.path == tmp &&
          (call.flags & O_TMPFILE) == O_TMPFILE && !call.failed) {
        ++temp_files;
      }
      // The configuration's new text goes to a part file made exclusively
      // beside it.
      if (call.op == SysOp::kOpen && (call.flags & O_CREAT) != 0 &&
          (call.flags & O_EXCL) != 0 &&
          IsUnder(call.path, root_.Path("config"))) {
        ++config_temp_files;
      }
      // mkostemp: O_CREAT | O_EXCL, mode 0600, by its contract.
      if (call.op != SysOp::kMakeTemp) continue;
      if (IsUnder(call.path, tmp)) ++temp_files;
    }
    EXPECT_EQ(std::vector<std::string>{},
              CreationRuleBreaches(log, tmp, target));
    EXPECT_EQ(1, temp_files);         // the kit's container
    EXPECT_EQ(1, config_temp_files);  // the configuration's new text
  }
}

TEST_F(SecurityCallLogTest, BackupDirectoryTakesTheNextFreeNameAndOnlyThat) {
  // Where the backup directories go: the state directory shares the
  // template directory's file system.
  const std::string tmp = engine_test::StateBackups(root_.Path("home"));
  std::filesystem::create_directories(tmp);
  ASSERT_EQ(0, chmod(tmp.c_str(), 0700));
  const std::string victim = root_.Path("victim");
  ASSERT_EQ(0, mkdir(victim.c_str(), 0755));
  for (int n = 0; n <= 9; ++n) {
    const std::string name = tmp + "/ktstp" + std::to_string(n);
    ASSERT_EQ(0, n % 2 == 0 ? symlink(victim.c_str(), name.c_str())
                            : mkdir(name.c_str(), 0777));
  }
  const std::vector<SysCall> log = Install();
  std::vector<std::string> made;
  bool used_ten = false;
  for (const SysCall& call : log) {
    for (int n = 0; n <= 9; ++n) {
      const std::string planted = tmp + "/ktstp" + std::to_string(n);
      for (const std::string& path : {call.path, call.path2}) {
        // Only the mkdir that finds the name taken and the recovery's look
        // at what is there (which follows no link) ever name it.
        if (path == planted) {
          EXPECT_TRUE(call.op == SysOp::kMkdir || call.op == SysOp::kLstat)
              << SysOpName(call.op);
        }
        EXPECT_FALSE(IsUnder(path, planted)) << SysOpName(call.op) << " " << path;
      }
    }
    if (call.op == SysOp::kMkdir && call.path.rfind(tmp + "/ktstp", 0) == 0 &&
        call.path.find('/', tmp.size() + 1) == std::string::npos) {
      made.push_back(call.path.substr(tmp.size() + 1));
      EXPECT_EQ(0700u, call.mode);
    }
    if (IsUnder(call.path, tmp + "/ktstp10")) used_ten = true;
  }
  EXPECT_EQ((std::vector<std::string>{"ktstp0", "ktstp1", "ktstp2", "ktstp3",
                                      "ktstp4", "ktstp5", "ktstp6", "ktstp7",
                                      "ktstp8", "ktstp9", "ktstp10"}),
            made);
  EXPECT_TRUE(used_ten);  // the user's old a.txt went there
  EXPECT_TRUE(Snapshot(victim).empty());
}

TEST(SecurityContainerTest, ALinkAtTheContainersNameIsNotFollowed) {
  // The container's name is unpredictable (mkostemp), but should a link
  // take its place between its making and its opening, the reader must not
  // write through it.
  class Swapper : public FaultInjectingSystem {
   public:
    explicit Swapper(std::string victim) : victim_(std::move(victim)) {}
    int Open(const char* path, int flags, mode_t mode) override {
      const std::string name = path;
      if (name.find("/edf") != std::string::npos && (flags & O_CREAT) == 0) {
        unlink(path);
        EXPECT_EQ(0, symlink(victim_.c_str(), path));
      }
      return FaultInjectingSystem::Open(path, flags, mode);
    }

   private:
    std::string victim_;
  };
  ScopedTempDir dir;
  ASSERT_EQ(0, mkdir(dir.Path("tmp").c_str(), 0700));
  ScopedTmpdir tmpdir(dir.Path("tmp"));
  ASSERT_TRUE(engine_test::WriteKitFile(dir.Path("kit.efd"), {{"a", "A"}}));
  ASSERT_TRUE(WriteFile(dir.Path("victim"), "victim"));
  Swapper system(dir.Path("victim"));
  // A file system without unnamed files: the container gets a name.
  system.RefuseUnnamedFiles();
  KitReader reader(system);
  EXPECT_FALSE(reader.Open(WidePath(dir.Path("kit.efd"))).ok());
  EXPECT_EQ("victim", ReadFile(dir.Path("victim")));
}

}  // namespace
