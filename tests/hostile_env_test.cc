// The built installer and kittool where the world does not hold still: two
// installations into one directory started together, locales whose
// file-name encoding is not UTF-8 with kit names they cannot spell, and a
// hang-up or quit signal in the middle of a silent installation. Every
// program runs as a user would run it: setup copied beside its kit,
// headless (no DISPLAY), kittool with a kit and a directory, each with the
// test's own HOME and TMPDIR.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <locale.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine/engine_test_util.h"
#include "kit/kit_checksum.h"
#include "kit/kit_writer.h"
#include "l10n/string_table.h"
#include "platform/scoped_temp_dir.h"
#include "platform/test_process.h"
#include "text/text_conversion.h"

namespace {

using namespace engine_test;

// A run that takes longer than this is stuck (two installations waiting
// for each other, say): it is killed and fails.
constexpr std::chrono::seconds kRunLimit(60);

const std::string kLocationKey = "ConfigurationTemplatesLocation=";

std::string English(const char* key) {
  StringTable::SetCurrentLanguage(kLanguageEnglish);
  return WideToUtf8(StringTable::Lookup(key)).c_str();
}

// `count` small files, a hundred to a directory ("d00/f000.txt", ...), each
// with bytes and a time of its own.
std::vector<KitFile> ManyFiles(int count) {
  std::vector<KitFile> files;
  for (int i = 0; i < count; ++i) {
    char name[32];
    std::snprintf(name, sizeof(name), "d%02d/f%03d.txt", i / 100, i % 100);
    files.push_back({name, "file " + std::to_string(i) + " of " + name,
                     kBaseSeconds + i % 997});
  }
  return files;
}

// What a directory should hold: files by relative path (in the bytes of
// their names), with their bytes and times.
using Model = std::map<std::string, std::pair<std::string, int64_t>>;

Model ModelOf(const std::vector<KitFile>& files) {
  Model model;
  for (const KitFile& file : files) {
    model[file.name] = {file.data, file.seconds};
  }
  return model;
}

// How `dir` differs from `model`: missing or changed files, and anything
// (a file, or a directory no file of the model needs) that is extra. Empty
// when they agree.
std::string Mismatch(const Model& model, const std::string& dir) {
  const Tree tree = Snapshot(dir);
  std::string report;
  std::map<std::string, bool> directories;
  for (const auto& [path, file] : model) {
    for (size_t slash = path.find('/'); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
      directories[path.substr(0, slash)] = true;
    }
    const auto it = tree.find(path);
    if (it == tree.end() || it->second.kind != 'f') {
      report += "missing: " + path + "\n";
    } else if (it->second.content != file.first) {
      report += "other bytes: " + path + "\n";
    } else if (it->second.mtime_sec != file.second ||
               it->second.mtime_nsec != 0) {
      report += "other time: " + path + "\n";
    }
  }
  for (const auto& [path, node] : tree) {
    const bool expected = node.kind == 'd' ? directories.count(path) != 0
                                           : model.count(path) != 0;
    if (!expected) report += "extra: " + path + "\n";
  }
  // A few lines tell the story; a thousand hide it.
  size_t end = 0;
  for (int line = 0; line < 10 && end != std::string::npos; ++line) {
    end = report.find('\n', end == 0 ? 0 : end + 1);
  }
  if (end != std::string::npos && end + 1 < report.size()) {
    const auto more = std::count(report.begin() + end + 1, report.end(), '\n');
    report = report.substr(0, end + 1) + "... and " + std::to_string(more) +
             " more\n";
  }
  return report;
}

// The change times of `dir` and of everything below it. Nothing can set
// them back, so equal times show that nothing was written, renamed or
// removed there, not even for a moment.
std::map<std::string, std::pair<int64_t, long>> ChangeTimes(
    const std::string& dir) {
  std::map<std::string, std::pair<int64_t, long>> times;
  struct stat status;
  if (lstat(dir.c_str(), &status) == 0) {
    times["."] = {status.st_ctim.tv_sec, status.st_ctim.tv_nsec};
  }
  for (const auto& [path, node] : Snapshot(dir)) {
    if (lstat((dir + "/" + path).c_str(), &status) == 0) {
      times[path] = {status.st_ctim.tv_sec, status.st_ctim.tv_nsec};
    }
  }
  return times;
}

int64_t ModificationSeconds(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 ? status.st_mtim.tv_sec : -1;
}

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

bool LocaleAvailable(const std::string& name) {
  const locale_t locale = newlocale(LC_CTYPE_MASK, name.c_str(), nullptr);
  if (locale == nullptr) return false;
  freelocale(locale);
  return true;
}

// A kit file whose name is given as UTF-16 units, for names that are not
// ASCII (and for lone escape units, which no UTF-8 text spells).
struct WideKitFile {
  WideString name;  // "\\" separators
  std::string data;
  int64_t seconds = kBaseSeconds;
};

bool WriteWideKit(const std::string& path,
                  const std::vector<WideKitFile>& files) {
  KitSpec spec;
  spec.languages.push_back({u"en", u"Templates", u"Maker", u""});
  for (const WideKitFile& file : files) {
    KitFileSpec entry;
    entry.name = file.name;
    entry.data = file.data;
    entry.last_write = FileTimeFromUnixSeconds(file.seconds);
    spec.files.push_back(entry);
  }
  return WriteFile(path, DeflateRaw(BuildContainer(spec)));
}

WideString FromUtf8(const std::string& text) {
  return Utf8ToWide(NarrowString(text.c_str()));
}

class HostileEnvTest : public ::testing::Test {
 protected:
  struct Started {
    pid_t pid = -1;
    std::string err_path;
    std::string out_path;
  };
  struct Result {
    int status = -1;  // exit status; 128 + signal; -1 when stuck or unstarted
    std::string err;
    std::string out;
  };

  void SetUp() override {
    for (const char* dir : {"home", "tmp", "work", "out"}) {
      ASSERT_EQ(0, mkdir(root_.Path(dir).c_str(), 0755));
    }
    home_ = root_.Path("home");
    tmp_ = root_.Path("tmp");
    default_target_ = home_ + "/.tqkt/WEX/wexkt/tmplts";
    ASSERT_NO_FATAL_FAILURE(CopySetup("bin"));
  }

  // A copy of the installer in root/`dir`, where it looks for its kit.
  void CopySetup(const std::string& dir) {
    std::filesystem::create_directories(root_.Path(dir));
    const std::string copy = root_.Path(dir + "/setup");
    std::filesystem::copy_file(SETUP_PATH, copy);
    ASSERT_EQ(0, chmod(copy.c_str(), 0755));
  }

  // Starts `argv` in root/work (or `work_dir`) with the test's HOME and
  // TMPDIR, no display, and LC_ALL set to `locale`; its output goes to files
  // named after `tag`.
  Started Start(const std::vector<std::string>& argv, const std::string& tag,
                const std::string& locale = "C.UTF-8",
                const std::string& work_dir = "") {
    test_process::Child child;
    child.argv = argv;
    child.env = {"HOME=" + home_, "TMPDIR=" + tmp_, "PATH=/usr/bin:/bin",
                 "LC_ALL=" + locale};
    for (const std::string& variable :
         test_process::Inherited({"ASAN_OPTIONS", "UBSAN_OPTIONS",
                                  "LSAN_OPTIONS", "TSAN_OPTIONS"})) {
      child.env.push_back(variable);
    }
    child.stderr_path = root_.Path("out/" + tag + ".err");
    child.stdout_path = root_.Path("out/" + tag + ".out");
    child.work_dir = work_dir.empty() ? root_.Path("work") : work_dir;
    Started started;
    const int rc = test_process::Start(child, &started.pid);
    EXPECT_EQ(0, rc) << "cannot start " << argv[0];
    if (rc != 0) started.pid = -1;
    started.err_path = child.stderr_path;
    started.out_path = child.stdout_path;
    return started;
  }

