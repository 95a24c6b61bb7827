// The whole installation as a silent run drives it (pre-checks, the copying
// on the worker, the commit, the launcher configuration), with one platform
// call made to fail at a time. The run is first made without a fault to learn
// the calls; then every call in turn fails with each error it can meet, from
// a fresh copy of the same starting state. Whatever fails, the user's files
// and configuration are never left half-changed, the user is told, and
// nothing of the installer's is left behind.
//
// The run is the console face of the installation session, as a silent
// installation without a display has it; no dialog is built. Its messages
// are recorded from its error stream, one line each.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "app/installer_app.h"
#include "app/setup_console.h"
#include "engine/engine_test_util.h"
#include "engine/install_session.h"
#include "l10n/string_table.h"
#include "platform/fault_injection.h"
#include "platform/scoped_temp_dir.h"
#include "ui/ui_test_util.h"

namespace {

using engine_test::Difference;
using engine_test::MakeFile;
using engine_test::SetTime;
using engine_test::Snapshot;
using engine_test::Tree;

constexpr int64_t kKitTime = 1700000000;
constexpr int64_t kOlder = 1600000000;
constexpr int64_t kNewer = 1800000000;
const std::string kKey = "ConfigurationTemplatesLocation=";

// What one run of the flow ended with.
struct FlowResult {
  int status = -1;
  std::vector<std::string> shown;  // messages, in order, one line each
};

// Where a call of the clean run stands in the installation.
enum class Phase {
  kProbe,        // the writability probe of the first template location
  kPreCheck,     // any other call before the transaction has its backup
  kTransaction,  // from the backup directory to the last file installed
  kCommit,       // after the last file, while the transaction ends
  kAfter,        // the launcher configuration and the end of the run
};

const char* PhaseName(Phase phase) {
  switch (phase) {
    case Phase::kProbe:
      return "probe";
    case Phase::kPreCheck:
      return "pre-check";
    case Phase::kTransaction:
      return "transaction";
    case Phase::kCommit:
      return "commit";
    case Phase::kAfter:
      return "after commit";
  }
  return "?";
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

bool Under(const std::string& path, const std::string& dir) {
  return path == dir || StartsWith(path, dir + "/");
}

// The names directly in `dir`.
std::vector<std::string> Names(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string ParentOf(const std::string& path) {
  return path.substr(0, path.rfind('/'));
}

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() &&
         text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Equal, or equal but for the six random characters that end a temporary
// file's name. A directory's own path is read back through
// "/proc/self/fd/N", and N depends on whether the inflating thread has
// closed the kit yet: any N is the same name.
bool SameName(const std::string& a, const std::string& b) {
  const std::string self = "/proc/self/fd/";
  if (StartsWith(a, self) && StartsWith(b, self)) return true;
  return a == b || (a.size() == b.size() && a.size() > 6 &&
                    a.compare(0, a.size() - 6, b, 0, b.size() - 6) == 0);
}

class InstallFaultsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Every run flushes journals and configuration files to disk; on a
    // file system in memory the hundreds of runs take seconds, not minutes.
    // Without the right to mount one (not root) the runs stay on disk.
    base_ = root_.Path("fs");
    ASSERT_EQ(0, mkdir(base_.c_str(), 0700));
    mounted_ = mount("tmpfs", base_.c_str(), "tmpfs", 0, "size=64m") == 0;
    saved_language_ = StringTable::CurrentLanguage();
    StringTable::SetCurrentLanguage(kLanguageEnglish);
    home_ = Path("home");
    tmp_ = Path("tmp");
    first_ = Path("templates one");
    second_ = Path("templates two");
    default_ = home_ + "/.tqkt/WEX/wexkt/tmplts";
    user_config_ = home_ + "/.Tq/tqlaunch/tqlaunch.cfg";
    common_config_ = home_ + "/.Tq/tqlauncht/tqlaunch.cfg";
    ASSERT_EQ(0, mkdir(Path("kit").c_str(), 0755));
    // Headless, in a home and a temporary directory of the test's own.
    env_.push_back(std::make_unique<EnvScope>("DISPLAY", std::nullopt));
    env_.push_back(std::make_unique<EnvScope>("HOME", home_));
    env_.push_back(std::make_unique<EnvScope>("TMPDIR", tmp_));
    cwd_ = std::make_unique<CwdScope>(Path("kit"));
    std::string big(60000, '\0');
    for (size_t i = 0; i < big.size(); ++i) {
      big[i] = static_cast<char>((i * 7919) >> 3);
    }
    ASSERT_TRUE(WriteTestKit(Path("kit/tqkt.efd"),
                             {{"a.txt", "A new", kKitTime},
                              {"keep.txt", "kit keep", kKitTime},
                              {"sub\\deep\\older.txt", "deep new", kKitTime},
                              {"sub\\fresh\\x\\y.txt", "y", kKitTime},
                              {"doc\\readme.html", "<html/>", kKitTime},
                              {"new.bin", big, kKitTime}}));
  }

  void TearDown() override {
    cwd_.reset();
    env_.clear();
    if (mounted_) umount2(base_.c_str(), MNT_DETACH);
    if (saved_language_ != kLanguageNone) {
      StringTable::SetCurrentLanguage(saved_language_);
    }
  }

  // The starting state, made afresh: the first template location holds
  // files the kit overwrites (older), skips (newer) and does not know; the
  // second does not exist yet; the user's configuration lists `locations`
  // among other keys, and the common configuration exists too.
  void MakeInitialState(const std::vector<std::string>& locations) {
    for (const std::string& dir : {home_, tmp_, first_, second_}) {
      std::filesystem::remove_all(dir);
    }
    ASSERT_EQ(0, mkdir(tmp_.c_str(), 0700));
    MakeFile(first_ + "/a.txt", "old a", kOlder, 0640);
    MakeFile(first_ + "/keep.txt", "user keep", kNewer, 0600);
    MakeFile(first_ + "/sub/deep/older.txt", "old deep", kOlder, 0644);
    MakeFile(first_ + "/sub/mine.txt", "mine", kOlder, 0600);
    MakeFile(user_config_, UserConfigListing(locations), kOlder, 0640);
    MakeFile(common_config_, CommonConfigListing({}), kOlder, 0644);
    for (const std::string& dir : {base_, home_}) {
      SetTime(dir, kOlder);
    }
  }

  // One silent run of the real console face through `system`; the session
  // is gone (and its kit closed) when this returns.
  FlowResult RunFlow(FaultInjectingSystem* system) {
    FlowResult result;
    std::ostringstream out;
    std::ostringstream err;
    {
      InstallSession session(*system, nullptr);
      CommandLine command_line;
      command_line.silent = true;
      command_line.use_current_dir = true;
      result.status = RunSetupConsole(session, command_line, out, err);
    }
    // The note that the default directory is taken is no message of a
    // failure or a warning.
    std::istringstream lines(err.str());
    for (std::string line; std::getline(lines, line);) {
      if (!StartsWith(line, Text("IDS_NOTE_DEFAULT_TARGET"))) {
        result.shown.push_back(line);
      }
    }
    return result;
  }

  // The state after a run, as the checks compare it.
  struct State {
    Tree first, second, fallback, launcher;
    std::string user, common;
  };
  State Capture() const {
    return State{Snapshot(first_),       Snapshot(second_),
                 Snapshot(default_),     Snapshot(home_ + "/.Tq"),
                 ReadFile(user_config_), ReadFile(common_config_)};
  }

  // Anything of the installer's left where it does not belong: in TMPDIR
  // (backups, the inflated kit), probe files beside the locations, temporary
  // files beside the configuration files.
  std::vector<std::string> Leftovers() const {
    std::vector<std::string> found;
    for (const std::string& name : ListTree(tmp_))
      found.push_back("tmp/" + name);
    for (const std::string& name : Names(base_)) {
      if (StartsWith(name, "WEX")) found.push_back(name);
    }
    // In the home directory, besides the configuration and the default
    // template directory, only directories may stay (a run's own state
    // goes with it).
    for (const auto& [path, node] : Snapshot(home_)) {
      if (node.kind != 'd' && !StartsWith(path, ".Tq/") &&
          !StartsWith(path, ".tqkt/")) {
        found.push_back("home/" + path);
      }
    }
    for (const std::string& dir :
         {home_ + "/.Tq/tqlaunch", home_ + "/.Tq/tqlauncht"}) {
      for (const std::string& name : Names(dir)) {
        if (name != "tqlaunch.cfg") found.push_back(dir + "/" + name);
      }
    }
    return found;
  }

  // The configuration files as the test writes them, listing `locations`.
  static std::string UserConfigListing(
      const std::vector<std::string>& locations) {
    std::string text = "Other=keep me\n";
    for (const std::string& location : locations) {
      text += kKey + location + "\n";
    }
    return text + "Last=\xff raw\n";
  }
  static std::string CommonConfigListing(
      const std::vector<std::string>& locations) {
    std::string text = "CommonKey=1\n";
    for (const std::string& location : locations) {
      text += kKey + location + "\n";
    }
    return text;
  }

  // `got` in front of `locations`, each once.
  static std::vector<std::string> Listed(
      const std::string& got, const std::vector<std::string>& locations) {
    std::vector<std::string> listed = {got};
    for (const std::string& location : locations) {
      if (location != got) listed.push_back(location);
    }
    return listed;
  }

  void Sweep(const std::vector<std::string>& locations, const std::string& next,
             bool probe_only);

  std::string Path(const std::string& name) const { return base_ + "/" + name; }

  ScopedTempDir root_;
  std::string base_;
  bool mounted_ = false;
  std::string home_, tmp_, first_, second_, default_;
  std::string user_config_, common_config_;
  std::vector<std::unique_ptr<EnvScope>> env_;
  std::unique_ptr<CwdScope> cwd_;
  LanguageId saved_language_ = kLanguageNone;
};

// The phase of each call of a clean run, from its log: paths tell the
// probe (inside the first location, before the kit is read), the
// transaction (from the first call on the first location after the kit is
// read to the last one while the backup directory is in use, with the
// writes that directly follow it), the commit (up to the launcher
// configuration) and what follows. Calls that may be added or reordered in
// the engine stay in their phase by the same rules.
std::vector<Phase> Classify(const std::vector<SysCall>& log,
                            const std::string& backups,
                            const std::string& first) {
  const std::string backup = backups + "/ktstp";
  size_t kit_first = log.size(), backup_last = 0;
  for (size_t i = 0; i < log.size(); ++i) {
    // The kit is read from its first open on; its path is looked at before.
    if (kit_first == log.size() && log[i].op == SysOp::kOpen &&
        log[i].path.find("/kit/tqkt.efd") != std::string::npos) {
      kit_first = i;
    }
    if (StartsWith(log[i].path, backup) || StartsWith(log[i].path2, backup)) {
      backup_last = i;
    }
  }
  size_t transaction_first = log.size();
  for (size_t i = kit_first; i < log.size(); ++i) {
    if (Under(log[i].path, first)) {
      transaction_first = i;
      break;
    }
  }
  size_t target_last = transaction_first;
  for (size_t i = transaction_first; i < log.size() && i <= backup_last; ++i) {
    if (Under(log[i].path, first) || Under(log[i].path2, first)) {
      target_last = i;
    }
  }
  // The writes (and their flush) that seal the transaction still belong to
  // it: until they are done, a rollback is the right end.
  while (target_last + 1 < log.size() &&
         (log[target_last + 1].op == SysOp::kWrite ||
          log[target_last + 1].op == SysOp::kFsync)) {
    ++target_last;
  }
  size_t after = log.size();
  for (size_t i = backup_last + 1; i < log.size(); ++i) {
    if (log[i].path.find("tqlaunch") != std::string::npos) {
      after = i;
      break;
    }
  }
  std::vector<Phase> phases(log.size());
  for (size_t i = 0; i < log.size(); ++i) {
    if (i < transaction_first) {
      phases[i] = i < kit_first && Under(log[i].path, first) ? Phase::kProbe
                                                             : Phase::kPreCheck;
    } else if (i <= target_last) {
      phases[i] = Phase::kTransaction;
    } else if (i < after) {
      phases[i] = Phase::kCommit;
    } else {
      phases[i] = Phase::kAfter;
    }
  }
  return phases;
}

// The errors each call is made to fail with: no space, no permission and an
// I/O error for every call, and a rename across file systems for renames.
std::vector<int> ErrorsFor(SysOp op) {
  std::vector<int> errors = {ENOSPC, EACCES, EIO};
  if (op == SysOp::kRename) errors.push_back(EXDEV);
  return errors;
}

// Fails every call of a silent installation in turn, with the user's
// configuration listing `locations` (the first of which exists and holds
// files); `next` is where the files go when the first location cannot be
// written. With `probe_only`, only the calls of the writability probe.
void InstallFaultsTest::Sweep(const std::vector<std::string>& locations,
                              const std::string& next, bool probe_only) {
  MakeInitialState(locations);
  const State initial = Capture();

  // The clean run, into the first location.
  FaultInjectingSystem clean;
  const FlowResult ok = RunFlow(&clean);
  ASSERT_EQ(0, ok.status);
  ASSERT_EQ(std::vector<std::string>{}, ok.shown);
  const State installed = Capture();
  ASSERT_EQ("A new", installed.first.at("a.txt").content);
  ASSERT_EQ("user keep", installed.first.at("keep.txt").content);
  ASSERT_EQ("deep new", installed.first.at("sub/deep/older.txt").content);
  ASSERT_EQ("mine", installed.first.at("sub/mine.txt").content);
  ASSERT_EQ(1u, installed.first.count("sub/fresh/x/y.txt"));
  ASSERT_EQ(Tree{}, installed.second);
  ASSERT_EQ(Tree{}, installed.fallback);
  ASSERT_EQ(std::vector<std::string>{}, Leftovers());
  ASSERT_EQ(UserConfigListing(Listed(first_, locations)), installed.user);
  ASSERT_EQ(CommonConfigListing(Listed(first_, locations)), installed.common);
  const std::vector<SysCall> log = clean.Log();
  const std::vector<Phase> phases =
      Classify(log, engine_test::StateBackups(home_), first_);

  // The run that finds the first location unwritable goes to `next`.
  MakeInitialState(locations);
  FaultInjectingSystem refusing;
  refusing.FailPath(first_, EACCES, Ops(SysOp::kOpen, SysOp::kMakeTemp));
  ASSERT_EQ(0, RunFlow(&refusing).status);
  const Tree fresh = Snapshot(next);
  ASSERT_EQ("", Difference(initial.first, Snapshot(first_)));
  ASSERT_EQ("A new", fresh.at("a.txt").content);
  ASSERT_EQ("kit keep", fresh.at("keep.txt").content);
  ASSERT_EQ(UserConfigListing(Listed(next, locations)), ReadFile(user_config_));

  int counts[5] = {};
  for (Phase phase : phases) ++counts[static_cast<int>(phase)];
  for (int p = 0; p < 5; ++p) {
    EXPECT_GT(counts[p], 0)
        << "no call in phase " << PhaseName(static_cast<Phase>(p));
  }

  uint64_t tried = 0, failed_runs = 0, harmless_in_transaction = 0;
  for (size_t i = 0; i < log.size(); ++i) {
    const SysCall& call = log[i];
    const Phase phase = phases[i];
    if (probe_only && phase != Phase::kProbe) continue;
    for (int error : ErrorsFor(call.op)) {
      SCOPED_TRACE("call " + std::to_string(i + 1) + " " + SysOpName(call.op) +
                   " " + call.path + " [" + PhaseName(phase) + "] " +
                   std::strerror(error));
      MakeInitialState(locations);
      // The kit is inflated on a thread of its own while the files are
      // installed: the calls on one file keep their order from run to run,
      // the calls of all files do not. The fault goes to the same call on
      // the same file as in the clean run.
      uint64_t nth_on_file = 0;
      for (size_t j = 0; j <= i; ++j) {
        nth_on_file += log[j].op == call.op && SameName(log[j].path, call.path);
      }
      FaultInjectingSystem system;
      system.FailNthOn(nth_on_file, error, Ops(call.op),
                       [&call](const std::string& path) {
                         return SameName(call.path, path);
                       });
      const FlowResult run = RunFlow(&system);
      ASSERT_EQ(1u, system.InjectedCount());
      ++tried;
      const State after = Capture();
      EXPECT_EQ(std::vector<std::string>{}, Leftovers());

      if (run.status != 0) {
        ++failed_runs;
        // A failure: nothing changed, and the user was told.
        EXPECT_EQ(1, run.status);
        EXPECT_EQ(1u, run.shown.size());
        EXPECT_EQ("", Difference(initial.first, after.first));
        EXPECT_EQ(Tree{}, after.second);
        EXPECT_EQ(Tree{}, after.fallback);
        EXPECT_EQ("", Difference(initial.launcher, after.launcher));
        EXPECT_NE(error, EXDEV) << "a rename across file systems is copied";
        EXPECT_TRUE(phase == Phase::kPreCheck || phase == Phase::kTransaction)
            << "failure reported after the commit";
        if (!run.shown.empty()) {
          // One text of the tables, then the file and the system's reason;
          // a refusal of the system's is never taken for a damaged kit.
          const std::string& text = run.shown[0];
          const auto said = [&text](const char* key) {
            return StartsWith(text, Text(key)) &&
                   text.size() > Text(key).size();
          };
          // A kit's checksum file that cannot be read refuses the kit,
          // naming that file: nothing vouches for it.
          const bool sidecar = EndsWith(call.path, ".sha256");
          // Without a place for the journal's pointer nothing may begin:
          // a failure in the state directory or on a level above it.
          const std::string journals = home_ + "/.local/state/tqsetup/journals";
          const bool state = StartsWith(call.path, journals) ||
                             StartsWith(journals, call.path);
          // The look at the home directory itself: it must be one.
          const bool home = call.path == home_;
          EXPECT_TRUE((!sidecar && !state && said("IDS_INSTALL_ERROR")) ||
                      (sidecar && said("IDS_ERROR_CHECKSUM_UNUSABLE")) ||
                      (home && said("IDS_ERROR_HOME_UNUSABLE")) ||
                      (state && said("IDS_ERROR_NO_STATE_DIR")) ||
                      (phase == Phase::kPreCheck &&
                       (said("IDS_ERROR_NOSOURCE") ||
                        said("IDS_ERROR_NOSPACE"))))
              << text;
          if (!sidecar) {
            EXPECT_NE(std::string::npos, text.find(std::strerror(error)))
                << text;
          }
        }
        continue;
      }

      // A success: the kit is installed whole in exactly one directory. The
      // one thing that may be shown is a warning naming a launcher
      // configuration file that could not be rewritten, which then is as it
      // was.
      for (const std::string& text : run.shown) {
        EXPECT_EQ(0u, text.find(Text("IDS_WARN_CONFIG_NOT_SAVED") + " \""))
            << text;
        const bool common = text.find("tqlauncht/tqlaunch.cfg") !=
                            std::string::npos;
        EXPECT_TRUE(common || text.find("tqlaunch/tqlaunch.cfg") !=
                                  std::string::npos)
            << text;
        EXPECT_TRUE(common ? after.common == initial.common
                           : after.user == initial.user)
            << text;
      }
      EXPECT_LE(run.shown.size(), 2u);
      // Some calls may fail without harm (a look that only decides between
      // two ways of doing the same); the result must then be complete.
      if (phase == Phase::kTransaction) ++harmless_in_transaction;
      std::string got = first_;
      if (!after.second.empty()) got = second_;
      if (!after.fallback.empty()) got = default_;
      if (phase == Phase::kProbe) {
        // A probe that fails makes the first location unwritable, and the
        // next one gets the files. The probe's file has no name: once it is
        // made, a failed close changes nothing; a named probe (file systems
        // without unnamed files) that cannot be removed at once leaves the
        // first in use (and must not stay).
        const bool made =
            call.op == SysOp::kClose || call.op == SysOp::kUnlink;
        EXPECT_EQ(made ? first_ : next, got);
      } else if (phase != Phase::kPreCheck) {
        EXPECT_EQ(first_, got);
      }
      if (got == first_) {
        const std::string difference = Difference(installed.first, after.first);
        if (call.op == SysOp::kFutimens && phase == Phase::kTransaction) {
          // A time that cannot be set only makes a later run copy again.
          EXPECT_EQ(0u, difference.find("changed: ")) << difference;
          EXPECT_EQ(1, std::count(difference.begin(), difference.end(), '\n'))
              << difference;
        } else {
          EXPECT_EQ("", difference);
        }
      } else {
        EXPECT_EQ("", Difference(initial.first, after.first));
        // Into a directory that did not exist: what the kit holds.
        EXPECT_EQ("", Difference(fresh, Snapshot(got)));
      }
      EXPECT_TRUE(got == second_ || after.second.empty());
      EXPECT_TRUE(got == default_ || after.fallback.empty());
      // The launcher configuration: each file as it was or rewritten whole
      // with the directory in front of every location it listed.
      EXPECT_TRUE(after.user == initial.user ||
                  after.user == UserConfigListing(Listed(got, locations)))
          << after.user;
      EXPECT_TRUE(after.common == initial.common ||
                  after.common == CommonConfigListing(Listed(got, locations)))
          << after.common;
      if (phase == Phase::kCommit || phase == Phase::kAfter) {
        // A file is left as it was only for a failure of its own, or when
        // its text stays the same (its time tells).
        for (const bool common : {false, true}) {
          const std::string name =
              common ? "tqlauncht/tqlaunch.cfg" : "tqlaunch/tqlaunch.cfg";
          const std::string dir = home_ + "/.Tq/" + ParentOf(name);
          if (Under(call.path, dir)) continue;
          const std::vector<std::string> listed = Listed(got, locations);
          const bool same =
              common ? initial.common == CommonConfigListing(listed)
                     : initial.user == UserConfigListing(listed);
          EXPECT_EQ(same, kOlder == after.launcher.at(name).mtime_sec)
              << name << (same ? " was rewritten" : " was not rewritten");
        }
      }
    }
    if (HasFatalFailure()) return;
  }
  std::printf(
      "faults tried: %llu over %zu calls (%llu ended in failure, %llu in the "
      "transaction did no harm)\n",
      static_cast<unsigned long long>(tried), log.size(),
      static_cast<unsigned long long>(failed_runs),
      static_cast<unsigned long long>(harmless_in_transaction));
  if (probe_only) {
    EXPECT_GE(tried, 3u * static_cast<uint64_t>(counts[0]));
    return;
  }
  EXPECT_GE(tried, 3 * log.size());
  // Most faults in the transaction must end it.
  EXPECT_GT(failed_runs, static_cast<uint64_t>(counts[2]));
}

// The user's and the common configuration both exist; the second location
// does not exist yet but could be made.
TEST_F(InstallFaultsTest, EveryFailingCallLeavesAWholeStateAndSaysSo) {
  Sweep({first_, second_}, second_, false);
}

// Only one location: a probe that fails sends the files to the default
// directory.
TEST_F(InstallFaultsTest, AFailedProbeFallsBackToTheDefaultDirectory) {
  Sweep({first_}, default_, true);
}

}  // namespace
