// The built installer and kittool run by a careless or hostile user: a HOME
// that is no place for files, an XDG_STATE_HOME that cannot be used (also
// across a kill and a restart with another TMPDIR), launcher configuration
// files that are no regular files or begin with a byte-order mark, foreign
// entries among the journal pointers, and a current directory that was
// deleted. Every program runs as a user runs it: setup copied beside its
// kit, headless, each run with the test's own HOME and TMPDIR.
#include <gtest/gtest.h>
#include <locale.h>
#include <pwd.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "engine/engine_test_util.h"
#include "l10n/string_table.h"
#include "platform/scoped_temp_dir.h"
#include "platform/test_process.h"
#include "text/text_conversion.h"

namespace {

using namespace engine_test;

// A run that takes longer is stuck (in an open() of a FIFO, say) and fails.
constexpr std::chrono::seconds kRunLimit(30);
constexpr char kSetpriv[] = "/usr/bin/setpriv";
const std::string kLocationKey = "ConfigurationTemplatesLocation=";
const std::string kByteOrderMark = "\xEF\xBB\xBF";

std::string English(const char* key) {
  StringTable::SetCurrentLanguage(kLanguageEnglish);
  return WideToUtf8(StringTable::Lookup(key)).c_str();
}

bool Exists(const std::string& path) {
  struct stat status;
  return lstat(path.c_str(), &status) == 0;
}

// The lines of `text` that start with `prefix`.
int LinesStartingWith(const std::string& text, const std::string& prefix) {
  int count = 0;
  for (size_t at = 0; at < text.size();) {
    count += text.compare(at, prefix.size(), prefix) == 0;
    const size_t end = text.find('\n', at);
    at = end == std::string::npos ? text.size() : end + 1;
  }
  return count;
}

struct Result {
  int status = -1;  // the exit status; -1 when killed (stuck) or unstarted
  bool killed = false;
  std::string err;
};

class UntrustedEnvTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Readable by the other users some cases run as.
    ASSERT_EQ(0, chmod(root_.path().c_str(), 0755));
    for (const char* dir : {"home", "tmp", "tmp2", "work", "out", "bin",
                            "nokit"}) {
      ASSERT_EQ(0, mkdir(root_.Path(dir).c_str(), 0755));
    }
    home_ = root_.Path("home");
    target_ = home_ + "/.tqkt/WEX/wexkt/tmplts";
    for (const char* copy : {"bin/setup", "nokit/setup"}) {
      std::filesystem::copy_file(SETUP_PATH, root_.Path(copy));
      ASSERT_EQ(0, chmod(root_.Path(copy).c_str(), 0755));
    }
    std::filesystem::copy_file(SETUP_KILLER_PATH, root_.Path("bin/killer"));
    ASSERT_EQ(0, chmod(root_.Path("bin/killer").c_str(), 0755));
    ASSERT_TRUE(WriteKitFile(root_.Path("bin/tqkt.efd"),
                             {{"a.cfg", "replaces a"},
                              {"new.cfg", "new"},
                              {"sub/deep/older.txt", "replaces older"},
                              {"z/big.bin", RandomBytes(300000, 5)}}));
  }

  void TearDown() override {
    if (!mounted_.empty()) umount2(mounted_.c_str(), MNT_DETACH);
  }

  // Runs `argv` in root/work (or `work_dir`; "-" for this process's own)
  // with HOME, TMPDIR and C.UTF-8, changed by `env` (nullopt unsets).
  Result Run(std::vector<std::string> argv,
             const std::map<std::string, std::optional<std::string>>& env = {},
             const std::string& work_dir = "") {
    std::map<std::string, std::optional<std::string>> all = {
        {"HOME", home_}, {"TMPDIR", root_.Path("tmp")},
        {"LC_ALL", "C.UTF-8"}, {"PATH", "/usr/bin:/bin"}};
    for (const auto& [name, value] : env) all[name] = value;
    test_process::Child child;
    child.argv = std::move(argv);
    for (const auto& [name, value] : all) {
      if (value) child.env.push_back(name + "=" + *value);
    }
    for (const std::string& variable : test_process::Inherited(
             {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})) {
      child.env.push_back(variable);
    }
    child.stderr_path = root_.Path("out/err");
    child.stdout_path = stdout_path_;
    child.work_dir = work_dir == "-"    ? ""
                     : work_dir.empty() ? root_.Path("work")
                                        : work_dir;
    const test_process::Ended ended = test_process::Run(child, kRunLimit);
    Result result;
    EXPECT_EQ(0, ended.spawn_error) << "cannot start " << child.argv[0];
    result.killed = ended.KilledBy(SIGKILL);
    result.status = ended.ExitStatus();
    result.err = ended.err;
    return result;
  }

  std::vector<std::string> Setup(const char* dir = "bin") const {
    return {root_.Path(std::string(dir) + "/setup"), "-S", "-Len"};
  }

  // A read-only directory at `path`, even for root: a read-only file
  // system when this process may mount one, else a directory without
  // write permission when that keeps this user out. False when neither.
  bool MakeReadOnlyDirectory(const std::string& path) {
    if (mkdir(path.c_str(), 0755) != 0) return false;
    if (mount("tmpfs", path.c_str(), "tmpfs", MS_RDONLY, "size=64k") == 0) {
      mounted_ = path;
      return true;
    }
    return geteuid() != 0 && chmod(path.c_str(), 0555) == 0;
  }

  ScopedTempDir root_;
  std::string home_;
  std::string target_;
  std::string mounted_;
  std::string stdout_path_;  // empty: /dev/null
};