  // The silent installer in root/`dir`, in English.
  Started StartSetup(const std::string& dir, const std::string& tag,
                     const std::string& locale = "C.UTF-8") {
    return Start({root_.Path(dir + "/setup"), "-S", "-Len"}, tag, locale);
  }

  Started StartKittool(const std::string& kit, const std::string& target,
                       const std::string& tag,
                       const std::string& locale = "C.UTF-8") {
    return Start({KITTOOL_PATH, "extract", kit, target}, tag, locale);
  }

  Result Finish(const Started& started,
                std::chrono::milliseconds limit = kRunLimit) {
    Result result;
    if (started.pid == -1) return result;
    const test_process::Ended ended =
        test_process::Wait(started.pid, started.err_path, limit);
    if (ended.Exited()) {
      result.status = ended.ExitStatus();
    } else if (ended.Signal() != 0 && ended.Signal() != SIGKILL) {
      result.status = 128 + ended.Signal();
    }
    result.err = ended.err;
    result.out = ReadFile(started.out_path);
    return result;
  }

  // True while `started` runs (or is stopped); false once it has ended,
  // which it is left to report to Finish.
  static bool Running(const Started& started) {
    siginfo_t info = {};
    waitid(P_PID, started.pid, &info, WEXITED | WNOHANG | WNOWAIT);
    return info.si_pid == 0;
  }

