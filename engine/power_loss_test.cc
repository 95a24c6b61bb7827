// Power losses during an installation. The installation runs once, in this
// process, through a seam that logs every change to the disk and every
// flush (platform/crash_recording.h); from the log come a few hundred
// states that a power loss at some call could have left
// (platform/crash_states.h: what a flush makes durable is written down
// there). Each state is rebuilt at the same absolute paths, and the next
// start runs on it as it would after the machine booted again
// (platform/rebooted_system.h): first without a kit, which recovers, and
// then, on some of the states, with the kit, which recovers and installs
// again. The promise under test: the user ends up with the old templates
// or the whole new set, never with an empty, short or lost file.
//
// TQ_POWER_LOSS_STATES sets the number of states per scenario (longer runs
// from bench/), TQ_POWER_LOSS_SEED the seed that chooses them.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine/engine_test_util.h"
#include "engine/install_session.h"
#include "engine/recovery.h"
#include "platform/crash_recording.h"
#include "platform/crash_state_writer.h"
#include "platform/crash_states.h"
#include "platform/rebooted_system.h"
#include "platform/scoped_temp_dir.h"

namespace {

using namespace engine_test;

size_t FromEnvironment(const char* name, size_t fallback) {
  const char* text = getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  return static_cast<size_t>(std::strtoull(text, nullptr, 10));
}

// What a next start left in the template directory.
enum class Verdict { kOld, kNew, kLost, kDamaged, kMixed };

const char* Named(Verdict verdict) {
  switch (verdict) {
    case Verdict::kOld:
      return "old";
    case Verdict::kNew:
      return "whole new";
    case Verdict::kLost:
      return "a user's file lost";
    case Verdict::kDamaged:
      return "an empty or short installed file";
    case Verdict::kMixed:
      return "mixed";
  }
  return "?";
}

struct Scenario {
  const char* name;
  bool reinstall;      // over the user's modified templates
  bool volatile_temp;  // TMPDIR on tmpfs
};

void PrintTo(const Scenario& scenario, std::ostream* out) {
  *out << scenario.name;
}

// A directory of its own under /dev/shm, removed with what is in it.
class VolatileDir {
 public:
  VolatileDir() {
    char name[] = "/dev/shm/tq-power-loss-XXXXXX";
    if (OnVolatileFileSystem("/dev/shm") && mkdtemp(name) != nullptr) {
      path_ = name;
    }
  }
  ~VolatileDir() {
    if (!path_.empty()) std::filesystem::remove_all(path_);
  }
  VolatileDir(const VolatileDir&) = delete;
  VolatileDir& operator=(const VolatileDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

class PowerLossTest : public ::testing::TestWithParam<Scenario> {
 protected:
  void SetUp() override {
    disk_ = scratch_.Path("disk");
    templates_ = disk_ + "/templates";
    kit_ = scratch_.Path("kit.efd");
    roots_ = {{disk_, false}};
    if (OnVolatileFileSystem(scratch_.path())) {
      GTEST_SKIP() << scratch_.path()
                   << " is on tmpfs: a power loss would take all of it";
    }
    std::string temp = disk_ + "/tmp";
    if (GetParam().volatile_temp) {
      shm_ = std::make_unique<VolatileDir>();
      if (shm_->path().empty()) {
        GTEST_SKIP() << "/dev/shm is not a writable tmpfs";
      }
      temp = shm_->path();
      roots_.push_back({temp, true});
    }
    for (const std::string& dir : {disk_, disk_ + "/home", temp}) {
      ASSERT_TRUE(std::filesystem::create_directories(dir) ||
                  std::filesystem::is_directory(dir));
    }
    tmpdir_ = std::make_unique<ScopedTmpdir>(temp);
    home_ = std::make_unique<ScopedHome>(disk_ + "/home");
    kit_files_ = KitFiles();
    ASSERT_TRUE(WriteKitFile(kit_, kit_files_));
    if (GetParam().reinstall) {
      MakeUserTemplates(templates_);
      MakeFile(templates_ + "/t03.cfg", "the user's t03", kBaseSeconds - 50);
      MakeFile(templates_ + "/sub/keep2.cfg", "the user's keep2",
               kBaseSeconds + 5, 0664);
    }
  }

  // A few dozen files, some nested, one larger than 64 KiB; over the
  // user's templates some replace older files and some find newer ones.
  static std::vector<KitFile> KitFiles() {
    std::vector<KitFile> files = {{"a.cfg", "the kit's a"},
                                  {"keep.cfg", "the kit's keep"},
                                  {"t03.cfg", "the kit's t03"},
                                  {"sub/keep2.cfg", "the kit's keep2"},
                                  {"sub/deep/older.txt", "the kit's older"},
                                  {"big/blob.bin", RandomBytes(100000, 11)}};
    for (int i = 0; i < 14; ++i) {
      const std::string n = std::to_string(i);
      files.push_back({"t" + n + "x.cfg", "template " + n + "\n"});
      files.push_back({"sub/s" + n + ".txt", "nested " + n + "\n"});
    }
    for (const char* name : {"sub/deep/d.txt", "x/y/z/c.txt", "x/y/e.txt"}) {
      files.push_back({name, std::string("bytes of ") + name});
    }
    return files;
  }

  // One start with the kit through `sys`: recovery, then the installation.
  Status Install(SystemApi& sys) {
    InstallSession session(sys, nullptr);
    session.Recover();
    session.SetKitPath(kit_);
    TQ_RETURN_IF_ERROR(session.OpenKit(InstallSession::KitCheck::kStreaming));
    TQ_RETURN_IF_ERROR(session.Start(WidePath(templates_ + "/")));
    return session.Finish().failure;
  }

  Verdict Classify(const Tree& after) const {
    if (Difference(old_, after).empty()) return Verdict::kOld;
    if (Difference(new_, after).empty()) return Verdict::kNew;
    std::set<std::string> contents;
    for (const auto& [path, node] : after) {
      if (node.kind == 'f') contents.insert(node.content);
    }
    for (const auto& [path, node] : old_) {
      if (node.kind == 'f' && contents.count(node.content) == 0) {
        return Verdict::kLost;
      }
    }
    for (const KitFile& file : kit_files_) {
      const auto found = after.find(file.name);
      if (found == after.end() || found->second.kind != 'f') continue;
      const auto old = old_.find(file.name);
      const std::string& bytes = found->second.content;
      if (bytes != file.data &&
          (old == old_.end() || bytes != old->second.content)) {
        return Verdict::kDamaged;
      }
    }
    return Verdict::kMixed;
  }

  // Rebuilds the state of `crash` in place; the seam of the next start,
  // or null (a failure added) when it cannot be rebuilt.
  std::unique_ptr<RebootedSystem> Rebuild(const CrashStateGenerator& states,
                                          const CrashCase& crash) {
    ShownIdentities shown;
    std::string error;
    if (!WriteCrashState(roots_, states.StateAt(crash), &shown, &error)) {
      ADD_FAILURE() << Describe(crash, states) << ": " << error;
      return nullptr;
    }
    return std::make_unique<RebootedSystem>(std::move(shown));
  }

  size_t Counted(Verdict verdict) const {
    const auto found = counts_.find(verdict);
    return found == counts_.end() ? 0 : found->second;
  }

  // The next start without a kit on the state of `crash`, and what it
  // left.
  void RecoverState(const CrashStateGenerator& states,
                    const CrashCase& crash) {
    std::unique_ptr<RebootedSystem> next = Rebuild(states, crash);
    if (next == nullptr) return;
    RecoverInterruptedInstalls(*next);
    const Tree after = Snapshot(templates_);
    const Verdict verdict = Classify(after);
    ++counts_[verdict];
    if (verdict == Verdict::kOld || verdict == Verdict::kNew) {
      good_.push_back(crash);
      return;
    }
    bad_.push_back(crash);
    if (verdict == Verdict::kLost && LostFromTheDisk()) ++gone_;
    if (crash.variant == 1) kill_like_ += Describe(crash, states) + "\n";
    if (examples_.size() < 4) {
      examples_.push_back(Describe(crash, states) + ": " + Named(verdict) +
                          "; against the old templates:\n" +
                          Difference(old_, after) + "against the new:\n" +
                          Difference(new_, after));
    }
  }

  // Whether some file of the user's old templates is nowhere below the
  // roots (not even in a backup directory set aside).
  bool LostFromTheDisk() const {
    std::set<std::string> contents;
    for (const auto& [path, node] : ReadCrashTree(roots_)) {
      if (node.kind == 'f') contents.insert(node.bytes);
    }
    for (const auto& [path, node] : old_) {
      if (node.kind == 'f' && contents.count(node.content) == 0) return true;
    }
    return false;
  }

  // The next start with the kit, on some bad states and some good ones:
  // it must end with the whole new set.
  void InstallAgain(const CrashStateGenerator& states) {
    std::vector<CrashCase> chosen;
    for (size_t i = 0; i < bad_.size() && chosen.size() < 6;
         i += 1 + bad_.size() / 6) {
      chosen.push_back(bad_[i]);
    }
    for (size_t i = 0; i < good_.size() && chosen.size() < 10;
         i += 1 + good_.size() / 4) {
      chosen.push_back(good_[i]);
    }
    again_ = chosen.size();
    for (const CrashCase& crash : chosen) {
      std::unique_ptr<RebootedSystem> next = Rebuild(states, crash);
      if (next == nullptr) return;
      const Status installed = Install(*next);
      const std::string difference = Difference(new_, Snapshot(templates_));
      if (installed.ok() && difference.empty()) {
        ++repaired_;
      } else if (unrepaired_.size() < 2000) {
        unrepaired_ += Describe(crash, states) + ", with the kit again:\n" +
                       difference;
      }
    }
  }

  static std::string Describe(const CrashCase& crash,
                              const CrashStateGenerator& states) {
    return "crash after call " + std::to_string(crash.point) + " of " +
           std::to_string(states.changes()) + ", variant " +
           std::to_string(crash.variant);
  }

  ScopedTempDir scratch_;
  std::unique_ptr<VolatileDir> shm_;
  std::string disk_;
  std::string templates_;
  std::string kit_;
  std::vector<CrashRoot> roots_;
  std::unique_ptr<ScopedTmpdir> tmpdir_;
  std::unique_ptr<ScopedHome> home_;
  std::vector<KitFile> kit_files_;
  Tree old_;
  Tree new_;
  // What the states came to.
  std::map<Verdict, size_t> counts_;
  std::vector<CrashCase> bad_;
  std::vector<CrashCase> good_;
  size_t gone_ = 0;           // lost states whose file is gone altogether
  std::string kill_like_;     // bad states that kept every change
  std::vector<std::string> examples_;
  size_t again_ = 0;          // states started again with the kit
  size_t repaired_ = 0;       // ... that ended whole new
  std::string unrepaired_;
};

TEST_P(PowerLossTest, EveryStateEndsOldOrWholeNew) {
  const auto started = std::chrono::steady_clock::now();
  old_ = Snapshot(templates_);
  const CrashTree before = ReadCrashTree(roots_);
  CrashRecordingSystem recording;
  ASSERT_TRUE(Install(recording).ok());
  new_ = Snapshot(templates_);
  const size_t user_only = GetParam().reinstall ? 1 : 0;
  ASSERT_EQ(kit_files_.size() + user_only,
            static_cast<size_t>(std::count_if(
                new_.begin(), new_.end(),
                [](const auto& entry) { return entry.second.kind == 'f'; })));
  ASSERT_NE("", Difference(old_, new_));

  const CrashStateGenerator states(roots_, before, recording.log());
  const std::vector<CrashCase> cases =
      states.Cases(FromEnvironment("TQ_POWER_LOSS_SEED", 20261208),
                   FromEnvironment("TQ_POWER_LOSS_STATES", 200));
  for (const CrashCase& crash : cases) RecoverState(states, crash);
  InstallAgain(states);

  std::ostringstream summary;
  summary << GetParam().name << ": " << cases.size() << " states from "
          << states.changes() << " logged calls: " << Counted(Verdict::kOld)
          << " old, " << Counted(Verdict::kNew) << " whole new, "
          << bad_.size() << " bad (" << Counted(Verdict::kLost) << " "
          << Named(Verdict::kLost) << " [in " << gone_
          << " of them gone from the disk, else set aside], "
          << Counted(Verdict::kDamaged) << " " << Named(Verdict::kDamaged)
          << ", " << Counted(Verdict::kMixed) << " mixed); the next start "
          << "with the kit made " << repaired_ << " of " << again_
          << " states (bad ones first) whole new; "
          << std::chrono::duration<double>(std::chrono::steady_clock::now() -
                                           started)
                 .count()
          << " s\n";
  std::cout << summary.str();
  for (const std::string& example : examples_) summary << example;
  EXPECT_EQ(0u, bad_.size()) << summary.str();
  EXPECT_EQ(again_, repaired_) << summary.str() << unrepaired_;
  // Keeping every change is what a kill leaves, and a kill is recovered
  // (recovery_kill_test): a state of that kind that ends bad is a fault of
  // this harness, not of the installer. On tmpfs even those lose the
  // backup directory.
  if (!GetParam().volatile_temp) {
    EXPECT_EQ("", kill_like_) << "states that kept every change";
  }
}

const Scenario kScenarios[] = {
    {"fresh install, TMPDIR on the same file system", false, false},
    {"fresh install, TMPDIR on tmpfs", false, true},
    {"re-install over the user's files, TMPDIR on the same file system", true,
     false},
    {"re-install over the user's files, TMPDIR on tmpfs", true, true},
};

INSTANTIATE_TEST_SUITE_P(
    Scenarios, PowerLossTest, ::testing::ValuesIn(kScenarios),
    [](const ::testing::TestParamInfo<Scenario>& info) {
      return std::string(info.param.reinstall ? "Reinstall" : "Fresh") +
             (info.param.volatile_temp ? "TmpdirOnTmpfs" : "TmpdirOnDisk");
    });

}  // namespace