// --kit and --target install where they say (a checksum file beside the
// named kit is checked), a relative target is recorded as an absolute one,
// and a word setup does not read is named once while the run goes on.
TEST_F(UntrustedEnvTest, TheKitAndTheTargetAreTakenFromTheCommandLine) {
  const std::string kit = root_.Path("work/other.efd");
  std::filesystem::copy_file(root_.Path("bin/tqkt.efd"), kit);
  const std::string config = home_ + "/.Tq/tqlaunch/tqlaunch.cfg";
  const std::string setup = root_.Path("nokit/setup");
  struct Case {
    const char* name;
    std::string target;  // as typed, from root/work
    std::string lands;   // where the files go
    std::string sum;     // the checksum file's text; empty: none;
                         // "kittool": the one kittool checksum writes
    int status;
  } cases[] = {
      {"absolute", root_.Path("out/abs"), root_.Path("out/abs"), "", 0},
      {"relative", "rel/dir", root_.Path("work/rel/dir"), "", 0},
      {"a checksum that matches", root_.Path("out/good"),
       root_.Path("out/good"), "kittool", 0},
      {"a checksum that does not match", root_.Path("out/sum"),
       root_.Path("out/sum"), std::string(64, '0') + "  other.efd\n", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(kit + ".sha256");
    if (c.sum == "kittool") {
      ASSERT_EQ(0, Run({KITTOOL_PATH, "checksum", kit}).status);
      ASSERT_TRUE(Exists(kit + ".sha256"));
    } else if (!c.sum.empty()) {
      ASSERT_TRUE(WriteFile(kit + ".sha256", c.sum));
    }
    const Result run =
        Run({setup, "-S", "--kit", kit, "--target=" + c.target, "--quiet"});
    EXPECT_EQ(c.status, run.status) << run.err;
    EXPECT_EQ(1, LinesStartingWith(
                     run.err,
                     "setup: ignored \"--quiet\": not an option of setup"))
        << run.err;
    if (c.status == 0) {
      EXPECT_EQ("new", ReadFile(c.lands + "/new.cfg"));
      EXPECT_NE(std::string::npos, ReadFile(config).find(c.lands + "\n"))
          << ReadFile(config);
    } else {
      EXPECT_FALSE(std::filesystem::exists(c.lands));
    }
  }
}

// A message is in one language: the text's, and the system's reason after
// it in the same language where the system has it, else English. The
// language of the messages follows LC_ALL, then LC_MESSAGES, then LANG; a
// locale that is not installed earns no word from the toolkit.
TEST_F(UntrustedEnvTest, AMessageIsInOneLanguage) {
  const auto reason_in = [](const char* locale) -> std::string {
    locale_t made = newlocale(LC_ALL_MASK, locale, nullptr);
    if (made == nullptr) return std::string();
    const std::string text = strerror_l(ENOENT, made);
    freelocale(made);
    return text;
  };
  const auto text_in = [](LanguageId id) {
    return std::string(WideToUtf8(StringTable::LookupIn(
                                      id, "IDS_ERROR_NOSOURCE"))
                           .c_str());
  };
  struct Case {
    const char* name;
    std::vector<std::string> switches;
    std::map<std::string, std::optional<std::string>> env;
    LanguageId language;
    const char* reason_locale;
  } cases[] = {
      {"messages German, the rest not",
       {},
       {{"LC_ALL", std::nullopt},
        {"LANG", "C.UTF-8"},
        {"LC_MESSAGES", "de_DE.UTF-8"}},
       kLanguageGerman,
       "de_DE.UTF-8"},
      {"LC_ALL over LANG",
       {},
       {{"LC_ALL", "ru_RU.UTF-8"}, {"LANG", "de_DE.UTF-8"}},
       kLanguageRussian,
       "ru_RU.UTF-8"},
      {"-Lru in a German locale",
       {"-Lru"},
       {{"LC_ALL", "de_DE.UTF-8"}},
       kLanguageRussian,
       "ru_RU.UTF-8"},
      {"a locale that is not installed",
       {},
       {{"LC_ALL", std::nullopt}, {"LANG", "xx_XX.UTF-8"}},
       kLanguageEnglish,
       "C"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string reason = reason_in(c.reason_locale);
    if (reason.empty()) {
      std::cout << "skipped \"" << c.name << "\": no " << c.reason_locale
                << " locale\n";
      continue;
    }
    std::vector<std::string> argv = {root_.Path("nokit/setup"), "-S"};
    argv.insert(argv.end(), c.switches.begin(), c.switches.end());
    const Result run = Run(argv, c.env);
    EXPECT_EQ(1, run.status) << run.err;
    EXPECT_EQ(text_in(c.language) + " \"" + root_.Path("nokit/tqkt.efd") +
                  "\": " + reason + "\n",
              run.err);
  }
}

// A run whose summary cannot be written installs and then fails, saying
// so: a script must not read success where there is no line. A run that
// changes nothing in the launcher configuration leaves its file alone.
TEST_F(UntrustedEnvTest, AnUnwrittenSummaryFailsAndAnUnchangedConfigurationStays) {
  stdout_path_ = "/dev/full";
  Result run = Run(Setup());
  EXPECT_EQ(1, run.status) << run.err;
  EXPECT_EQ(1, LinesStartingWith(run.err,
                                 English("IDS_ERROR_REPORT_NOT_WRITTEN")))
      << run.err;
  EXPECT_NE(std::string::npos, run.err.find(std::strerror(ENOSPC))) << run.err;
  EXPECT_EQ("new", ReadFile(target_ + "/new.cfg"));

  const std::string config = home_ + "/.Tq/tqlaunch/tqlaunch.cfg";
  const struct timespec old_times[2] = {{1000000, 0}, {1000000, 0}};
  ASSERT_EQ(0, utimensat(AT_FDCWD, config.c_str(), old_times, 0));
  struct stat before, after;
  ASSERT_EQ(0, stat(config.c_str(), &before));
  stdout_path_.clear();
  run = Run(Setup());
  EXPECT_EQ(0, run.status) << run.err;
  ASSERT_EQ(0, stat(config.c_str(), &after));
  EXPECT_EQ(before.st_ino, after.st_ino);
  EXPECT_EQ(1000000, after.st_mtim.tv_sec);
}

// A HOME that is no place for files (or no directory at all) ends the run
// with one message naming it, before anything is written; without HOME the password database's
// home is taken (checked as users the test can become: one without an
// entry, and one whose home does not exist).
TEST_F(UntrustedEnvTest, AHomeThatCannotHoldOurFilesStopsBeforeAnyWrite) {
  const std::string refused = English("IDS_ERROR_HOME_UNUSABLE");
  const std::string kittool_refused =
      "the home directory (HOME) cannot be used";
  struct Case {
    const char* name;
    std::optional<std::string> home;
    bool kittool;
    std::string shown;  // the value as the message shows it
    std::string reason;
  };
  const Case cases[] = {
      {"line feed", home_ + "\nx", false, home_ + "\\nx",
       English("IDS_REASON_CONTROL_CHARACTERS")},
      {"carriage return", home_ + "\rx", false, home_ + "\\rx",
       English("IDS_REASON_CONTROL_CHARACTERS")},
      {"relative", "home", false, "\"home\"",
       English("IDS_REASON_NOT_ABSOLUTE")},
      {"kittool, line feed", home_ + "\nx", true, home_ + "\\nx",
       "control characters"},
      // Not there, or no directory: never made.
      {"missing", home_ + "/gone", false, "\"" + home_ + "/gone\"",
       std::strerror(ENOENT)},
      {"a file", root_.Path("bin/tqkt.efd"), false,
       "\"" + root_.Path("bin/tqkt.efd") + "\"", std::strerror(ENOTDIR)},
      {"kittool, missing", home_ + "/gone", true, "\"" + home_ + "/gone\"",
       std::strerror(ENOENT)},
  };
  const Tree before = Snapshot(root_.path());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // The relative HOME, from root/, names the test's own home.
    const Result run =
        c.kittool ? Run({KITTOOL_PATH, "extract", root_.Path("bin/tqkt.efd"),
                         root_.Path("extracted")},
                        {{"HOME", c.home}}, root_.path())
                  : Run(Setup(), {{"HOME", c.home}}, root_.path());
    EXPECT_EQ(1, run.status) << run.err;
    EXPECT_EQ(1, LinesStartingWith(run.err, c.kittool ? "kittool: " : refused))
        << run.err;
    if (c.kittool) {
      EXPECT_NE(std::string::npos, run.err.find(kittool_refused)) << run.err;
    }
    EXPECT_NE(std::string::npos, run.err.find(c.shown)) << run.err;
    EXPECT_NE(std::string::npos, run.err.find(c.reason)) << run.err;
    Tree after = Snapshot(root_.path());
    after.erase("out/err");
    EXPECT_EQ("", Difference(before, after));
  }

  if (geteuid() != 0 || !Exists(kSetpriv)) {
    std::cout << "skipped the runs without HOME: they need root (to become "
                 "a user the test knows) and setpriv\n";
    return;
  }
  uid_t stranger = 4000000;
  while (getpwuid(stranger) != nullptr) ++stranger;
  const struct passwd* nobody = getpwnam("nobody");
  struct User {
    const char* name;
    uid_t uid;
    std::optional<std::string> home;
    std::string expected;  // in the message
  };
  std::vector<User> users = {
      {"unset, no entry", stranger, std::nullopt, std::strerror(ENOENT)},
      {"empty, no entry", stranger, "", std::strerror(ENOENT)}};
  if (nobody != nullptr && !Exists(nobody->pw_dir)) {
    users.push_back({"unset, entry's home missing", nobody->pw_uid,
                     std::nullopt, std::string("\"") + nobody->pw_dir + "\""});
  }
  for (const User& user : users) {
    SCOPED_TRACE(user.name);
    std::vector<std::string> argv = {kSetpriv,
                                     "--reuid=" + std::to_string(user.uid),
                                     "--regid=" + std::to_string(user.uid),
                                     "--clear-groups"};
    for (const std::string& arg : Setup()) argv.push_back(arg);
    const Result run = Run(argv, {{"HOME", user.home}});
    EXPECT_EQ(1, run.status) << run.err;
    EXPECT_NE(std::string::npos, run.err.find(user.expected)) << run.err;
    Tree after = Snapshot(root_.path());
    after.erase("out/err");
    EXPECT_EQ("", Difference(before, after));
  }
  EXPECT_FALSE(Exists("/.tqkt")) << "installed at the root";
}

// An XDG_STATE_HOME that cannot be used is named once and the home's
// state directory holds the journal pointer instead: a run killed in the
// middle of its installation is undone by the next one, even with another
// TMPDIR. Without any state directory nothing is installed.
TEST_F(UntrustedEnvTest, AnUnusableStateHomeIsNamedAndTheHomesIsUsed) {
  const std::string note = English("IDS_NOTE_STATE_FALLBACK");
  ASSERT_TRUE(WriteFile(root_.Path("file"), "x"));
  ASSERT_EQ(0, symlink(root_.Path("nowhere").c_str(),
                       root_.Path("dangling").c_str()));
  const bool read_only = MakeReadOnlyDirectory(root_.Path("ro"));
  struct Case {
    const char* name;
    std::string state_home;
    int error;
  };
  std::vector<Case> cases = {{"regular file", root_.Path("file"), ENOTDIR},
                             {"dangling link", root_.Path("dangling"), ENOENT}};
  if (read_only) {
    cases.push_back({"read-only directory", root_.Path("ro"),
                     mounted_.empty() ? EACCES : EROFS});
  } else {
    std::cout << "skipped the read-only XDG_STATE_HOME: no read-only file "
                 "system can be mounted here, and root writes anywhere\n";
  }
  const std::vector<std::string> killer = {root_.Path("bin/killer"), "-S"};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(home_);
    ASSERT_EQ(0, mkdir(home_.c_str(), 0755));
    const std::map<std::string, std::optional<std::string>> env = {
        {"XDG_STATE_HOME", c.state_home}};
    MakeUserTemplates(target_);
    const Tree original = Snapshot(target_);
    std::vector<std::string> counted = killer;
    counted.insert(counted.begin() + 1, {"--count-to", root_.Path("count")});
    const Result whole = Run(counted, env);
    ASSERT_EQ(0, whole.status) << whole.err;
    EXPECT_EQ(1, LinesStartingWith(whole.err, note)) << whole.err;
    EXPECT_NE(std::string::npos,
              whole.err.find("\"" + c.state_home + "\": " +
                             std::strerror(c.error)))
        << whole.err;
    const Tree installed = Snapshot(target_);
    const unsigned long calls = std::stoul(ReadFile(root_.Path("count")));

    MakeUserTemplates(target_);
    std::vector<std::string> killed = killer;
    killed.insert(killed.begin() + 1,
                  {"--kill-at", std::to_string(calls / 2), "--kill-before"});
    const Result stopped = Run(killed, env);
    ASSERT_TRUE(stopped.killed) << stopped.err;
    // The backups lie on the template directory's file system: in the
    // state directory the run fell back to.
    ASSERT_FALSE(BackupDirectories(StateBackups(home_)).empty());
    const Result next = Run(Setup("nokit"),
                            {{"XDG_STATE_HOME", c.state_home},
                             {"TMPDIR", root_.Path("tmp2")}});
    EXPECT_EQ(1, next.status) << next.err;  // no kit beside this one
    const Tree now = Snapshot(target_);
    EXPECT_TRUE(Difference(original, now).empty() ||
                Difference(installed, now).empty())
        << Difference(original, now);
    EXPECT_EQ(std::vector<std::string>{},
              BackupDirectories(root_.Path("tmp")));
    EXPECT_EQ(std::vector<std::string>{},
              BackupDirectories(StateBackups(home_)));
    EXPECT_EQ(std::vector<std::string>{},
              NamesIn(home_ + "/.local/state/tqsetup/journals"));
  }

  // Neither XDG_STATE_HOME nor the home can hold one: nothing begins.
  std::filesystem::remove_all(home_);
  ASSERT_EQ(0, mkdir(home_.c_str(), 0755));
  ASSERT_TRUE(WriteFile(home_ + "/.local", "in the way"));
  const Result refused =
      Run(Setup(), {{"XDG_STATE_HOME", root_.Path("file")}});
  EXPECT_EQ(1, refused.status) << refused.err;
  EXPECT_EQ(1, LinesStartingWith(refused.err, English("IDS_ERROR_NO_STATE_DIR")))
      << refused.err;
  EXPECT_NE(std::string::npos,
            refused.err.find("\"" + home_ + "/.local\": " +
                             std::strerror(ENOTDIR)))
      << refused.err;
  EXPECT_FALSE(Exists(home_ + "/.tqkt"));
}