  // Waits until `path` exists; false when `started` ended first or the run
  // limit passed.
  static bool WaitUntilExists(const std::string& path, const Started& started) {
    const auto give_up = std::chrono::steady_clock::now() + kRunLimit;
    while (!Exists(path)) {
      if (!Running(started) || std::chrono::steady_clock::now() > give_up) {
        return false;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
  }

  Result RunSetup(const std::string& dir, const std::string& locale) {
    return Finish(StartSetup(dir, "setup", locale));
  }

  std::string UserConfigPath() const {
    return home_ + "/.Tq/tqlaunch/tqlaunch.cfg";
  }

  void WriteConfig(const std::string& text) {
    std::filesystem::create_directories(home_ + "/.Tq/tqlaunch");
    ASSERT_TRUE(WriteFile(UserConfigPath(), text));
  }

  // What the runs left behind them: anything in TMPDIR (kit containers,
  // backup directories), journal pointers and fallback lock files.
  std::vector<std::string> Leftovers() const {
    std::vector<std::string> left;
    for (const std::string& name : NamesIn(tmp_)) {
      left.push_back("TMPDIR/" + name);
    }
    const std::string state = home_ + "/.local/state/tqsetup/";
    for (const char* kind : {"journals", "locks"}) {
      for (const std::string& name : NamesIn(state + kind)) {
        left.push_back(std::string(kind) + "/" + name);
      }
    }
    return left;
  }

  ScopedTempDir root_;
  std::string home_;
  std::string tmp_;
  std::string default_target_;
};

// ---------------------------------------------------------------------------
// Two installations into one directory at once.

// Pairs of silent installers with one HOME, started together into one
// directory: the default one, which neither finds and both make, or one
// the launcher configuration names, which holds a file of the user's and
// an older copy of a kit file. The second to get the directory waits for
// the first, says so once, and then finds everything up to date.
TEST_F(HostileEnvTest, TwoSetupsAtOnceInstallTheKitOnce) {
  const std::vector<KitFile> kit = ManyFiles(1000);
  ASSERT_TRUE(WriteKitFile(root_.Path("bin/tqkt.efd"), kit));
  const std::string named = root_.Path("named templates");
  const std::string named_config = "Other=1\n" + kLocationKey + named + "\n";
  constexpr int kPairs = 50;
  int overlapped = 0;
  for (int pair = 0; pair < kPairs; ++pair) {
    SCOPED_TRACE("pair " + std::to_string(pair));
    const bool default_target = pair % 2 == 0;
    std::filesystem::remove_all(home_ + "/.tqkt");
    std::filesystem::remove_all(home_ + "/.Tq");
    std::filesystem::remove_all(named);
    Model model = ModelOf(kit);
    const std::string target = default_target ? default_target_ : named;
    if (!default_target) {
      ASSERT_NO_FATAL_FAILURE(WriteConfig(named_config));
      MakeFile(named + "/mine.txt", "the user's", kBaseSeconds - 5);
      model["mine.txt"] = {"the user's", kBaseSeconds - 5};
      MakeFile(named + "/d00/f000.txt", "an older copy", kBaseSeconds - 9000);
    }
    const Started first = StartSetup("bin", "first");
    const Started second = StartSetup("bin", "second");
    const Result results[] = {Finish(first), Finish(second)};

    const std::string wait_line =
        English("IDS_WAIT_OTHER_INSTALL") + " \"" + target + "\"\n";
    int waited = 0;
    for (const Result& result : results) {
      EXPECT_EQ(0, result.status) << result.err;
      // Nothing else on standard error: no failure, no warning.
      if (result.err == wait_line) {
        ++waited;
      } else {
        EXPECT_EQ("", result.err);
      }
    }
    EXPECT_LE(waited, 1);
    overlapped += waited;
    EXPECT_EQ("", Mismatch(model, target));
    EXPECT_EQ(std::vector<std::string>{}, Leftovers());
    EXPECT_EQ(default_target ? kLocationKey + target + "\n" : named_config,
              ReadFile(UserConfigPath()));
    // No temporary copy of the configuration is left beside it.
    EXPECT_EQ(std::vector<std::string>{"tqlaunch.cfg"},
              NamesIn(home_ + "/.Tq/tqlaunch"));
    if (HasFailure()) break;
  }
  std::cout << overlapped << " of " << kPairs << " pairs overlapped\n";
  // Pairs that never met would prove nothing.
  EXPECT_GE(overlapped, kPairs / 10);
}

// The same with kittool extract: one of each pair copies every file, the
// other waits and copies none.
TEST_F(HostileEnvTest, TwoKittoolExtractsAtOnceInstallTheKitOnce) {
  const std::vector<KitFile> kit = ManyFiles(1000);
  const std::string kit_path = root_.Path("kit.efd");
  ASSERT_TRUE(WriteKitFile(kit_path, kit));
  const std::string target = root_.Path("extracted");
  const std::string said = "installed into " + target + ": ";
  const std::vector<std::string> reports = {said + "0 copied, 1000 up to date\n",
                                            said + "1000 copied, 0 up to date\n"};
  const std::string wait_text = English("IDS_WAIT_OTHER_INSTALL");
  constexpr int kPairs = 20;
  int overlapped = 0;
  for (int pair = 0; pair < kPairs; ++pair) {
    SCOPED_TRACE("pair " + std::to_string(pair));
    std::filesystem::remove_all(target);
    const Started first = StartKittool(kit_path, target, "first");
    const Started second = StartKittool(kit_path, target, "second");
    const Result results[] = {Finish(first), Finish(second)};
    std::vector<std::string> outs;
    for (const Result& result : results) {
      EXPECT_EQ(0, result.status) << result.err;
      outs.push_back(result.out);
      if (result.err.find(wait_text) != std::string::npos) ++overlapped;
    }
    std::sort(outs.begin(), outs.end());
    EXPECT_EQ(reports, outs);
    EXPECT_EQ("", Mismatch(ModelOf(kit), target));
    EXPECT_EQ(std::vector<std::string>{}, Leftovers());
    if (HasFailure()) break;
  }
  std::cout << overlapped << " of " << kPairs << " pairs overlapped\n";
  EXPECT_GE(overlapped, kPairs / 10);
}

// A run that fails beside one that succeeds: the failing kit holds every
// file of the good one (same bytes, same times) and then an entry that
// cannot be installed. Whichever comes first, the good run ends with all
// of its files, none taken away by the other's rollback, and the failing
// run leaves nothing of its own.
TEST_F(HostileEnvTest, AFailingInstallationBesideAGoodOneTakesNothingAway) {
  ASSERT_NO_FATAL_FAILURE(CopySetup("bad"));
  const std::vector<KitFile> good = ManyFiles(600);
  ASSERT_TRUE(WriteKitFile(root_.Path("bin/tqkt.efd"), good));
  const std::string target = root_.Path("templates");
  const std::string config = kLocationKey + target + "\n";
  struct Variant {
    const char* what;
    std::vector<KitFile> last;  // after the good kit's files
    Model planted;              // the user's files in the target beforehand
    std::string failure;        // the failing run's message after its wait
    size_t cut = 0;             // bytes cut from the end of the failing kit
  };
  // Bytes that do not compress, so that a cut at the end of the kit falls
  // within them.
  std::string noise(1 << 18, '\0');
  std::mt19937 random(21);
  for (char& byte : noise) byte = static_cast<char>(random());
  const Variant variants[] = {
      {"a directory of the user's in the way of the last entry",
       {{"zz_in_the_way.txt", "the kit's"}},
       {{"zz_in_the_way.txt/mine.txt", {"the user's", kBaseSeconds}}},
       English("IDS_INSTALL_ERROR") + ": \"" + target +
           "/zz_in_the_way.txt\": " + std::strerror(EISDIR) + "\n"},
      // The target does not exist: the failing run may be the one that
      // makes it, and its rollback then removes it under the waiting one.
      // (A kit whose own names clash is refused before anything is written,
      // so the failure is a kit that ends within its last entry.)
      {"its kit ends within its last entry, in a new directory",
       {{"zz_cut", noise}},
       {},
       English("IDS_ERROR_DAMAGEDSOURCE") + " \"" +
           root_.Path("bad/tqkt.efd") + "\": " +
           English("IDS_REASON_KIT_DAMAGED") + "\n",
       1000},
  };
  const std::string wait_line =
      English("IDS_WAIT_OTHER_INSTALL") + " \"" + target + "\"\n";
  constexpr int kPairs = 20;
  for (const Variant& variant : variants) {
    SCOPED_TRACE(variant.what);
    std::vector<KitFile> bad = good;
    bad.insert(bad.end(), variant.last.begin(), variant.last.end());
    ASSERT_TRUE(WriteKitFile(root_.Path("bad/tqkt.efd"), bad));
    if (variant.cut > 0) {
      const std::string whole = ReadFile(root_.Path("bad/tqkt.efd"));
      ASSERT_TRUE(WriteFile(root_.Path("bad/tqkt.efd"),
                            whole.substr(0, whole.size() - variant.cut)));
    }
    ASSERT_NO_FATAL_FAILURE(WriteConfig(config));
    Model model = ModelOf(good);
    model.insert(variant.planted.begin(), variant.planted.end());
    int good_waited = 0;
    int bad_waited = 0;
    for (int pair = 0; pair < kPairs; ++pair) {
      SCOPED_TRACE("pair " + std::to_string(pair));
      std::filesystem::remove_all(target);
      for (const auto& [path, file] : variant.planted) {
        MakeFile(target + "/" + path, file.first, file.second);
      }
      // The failing run first: its rollback is what used to take files the
      // good run had found in place. Every other pair, the good run starts
      // only once the failing one copies, so that it comes to the
      // directory while the other holds it.
      const Started failing = StartSetup("bad", "failing");
      if (pair % 2 == 1) WaitUntilExists(target + "/d00/f000.txt", failing);
      const Started succeeding = StartSetup("bin", "succeeding");
      const Result bad_run = Finish(failing);
      const Result good_run = Finish(succeeding);

      EXPECT_EQ(0, good_run.status) << good_run.err;
      if (good_run.err == wait_line) {
        ++good_waited;
      } else {
        EXPECT_EQ("", good_run.err);
      }
      EXPECT_EQ(1, bad_run.status);
      if (bad_run.err == wait_line + variant.failure) {
        ++bad_waited;
      } else {
        EXPECT_EQ(variant.failure, bad_run.err);
      }
      EXPECT_EQ("", Mismatch(model, target));
      EXPECT_EQ(std::vector<std::string>{}, Leftovers());
      EXPECT_EQ(config, ReadFile(UserConfigPath()));
      if (HasFailure()) break;
    }
    std::cout << variant.what << ": the good run waited in " << good_waited
              << ", the failing one in " << bad_waited << " of " << kPairs
              << " pairs\n";
    // The good run must have met the failing one's rollback.
    EXPECT_GE(good_waited, kPairs / 10);
    if (HasFailure()) return;
  }
}

// ---------------------------------------------------------------------------
// Names under locales whose encoding is not UTF-8.

struct LocaleCase {
  const char* locale;  // for LC_ALL
  // Names this locale spells, and the bytes it spells them with.
  std::vector<std::pair<std::string, std::string>> spelled;
  // Kit names (UTF-16) it cannot spell exactly, each with how the message
  // shows it below the target: what the locale can show in its own bytes,
  // the rest as "\uXXXX".
  std::vector<std::pair<WideString, std::string>> unspellable;
};

// Test names and traces show the locale, not the bytes of the case.
void PrintTo(const LocaleCase& c, std::ostream* out) { *out << c.locale; }

class NonUtf8LocaleTest : public HostileEnvTest,
                          public ::testing::WithParamInterface<LocaleCase> {
 protected:
  void SetUp() override {
    if (!LocaleAvailable(GetParam().locale)) {
      GTEST_SKIP() << "the locale " << GetParam().locale
                   << " is not installed here (scripts/setup-machine makes it)";
    }
    ASSERT_NO_FATAL_FAILURE(HostileEnvTest::SetUp());
    target_ = root_.Path("templates");
  }

  // The user's target directory before a run that must not touch it.
  void MakeUserTarget() {
    std::filesystem::remove_all(target_);
    MakeFile(target_ + "/mine.txt", "the user's", kBaseSeconds - 5);
    // Older than the kit's copy: an installation would replace it first.
    MakeFile(target_ + "/a.txt", "the user's older copy", kBaseSeconds - 9000);
  }

  std::string target_;
};

// Kits whose last name the locale cannot spell: setup and kittool refuse
// them before anything is written. The other names come first, among them
// "????.txt", which a lossy conversion of a four-letter name would also
// produce.
TEST_P(NonUtf8LocaleTest,
       NamesTheLocaleCannotSpellFailBeforeAnythingIsWritten) {
  const std::string locale = GetParam().locale;
  const std::string kit = root_.Path("bin/tqkt.efd");
  const std::string reason = English("IDS_REASON_NAME_ENCODING");
  ASSERT_NO_FATAL_FAILURE(WriteConfig(kLocationKey + target_ + "\n"));
  struct Case {
    std::string what;
    std::vector<WideKitFile> files;
    std::string shown;         // the name in setup's message
    std::string setup_reason;  // its reason there
  };
  std::vector<Case> cases;
  const std::vector<WideKitFile> before = {{u"a.txt", "kit a"},
                                           {u"????.txt", "questions"}};
  std::vector<WideKitFile> all = before;
  for (const auto& [name, shown] : GetParam().unspellable) {
    Case c{"", before, shown, reason};
    c.files.push_back({name, "unspellable"});
    c.what = WideToUtf8(name).c_str();
    cases.push_back(c);
    all.push_back({name, "unspellable"});
  }
  // With several, the first in the kit's order is named.
  cases.push_back({"all of them", all, cases.front().shown, reason});
  // Nor may a kit hold one file twice.
  cases.push_back({"a name twice",
                   {{u"a.txt", "kit a"}, {u"b.txt", "b"}, {u"a.txt", "again"}},
                   "a.txt",
                   English("IDS_REASON_NAME_TWICE")});

  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(WriteWideKit(kit, c.files));
    for (const bool with_setup : {true, false}) {
      SCOPED_TRACE(with_setup ? "setup" : "kittool");
      MakeUserTarget();
      const Tree tree_before = Snapshot(target_);
      const auto times_before = ChangeTimes(target_);
      const Result result =
          with_setup ? RunSetup("bin", locale)
                     : Finish(StartKittool(kit, target_, "kittool", locale));
      EXPECT_EQ(1, result.status);
      const std::string path = target_ + "/" + c.shown;
      if (with_setup) {
        EXPECT_EQ(English("IDS_INSTALL_ERROR") + ": \"" + path +
                      "\": " + c.setup_reason + "\n",
                  result.err);
      } else {
        // kittool names the entry as the engine spells it, and says why.
        EXPECT_NE(std::string::npos, result.err.find("\"" + path + "\""))
            << result.err;
        EXPECT_TRUE(result.err.find("cannot be written in this locale's "
                                    "file-name encoding") != std::string::npos ||
                    result.err.find("twice") != std::string::npos)
            << result.err;
        EXPECT_NE(std::string::npos,
                  result.err.find("; \"" + target_ + "\" is unchanged\n"))
            << result.err;
      }
      EXPECT_EQ("", Difference(tree_before, Snapshot(target_)));
      EXPECT_EQ(times_before, ChangeTimes(target_));
      EXPECT_EQ(std::vector<std::string>{}, Leftovers());
    }
  }
  // A target that is not there yet is not made either.
  ASSERT_TRUE(WriteWideKit(kit, cases.front().files));
  std::filesystem::remove_all(target_);
  EXPECT_EQ(1, RunSetup("bin", locale).status);
  EXPECT_EQ(1, Finish(StartKittool(kit, target_, "kittool", locale)).status);
  EXPECT_FALSE(Exists(target_));
  EXPECT_EQ(std::vector<std::string>{}, Leftovers());
  EXPECT_EQ(kLocationKey + target_ + "\n", ReadFile(UserConfigPath()));
}

// Names the locale does spell install under the locale's bytes, with
// "????.txt" beside them as a file of its own.
TEST_P(NonUtf8LocaleTest, NamesTheLocaleSpellsInstallInItsBytes) {
  const std::string locale = GetParam().locale;
  std::vector<WideKitFile> files = {{u"a.txt", "kit a", kBaseSeconds + 1},
                                    {u"????.txt", "questions", kBaseSeconds}};
  Model model = {{"a.txt", {"kit a", kBaseSeconds + 1}},
                 {"????.txt", {"questions", kBaseSeconds}}};
  int64_t seconds = kBaseSeconds + 10;
  for (const auto& [name, bytes] : GetParam().spelled) {
    std::string stored = name;  // a kit's separator is "\\"
    std::replace(stored.begin(), stored.end(), '/', '\\');
    files.push_back({FromUtf8(stored), "bytes of " + bytes, seconds});
    model[bytes] = {"bytes of " + bytes, seconds};
    ++seconds;
  }
  ASSERT_TRUE(WriteWideKit(root_.Path("bin/tqkt.efd"), files));
  ASSERT_NO_FATAL_FAILURE(WriteConfig(kLocationKey + target_ + "\n"));

  const Result setup = RunSetup("bin", locale);
  EXPECT_EQ(0, setup.status) << setup.err;
  EXPECT_EQ("", setup.err);
  EXPECT_EQ("", Mismatch(model, target_));

  const std::string extracted = root_.Path("extracted");
  const Result kittool = Finish(
      StartKittool(root_.Path("bin/tqkt.efd"), extracted, "kittool", locale));
  EXPECT_EQ(0, kittool.status) << kittool.err;
  EXPECT_EQ("", Mismatch(model, extracted));
  EXPECT_EQ(std::vector<std::string>{}, Leftovers());
}

WideString Units(std::initializer_list<char16_t> units) {
  return WideString(units.begin(), static_cast<uint32_t>(units.size()));
}

INSTANTIATE_TEST_SUITE_P(
    Locales, NonUtf8LocaleTest,
    ::testing::Values(
        // ISO-8859-1: "\374" is "ü", "\337" is "ß".
        LocaleCase{"de_DE.ISO-8859-1",
                   {{"über.txt", "\374ber.txt"},
                    {"Grüße/straße.txt", "Gr\374\337e/stra\337e.txt"}},
                   {{u"ქართ.txt", "\\u10E5\\u10D0\\u10E0\\u10D7.txt"},
                    {u"αβγδ.txt", "\\u03B1\\u03B2\\u03B3\\u03B4.txt"},
                    {u"Ёж.txt", "\\u0401\\u0436.txt"},
                    // What it can show is shown in its own bytes.
                    {u"über€.txt", "\374ber\\u20AC.txt"},
                    // The byte 0xFC that is no UTF-8 would read back as "ü".
                    {Units({0xDCFC, u'b', u'e', u'r', u'.', u't', u'x', u't'}),
                     "\\uDCFCber.txt"}}},
        // KOI8-R: "\xB3\xD6" is "Ёж", "\xF0\xC1\xD0\xCB\xC1" "Папка",
        // "\xC6\xC1\xCA\xCC" "файл".
        LocaleCase{
            "ru_RU.KOI8-R",
            {{"Ёж.txt", "\xB3\xD6.txt"},
             {"Папка/файл.txt", "\xF0\xC1\xD0\xCB\xC1/\xC6\xC1\xCA\xCC.txt"}},
            {{u"ქართ.txt", "\\u10E5\\u10D0\\u10E0\\u10D7.txt"},
             {u"αβγδ.txt", "\\u03B1\\u03B2\\u03B3\\u03B4.txt"},
             {u"über.txt", "\\u00FCber.txt"},
             {u"Ёж€.txt", "\xB3\xD6\\u20AC.txt"},
             // The byte 0xB3 that is no UTF-8 would read back as "Ё".
             {Units({0xDCB3, u'ж', u'.', u't', u'x', u't'}),
              "\\uDCB3\xD6.txt"}}}),
    [](const ::testing::TestParamInfo<LocaleCase>& info) {
      std::string name = info.param.locale;
      for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
      }
      return name;
    });

// ---------------------------------------------------------------------------
// A hang-up or quit signal while a silent installation copies.

// The installer is frozen (SIGSTOP) once the first files of a large kit are
// in place and well before the middle of it, gets the signal, and goes on
// (SIGCONT): it must roll back and end as cancelled. A run that is too fast
// to be caught in the middle is tried again.
TEST_F(HostileEnvTest, HangUpOrQuitWhileCopyingRollsBack) {
  const std::vector<KitFile> kit = ManyFiles(3000);
  ASSERT_TRUE(WriteKitFile(root_.Path("bin/tqkt.efd"), kit));
  const std::string target = root_.Path("templates");
  const std::string config = kLocationKey + target + "\n";
  ASSERT_NO_FATAL_FAILURE(WriteConfig(config));
  const std::string early = target + "/d00/f020.txt";
  const std::string middle = target + "/d15/f000.txt";
  for (const int signal_number : {SIGHUP, SIGQUIT}) {
    SCOPED_TRACE(strsignal(signal_number));
    bool caught = false;
    int attempt = 0;
    for (; attempt < 5 && !caught; ++attempt) {
      std::filesystem::remove_all(target);
      MakeFile(target + "/mine.txt", "the user's", kBaseSeconds - 5);
      // The kit's first file replaces this one; the second finds it newer.
      MakeFile(target + "/d00/f000.txt", "the user's older copy",
               kBaseSeconds - 9000);
      MakeFile(target + "/d00/f001.txt", "the user's newer copy",
               kBaseSeconds + 9000);
      ASSERT_TRUE(SetTime(target + "/d00", kBaseSeconds - 7));
      ASSERT_TRUE(SetTime(target, kBaseSeconds - 8));
      const Tree before = Snapshot(target);

      const Started run = StartSetup("bin", "setup");
      ASSERT_NE(-1, run.pid);
      WaitUntilExists(early, run);
      ASSERT_EQ(0, kill(run.pid, SIGSTOP));
      siginfo_t info = {};
      ASSERT_EQ(0, waitid(P_PID, run.pid, &info, WSTOPPED | WEXITED | WNOWAIT));
      if (info.si_code != CLD_STOPPED || Exists(middle)) {
        kill(run.pid, SIGCONT);
        Finish(run);
        continue;
      }
      caught = true;
      ASSERT_EQ(0, kill(run.pid, signal_number));
      ASSERT_EQ(0, kill(run.pid, SIGCONT));
      const Result result = Finish(run);
      EXPECT_EQ(2, result.status);
      EXPECT_EQ(English("IDS_CANCEL_FINISH") + "\n", result.err);
      EXPECT_EQ("", Difference(before, Snapshot(target)));
      // The directories' times are put back too.
      EXPECT_EQ(kBaseSeconds - 8, ModificationSeconds(target));
      EXPECT_EQ(kBaseSeconds - 7, ModificationSeconds(target + "/d00"));
      EXPECT_EQ(std::vector<std::string>{}, Leftovers());
      EXPECT_EQ(config, ReadFile(UserConfigPath()));
    }
    EXPECT_TRUE(caught) << "the installer was never caught while copying";
    std::cout << strsignal(signal_number) << ": caught at attempt " << attempt
              << "\n";
  }
}

// ---------------------------------------------------------------------------
// Installing while the kit is inflated: a stream damaged after its tables,
// re-installs that need only part of the kit, and a run killed on the way.

// `count` files of incompressible bytes (20 KiB each), so that the kit's
// stream is as long as its contents and a place in it is a place in the
// files.
std::vector<KitFile> RandomFiles(int count) {
  std::mt19937 generator(7);
  std::vector<KitFile> files;
  for (int i = 0; i < count; ++i) {
    std::string data(20 * 1024, '\0');
    for (char& c : data) c = static_cast<char>(generator());
    char name[32];
    std::snprintf(name, sizeof(name), "r%02d/f%03d.bin", i / 100, i % 100);
    files.push_back({name, data, kBaseSeconds + i});
  }
  return files;
}

// The kit of `files` as a stream that is valid up to the first `valid_share`
// of its container and then holds a block of a type DEFLATE does not have:
// every byte before that inflates, and the inflation fails there.
std::string KitDamagedAt(const std::vector<KitFile>& files,
                         double valid_share) {
  const std::string container = BuildContainer(SpecOf(files));
  const size_t cut = static_cast<size_t>(container.size() * valid_share);
  z_stream stream = {};
  EXPECT_EQ(Z_OK,
            deflateInit2(&stream, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY));
  std::string out(deflateBound(&stream, cut) + 16, '\0');
  stream.next_in =
      reinterpret_cast<Bytef*>(const_cast<char*>(container.data()));
  stream.avail_in = static_cast<uInt>(cut);
  stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
  stream.avail_out = static_cast<uInt>(out.size());
  // A sync flush ends on a byte boundary without ending the stream.
  EXPECT_EQ(Z_OK, deflate(&stream, Z_SYNC_FLUSH));
  out.resize(stream.total_out);
  deflateEnd(&stream);
  // Last block, type 3: reserved, refused by every inflater.
  return out + std::string(1, '\x07');
}

TEST_F(HostileEnvTest, AStreamDamagedAfterTheFirstFilesRollsBack) {
  const std::vector<KitFile> kit = RandomFiles(400);
  ASSERT_TRUE(WriteFile(root_.Path("bin/tqkt.efd"), KitDamagedAt(kit, 0.9)));
  const std::string target = root_.Path("templates");
  const std::string config = kLocationKey + target + "\n";
  ASSERT_NO_FATAL_FAILURE(WriteConfig(config));
  MakeFile(target + "/mine.txt", "the user's", kBaseSeconds - 5);
  // The kit's first file replaces this one, before the damage is reached.
  MakeFile(target + "/r00/f000.bin", "the user's older copy",
           kBaseSeconds - 9000);
  ASSERT_TRUE(SetTime(target + "/r00", kBaseSeconds - 7));
  ASSERT_TRUE(SetTime(target, kBaseSeconds - 8));
  const Tree before = Snapshot(target);
  const auto times_before = ChangeTimes(target);

  const Result result = RunSetup("bin", "C.UTF-8");
  EXPECT_EQ(1, result.status);
  EXPECT_EQ(0u, result.err.find(English("IDS_ERROR_DAMAGEDSOURCE")))
      << result.err;
  EXPECT_NE(std::string::npos, result.err.find(root_.Path("bin/tqkt.efd")))
      << result.err;
  // Files were written, and then taken back.
  EXPECT_NE(times_before.at("."), ChangeTimes(target).at("."));
  EXPECT_EQ("", Difference(before, Snapshot(target)));
  EXPECT_EQ(kBaseSeconds - 8, ModificationSeconds(target));
  EXPECT_EQ(kBaseSeconds - 7, ModificationSeconds(target + "/r00"));
  EXPECT_EQ(config, ReadFile(UserConfigPath()));
  EXPECT_EQ(std::vector<std::string>{}, Leftovers());
}

// A re-install reads the kit only as far as the files it copies: a kit whose
// data area is damaged past the tables re-installs over an up-to-date tree
// without a change, and over a tree with a few older files copies them,
// while a fresh install of the same kit fails and leaves nothing.
TEST_F(HostileEnvTest, ReinstallsReadTheKitOnlyAsFarAsTheyCopy) {
  const std::vector<KitFile> kit = RandomFiles(400);
  ASSERT_TRUE(WriteKitFile(root_.Path("bin/tqkt.efd"), kit));
  const std::string target = root_.Path("templates");
  const std::string config = kLocationKey + target + "\n";
  ASSERT_NO_FATAL_FAILURE(WriteConfig(config));
  Result result = RunSetup("bin", "C.UTF-8");
  ASSERT_EQ(0, result.status) << result.err;
  const Model model = ModelOf(kit);
  ASSERT_EQ("", Mismatch(model, target));

  // Damaged from the middle of the data on.
  ASSERT_TRUE(WriteFile(root_.Path("bin/tqkt.efd"), KitDamagedAt(kit, 0.5)));
  {
    SCOPED_TRACE("up to date");
    const auto times = ChangeTimes(target);
    result = RunSetup("bin", "C.UTF-8");
    EXPECT_EQ(0, result.status) << result.err;
    EXPECT_EQ("", result.err);
    EXPECT_EQ(times, ChangeTimes(target));
    EXPECT_EQ(config, ReadFile(UserConfigPath()));
    EXPECT_EQ(std::vector<std::string>{}, Leftovers());
  }
  {
    SCOPED_TRACE("a few older files before the damage");
    for (const char* name : {"r00/f003.bin", "r00/f050.bin", "r01/f010.bin"}) {
      MakeFile(target + "/" + name, "an older copy", kBaseSeconds - 9000);
    }
    const auto times = ChangeTimes(target + "/r03");
    result = RunSetup("bin", "C.UTF-8");
    EXPECT_EQ(0, result.status) << result.err;
    EXPECT_EQ("", Mismatch(model, target));
    EXPECT_EQ(times, ChangeTimes(target + "/r03"));
    EXPECT_EQ(std::vector<std::string>{}, Leftovers());
  }
  {
    SCOPED_TRACE("an older file past the damage");
    MakeFile(target + "/r00/f001.bin", "an older copy", kBaseSeconds - 9000);
    MakeFile(target + "/r03/f000.bin", "an older copy", kBaseSeconds - 9000);
    const Tree before = Snapshot(target);
    result = RunSetup("bin", "C.UTF-8");
    EXPECT_EQ(1, result.status);
    EXPECT_EQ(0u, result.err.find(English("IDS_ERROR_DAMAGEDSOURCE")))
        << result.err;
    EXPECT_EQ("", Difference(before, Snapshot(target)));
    EXPECT_EQ(std::vector<std::string>{}, Leftovers());
  }
  {
    SCOPED_TRACE("fresh");
    const std::string fresh = root_.Path("fresh");
    ASSERT_NO_FATAL_FAILURE(WriteConfig(kLocationKey + fresh + "\n"));
    result = RunSetup("bin", "C.UTF-8");
    EXPECT_EQ(1, result.status);
    EXPECT_EQ(0u, result.err.find(English("IDS_ERROR_DAMAGEDSOURCE")))
        << result.err;
    EXPECT_FALSE(Exists(fresh));
    EXPECT_EQ(std::vector<std::string>{}, Leftovers());
  }
}

// A run killed while it copies leaves its journal for the next start, and
// not a byte of the inflated kit in TMPDIR.
TEST_F(HostileEnvTest, AKilledRunLeavesNoInflatedKitBehind) {
  const std::vector<KitFile> kit = RandomFiles(400);
  ASSERT_TRUE(WriteKitFile(root_.Path("bin/tqkt.efd"), kit));
  const std::string target = root_.Path("templates");
  ASSERT_NO_FATAL_FAILURE(WriteConfig(kLocationKey + target + "\n"));
  const Started run = StartSetup("bin", "setup");
  ASSERT_NE(-1, run.pid);
  ASSERT_TRUE(WaitUntilExists(target + "/r00/f001.bin", run));
  ASSERT_EQ(0, kill(run.pid, SIGKILL));
  Finish(run);
  uint64_t bytes = 0;
  for (const auto& item : std::filesystem::recursive_directory_iterator(tmp_)) {
    EXPECT_EQ(0u,
              item.path().lexically_relative(tmp_).string().rfind("ktstp", 0))
        << item.path();
    if (item.is_regular_file()) bytes += item.file_size();
  }
  // The journal of a few files, where the kit is 8 MiB inflated.
  EXPECT_LT(bytes, 64u * 1024);
  // The next start finishes what the killed run began.
  const Result result = RunSetup("bin", "C.UTF-8");
  EXPECT_EQ(0, result.status) << result.err;
  EXPECT_EQ("", Mismatch(ModelOf(kit), target));
  EXPECT_EQ(std::vector<std::string>{}, Leftovers());
}

// ---------------------------------------------------------------------------
// Kits with a checksum file beside them.

// A kit whose file is stored (DEFLATE level 0), so that a byte flipped in
// its data still inflates, to the wrong bytes.
struct FlippedKit {
  std::string good;     // the kit as packed
  std::string flipped;  // one byte of the file's data changed
};

FlippedKit StoredKitWithAFlippedByte(const std::vector<KitFile>& files,
                                     const std::string& marker) {
  FlippedKit kit;
  kit.good = DeflateRaw(BuildContainer(SpecOf(files)), 0);
  kit.flipped = kit.good;
  const size_t at = kit.flipped.find(marker);
  EXPECT_NE(std::string::npos, at);
  if (at != std::string::npos) kit.flipped[at] ^= 0x20;
  return kit;
}

std::string HexSha256(const std::string& bytes) {
  Sha256 sha;
  sha.Update(bytes.data(), bytes.size());
  return sha.HexDigest();
}

TEST_F(HostileEnvTest, AKitThatDoesNotMatchItsChecksumIsRefused) {
  const std::vector<KitFile> files = {{"a.cfg", "alpha MARKER alpha"},
                                      {"sub/b.cfg", "bravo"}};
  const FlippedKit kit = StoredKitWithAFlippedByte(files, "MARKER");
  const std::string kit_path = root_.Path("bin/tqkt.efd");
  const std::string sidecar = kit_path + ".sha256";
  const std::string target = root_.Path("templates");
  const std::string config = kLocationKey + target + "\n";
  ASSERT_NO_FATAL_FAILURE(WriteConfig(config));
  MakeFile(target + "/mine.txt", "the user's", kBaseSeconds - 5);
  ASSERT_TRUE(WriteFile(kit_path, kit.flipped));

  // Without a checksum file the damage goes unseen: the stream inflates,
  // and setup and kittool install the wrong byte.
  Result result = RunSetup("bin", "C.UTF-8");
  ASSERT_EQ(0, result.status) << result.err;
  EXPECT_EQ("alpha mARKER alpha", ReadFile(target + "/a.cfg"));
  std::filesystem::remove_all(target);
  result = Finish(StartKittool(kit_path, target, "extract"));
  ASSERT_EQ(0, result.status) << result.err;
  EXPECT_EQ("alpha mARKER alpha", ReadFile(target + "/a.cfg"));
  std::filesystem::remove_all(target);
  MakeFile(target + "/mine.txt", "the user's", kBaseSeconds - 5);
  ASSERT_TRUE(SetTime(target, kBaseSeconds - 8));
  const Tree before = Snapshot(target);

  const std::string good_hex = HexSha256(kit.good);
  // A sidecar that cannot serve stops the run before anything is written;
  // a digest that differs is found at the kit's end, and the installation
  // made meanwhile is rolled back.
  // The message names the kit when it does not match, and the checksum file
  // when that cannot serve.
  const struct {
    const char* what;
    std::string text;
    bool found_first;
    const char* key;
  } sidecars[] = {
      {"the packed kit's digest", good_hex + "  tqkt.efd\n", false,
       "IDS_ERROR_DAMAGEDSOURCE"},
      {"empty", "", true, "IDS_ERROR_CHECKSUM_UNUSABLE"},
      {"malformed", good_hex.substr(8) + "  tqkt.efd\n", true,
       "IDS_ERROR_CHECKSUM_UNUSABLE"},
      {"another file", HexSha256(kit.flipped) + "  other.efd\n", true,
       "IDS_ERROR_CHECKSUM_UNUSABLE"},
  };
  for (const auto& c : sidecars) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(WriteFile(sidecar, c.text));
    const auto times = ChangeTimes(target);
    result = RunSetup("bin", "C.UTF-8");
    EXPECT_EQ(1, result.status);
    EXPECT_EQ(0u, result.err.find(English(c.key))) << result.err;
    EXPECT_EQ("", result.out);
    EXPECT_EQ("", Difference(before, Snapshot(target)));
    if (c.found_first) {
      EXPECT_EQ(times, ChangeTimes(target));
    }
    EXPECT_EQ(ModificationSeconds(target), kBaseSeconds - 8);
    EXPECT_EQ(config, ReadFile(UserConfigPath()));
    EXPECT_EQ(std::vector<std::string>{}, Leftovers());

    const Result verify =
        Finish(Start({KITTOOL_PATH, "verify", kit_path}, "verify"));
    EXPECT_EQ(1, verify.status);
    EXPECT_NE(std::string::npos, verify.err.find("checksum")) << verify.err;
    const Result extract = Finish(StartKittool(kit_path, target, "extract"));
    EXPECT_EQ(1, extract.status);
    EXPECT_EQ("", Difference(before, Snapshot(target)));
    EXPECT_EQ(std::vector<std::string>{}, Leftovers());
  }