// Launcher configuration files that are no regular files are never opened
// so that they block, and the user hears which one and why after the
// installation, which goes to the default directory; a byte-order mark
// hides nothing and is kept. Foreign entries among the journal pointers
// are named and left alone.
TEST_F(UntrustedEnvTest, OurFilesThatAreNotWhatWeMadeAreRefusedByName) {
  const std::string user = home_ + "/.Tq/tqlaunch/tqlaunch.cfg";
  const std::string common = home_ + "/.Tq/tqlauncht/tqlaunch.cfg";
  const std::string named = root_.Path("named");
  const std::string warning = English("IDS_WARN_CONFIG_NOT_SAVED");
  const std::string not_regular = English("IDS_REASON_NOT_REGULAR");
  enum class Kind { kByteOrderMark, kFifo, kDirectory, kZeroLink };
  struct Case {
    const char* name;
    Kind kind;
    const std::string* path;
  };
  const Case cases[] = {
      {"byte-order mark", Kind::kByteOrderMark, &user},
      {"FIFO", Kind::kFifo, &user},
      {"directory", Kind::kDirectory, &user},
      {"link to /dev/zero", Kind::kZeroLink, &user},
      {"common FIFO", Kind::kFifo, &common},
      {"common link to /dev/zero", Kind::kZeroLink, &common},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(home_ + "/.Tq");
    std::filesystem::remove_all(home_ + "/.tqkt");
    std::filesystem::remove_all(named);
    const std::string& path = *c.path;
    std::filesystem::create_directories(
        std::filesystem::path(path).parent_path());
    switch (c.kind) {
      case Kind::kByteOrderMark:
        ASSERT_EQ(0, mkdir(named.c_str(), 0755));
        // The blank line goes on rewriting: the text changes.
        ASSERT_TRUE(WriteFile(path, kByteOrderMark + kLocationKey + named +
                                        "\n\nOther=1\n"));
        break;
      case Kind::kFifo:
        ASSERT_EQ(0, mkfifo(path.c_str(), 0600));
        break;
      case Kind::kDirectory:
        ASSERT_EQ(0, mkdir(path.c_str(), 0755));
        break;
      case Kind::kZeroLink:
        ASSERT_EQ(0, symlink("/dev/zero", path.c_str()));
        break;
    }
    struct stat made;
    ASSERT_EQ(0, lstat(path.c_str(), &made));
    const Result run = Run(Setup());
    if (run.killed) {
      ADD_FAILURE() << "stuck";
      continue;
    }
    EXPECT_EQ(0, run.status) << run.err;
    if (c.kind == Kind::kByteOrderMark) {
      EXPECT_EQ("", run.err);
      EXPECT_EQ("replaces a", ReadFile(named + "/a.cfg"));
      // Rewritten (a new file renamed over the old), the mark kept.
      EXPECT_EQ(kByteOrderMark + kLocationKey + named + "\nOther=1\n",
                ReadFile(path));
      struct stat rewritten;
      ASSERT_EQ(0, lstat(path.c_str(), &rewritten));
      EXPECT_NE(made.st_ino, rewritten.st_ino);
      continue;
    }
    EXPECT_EQ(warning + " \"" + path + "\": " + not_regular + "\n", run.err);
    EXPECT_EQ("replaces a", ReadFile(target_ + "/a.cfg"));
    struct stat left;
    ASSERT_EQ(0, lstat(path.c_str(), &left));
    EXPECT_EQ(made.st_ino, left.st_ino);
    EXPECT_EQ(made.st_mode, left.st_mode);
  }

  // Among the pointers: a FIFO and a file, which no run of ours makes.
  const std::string journals = home_ + "/.local/state/tqsetup/journals";
  std::filesystem::create_directories(journals);
  ASSERT_EQ(0, mkfifo((journals + "/fifo").c_str(), 0600));
  ASSERT_TRUE(WriteFile(journals + "/file", "x"));
  std::filesystem::remove_all(home_ + "/.Tq");
  const Result run = Run(Setup());
  ASSERT_FALSE(run.killed) << "stuck";
  EXPECT_EQ(0, run.status) << run.err;
  for (const char* name : {"fifo", "file"}) {
    EXPECT_EQ(1, LinesStartingWith(run.err, "setup: left \"" + journals + "/" +
                                                name + "\" alone: "))
        << run.err;
  }
  EXPECT_EQ((std::vector<std::string>{"fifo", "file"}), NamesIn(journals));
}

// Started in a directory that was deleted, the runs that need it say that
// the current directory cannot be found, where it was, and why.
TEST_F(UntrustedEnvTest, ADeletedCurrentDirectoryIsNamed) {
  const std::string gone = root_.Path("gone");
  const std::string reason = std::strerror(ENOENT);
  struct Case {
    const char* name;
    std::vector<std::string> argv;
    std::string said;
  };
  const Case cases[] = {
      {"setup usecwd",
       {root_.Path("bin/setup"), "usecwd", "-S", "-Len"},
       English("IDS_ERROR_NO_CURRENT_DIR") + " \"" + gone + "\": " + reason},
      {"kittool into a relative directory",
       {KITTOOL_PATH, "extract", root_.Path("bin/tqkt.efd"), "rel"},
       "the current directory cannot be found (it may have been deleted), \"" +
           gone + "\": " + reason},
  };
  const std::string own = std::filesystem::current_path();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(0, mkdir(gone.c_str(), 0755));
    ASSERT_EQ(0, chdir(gone.c_str()));
    ASSERT_EQ(0, rmdir(gone.c_str()));
    const Result run = Run(c.argv, {}, "-");
    ASSERT_EQ(0, chdir(own.c_str()));
    EXPECT_EQ(1, run.status) << run.err;
    EXPECT_NE(std::string::npos, run.err.find(c.said)) << run.err;
    EXPECT_FALSE(Exists(target_));
  }
}

}  // namespace