  // The good kit with its checksum installs; the summary line says what
  // changed, and a second run that nothing did.
  ASSERT_TRUE(WriteFile(kit_path, kit.good));
  ASSERT_TRUE(WriteFile(sidecar, good_hex + "  tqkt.efd\n"));
  result = RunSetup("bin", "C.UTF-8");
  EXPECT_EQ(0, result.status) << result.err;
  EXPECT_EQ("alpha MARKER alpha", ReadFile(target + "/a.cfg"));
  EXPECT_EQ("installed into " + target + ": 2 copied, 0 up to date\n",
            result.out);
  result = RunSetup("bin", "C.UTF-8");
  EXPECT_EQ(0, result.status) << result.err;
  EXPECT_EQ("installed into " + target + ": 0 copied, 2 up to date\n",
            result.out);
  EXPECT_EQ(std::vector<std::string>{}, Leftovers());
}

// Runs of setup and kittool that meet a FIFO or the like where they look
// for the checksum file: one that waits this long is stuck, and fails.
constexpr std::chrono::seconds kCheckLimit(20);

// The checksum file beside a good kit, in the forms sha256sum checks and as
// every kind of thing that may lie at its path, for setup -S and kittool
// verify as a user runs them. They take what `sha256sum --strict -c` takes,
// and refuse, naming that file and why, anything there that is not a
// regular file in the kit's directory; nothing makes them wait.
TEST_F(HostileEnvTest, TheChecksumFileIsTakenInEachFormAndNothingElse) {
  const std::vector<KitFile> files = {{"a.cfg", "alpha MARKER alpha"}};
  const FlippedKit kit = StoredKitWithAFlippedByte(files, "MARKER");
  const std::string bin = root_.Path("bin");
  const std::string kit_path = bin + "/tqkt.efd";
  const std::string sums = kit_path + ".sha256";
  ASSERT_NO_FATAL_FAILURE(
      WriteConfig(kLocationKey + root_.Path("templates") + "\n"));
  ASSERT_TRUE(WriteFile(kit_path, kit.good));
  const std::string hex = HexSha256(kit.good);
  std::string upper = hex;
  for (char& c : upper) c = static_cast<char>(std::toupper(c));
  const std::string line = hex + "  tqkt.efd\n";
  ASSERT_TRUE(WriteFile(root_.Path("elsewhere.sha256"), line));
  MakeFile(bin + "/sums/tqkt.efd.sha256", line, kBaseSeconds);
  ASSERT_TRUE(WriteFile(root_.Path("unreadable"), line));
  ASSERT_EQ(0, chmod(root_.Path("unreadable").c_str(), 0));
  // Root reads a file of mode 000 all the same, and so does setup run as
  // root; the refusal is seen only without that privilege.
  const int probe = open(root_.Path("unreadable").c_str(), O_RDONLY);
  const bool mode_000_read = probe != -1;
  if (probe != -1) close(probe);
  const auto text = [&](const std::string& content) {
    return [&, content] { return WriteFile(sums, content) ? 0 : EIO; };
  };
  const auto link = [&](const std::string& to) {
    return [&, to] { return symlink(to.c_str(), sums.c_str()); };
  };
  const struct {
    const char* what;
    std::function<int()> make;  // 0 or errno
    bool taken;
    int error;        // why it is refused (kit/kit_checksum.h)
    bool sha256sum;   // compared with sha256sum, which agrees
  } cases[] = {
      {"as sha256sum writes it", text(line), true, 0, true},
      {"CRLF", text(hex + "  tqkt.efd\r\n"), true, 0, true},
      {"blank lines", text("\r\n" + line + "\n"), true, 0, true},
      {"one blank", text(hex + " tqkt.efd\n"), true, 0, true},
      {"a tab", text(hex + "\ttqkt.efd\n"), true, 0, true},
      {"./", text(hex + "  ./tqkt.efd\n"), true, 0, true},
      {"binary mark", text(hex + " *tqkt.efd\n"), true, 0, true},
      {"tagged", text("SHA256 (tqkt.efd) = " + hex + "\n"), true, 0, true},
      {"escaped", text("\\" + line), true, 0, true},
      {"upper case", text(upper + "  tqkt.efd\n"), true, 0, true},
      {"empty", text(""), false, 0, true},
      {"malformed", text(hex.substr(8) + "  tqkt.efd\n"), false, 0, true},
      {"another file", text(hex + "  other.efd\n"), false, 0, true},
      {"a link inside", link("sums/tqkt.efd.sha256"), true, 0, true},
      {"a dangling link", link("sums/none"), false, EINVAL, true},
      {"a link loop", link("tqkt.efd.sha256"), false, ELOOP, true},
      // sha256sum follows this link, and reads a file of any size.
      {"a link out of the directory", link("../elsewhere.sha256"), false,
       EINVAL, false},
      {"too large", text(line + std::string(64 * 1024, '#')), false, EFBIG,
       false},
      {"a directory", [&] { return mkdir(sums.c_str(), 0755); }, false,
       EISDIR, true},
      // sha256sum would wait for a writer.
      {"a FIFO", [&] { return mkfifo(sums.c_str(), 0644); }, false, EINVAL,
       false},
      {"a socket",
       [&] {
         sockaddr_un address{};
         address.sun_family = AF_UNIX;
         if (sums.size() >= sizeof(address.sun_path)) return ENAMETOOLONG;
         sums.copy(address.sun_path, sums.size());
         const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
         const int rc = bind(fd, reinterpret_cast<sockaddr*>(&address),
                             sizeof(address));
         close(fd);
         return rc;
       },
       false, EINVAL, true},
      {"mode 000",
       [&] { return rename(root_.Path("unreadable").c_str(), sums.c_str()); },
       mode_000_read, EACCES, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(sums);
    ASSERT_EQ(0, c.make());
    const Result setup = Finish(StartSetup("bin", "setup"), kCheckLimit);
    const Result verify =
        Finish(Start({KITTOOL_PATH, "verify", kit_path}, "verify"),
               kCheckLimit);
    if (c.taken) {
      EXPECT_EQ(0, setup.status) << setup.err;
      EXPECT_EQ(0u, setup.out.find("installed into ")) << setup.out;
      EXPECT_EQ(0, verify.status) << verify.err;
      // Taken for its digest: the kit with a byte changed is refused.
      ASSERT_TRUE(WriteFile(kit_path, kit.flipped));
      const Result flipped =
          Finish(Start({KITTOOL_PATH, "verify", kit_path}, "flipped"),
                 kCheckLimit);
      EXPECT_EQ(1, flipped.status);
      EXPECT_NE(std::string::npos,
                flipped.err.find("does not match its checksum"))
          << flipped.err;
      ASSERT_TRUE(WriteFile(kit_path, kit.good));
    } else {
      const std::string setup_reason =
          c.error == 0        ? English("IDS_REASON_CHECKSUM_FORMAT")
          : c.error == EINVAL ? English("IDS_REASON_CHECKSUM_NOT_FILE")
                              : std::strerror(c.error);
      EXPECT_EQ(1, setup.status);
      EXPECT_EQ(0u, setup.err.find(English("IDS_ERROR_CHECKSUM_UNUSABLE")))
          << setup.err;
      EXPECT_NE(std::string::npos,
                setup.err.find("\"" + sums + "\": " + setup_reason))
          << setup.err;
      EXPECT_EQ("", setup.out);
      const std::string verify_reason =
          c.error == 0 ? "it is not a SHA-256 checksum of \"tqkt.efd\""
          : c.error == EINVAL
              ? "it is not a regular file in the kit's directory"
              : std::strerror(c.error);
      EXPECT_EQ(1, verify.status);
      EXPECT_NE(std::string::npos,
                verify.err.find("the checksum file \"" + sums +
                                "\" cannot be used"))
          << verify.err;
      EXPECT_NE(std::string::npos, verify.err.find(verify_reason))
          << verify.err;
    }
    if (c.sha256sum) {
      const Result check = Finish(
          Start({"/usr/bin/sha256sum", "--strict", "-c", "tqkt.efd.sha256"},
                "sha256sum", "C.UTF-8", bin),
          kCheckLimit);
      EXPECT_EQ(c.taken, check.status == 0) << check.out << check.err;
    }
    EXPECT_EQ(std::vector<std::string>{}, Leftovers());
  }
}

// kittool checksum prints what sha256sum prints for the kit as it was
// named, so that its output saved checks with sha256sum -c from where it
// ran; the file it writes beside the kit checks from the kit's directory.
// Names with a backslash or a line feed are escaped as sha256sum escapes
// them, and kittool verify takes every form sha256sum writes for them.
TEST_F(HostileEnvTest, KittoolChecksumPrintsWhatSha256sumPrints) {
  const std::string work = root_.Path("work");
  const std::vector<KitFile> files = {{"a.cfg", "alpha"}};
  for (const std::string& kit :
       {std::string("kit.efd"), std::string("sub/kit.efd"),
        root_.Path("abs.efd"), std::string("back\\slash.efd"),
        std::string("line\nfeed.efd")}) {
    SCOPED_TRACE(kit);
    const std::string path = kit[0] == '/' ? kit : work + "/" + kit;
    const std::string dir = path.substr(0, path.rfind('/'));
    const std::string base = path.substr(path.rfind('/') + 1);
    std::filesystem::create_directories(dir);
    ASSERT_TRUE(WriteKitFile(path, files));
    const Result checksum =
        Finish(Start({KITTOOL_PATH, "checksum", kit}, "checksum"));
    ASSERT_EQ(0, checksum.status) << checksum.err;
    const Result sha = Finish(Start({"/usr/bin/sha256sum", kit}, "sha"));
    ASSERT_EQ(0, sha.status) << sha.err;
    EXPECT_EQ(sha.out, checksum.out);
    ASSERT_TRUE(WriteFile(work + "/printed", checksum.out));
    const Result printed =
        Finish(Start({"/usr/bin/sha256sum", "-c", "printed"}, "printed"));
    EXPECT_EQ(0, printed.status) << printed.out << printed.err;
    EXPECT_NE(std::string::npos, printed.out.find(": OK\n")) << printed.out;
    const Result beside =
        Finish(Start({"/usr/bin/sha256sum", "--strict", "-c", base + ".sha256"},
                     "beside", "C.UTF-8", dir));
    EXPECT_EQ(0, beside.status) << beside.out << beside.err;
    for (const char* form : {"--text", "--binary", "--tag"}) {
      SCOPED_TRACE(form);
      const Result written = Finish(
          Start({"/usr/bin/sha256sum", form, base}, "form", "C.UTF-8", dir));
      ASSERT_EQ(0, written.status) << written.err;
      ASSERT_TRUE(WriteFile(path + ".sha256", written.out));
      const Result verify =
          Finish(Start({KITTOOL_PATH, "verify", kit}, "verify"));
      EXPECT_EQ(0, verify.status) << verify.err;
    }
  }
}

// What kittool pack writes beside a kit is what sha256sum checks.
TEST_F(HostileEnvTest, PackedKitsCarryAChecksumSha256sumAccepts) {
  MakeFile(root_.Path("tree/a.cfg"), "alpha", kBaseSeconds);
  const Result pack = Finish(
      Start({KITTOOL_PATH, "pack", root_.Path("tree"), "-o",
             root_.Path("work/kit.efd"), "--lang", "en", "--product", "P"},
            "pack"));
  ASSERT_EQ(0, pack.status) << pack.err;
  EXPECT_EQ(HexSha256(ReadFile(root_.Path("work/kit.efd"))) + "  kit.efd\n",
            ReadFile(root_.Path("work/kit.efd.sha256")));
  const Result check =
      Finish(Start({"/usr/bin/sha256sum", "-c", "kit.efd.sha256"}, "check"));
  EXPECT_EQ(0, check.status) << check.err;
  EXPECT_EQ("kit.efd: OK\n", check.out);
}

// At a terminal a silent run shows a bar on standard error and ends it
// full before the summary; without one (every other test here) it writes
// nothing there.
TEST_F(HostileEnvTest, ASilentRunAtATerminalShowsABar) {
  ASSERT_TRUE(WriteKitFile(root_.Path("bin/tqkt.efd"), ManyFiles(300)));
  const std::string target = root_.Path("templates");
  ASSERT_NO_FATAL_FAILURE(WriteConfig(kLocationKey + target + "\n"));
  // script(1) gives the run a terminal and copies what it shows.
  const Result result =
      Finish(Start({"/usr/bin/script", "-qec",
                    root_.Path("bin/setup") + " -S -Len", "/dev/null"},
                   "terminal"));
  ASSERT_EQ(0, result.status) << result.err << result.out;
  const std::string full = "[" + std::string(30, '#') + "] 100%";
  const size_t bar = result.out.rfind(full);
  ASSERT_NE(std::string::npos, bar) << result.out;
  EXPECT_NE(std::string::npos,
            result.out.find("\r\ninstalled into " + target +
                                ": 300 copied, 0 up to date\r\n",
                            bar))
      << result.out;
  EXPECT_EQ(std::vector<std::string>{}, Leftovers());
}

}  // namespace
