#include "engine/recovery.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/console_face.h"
#include "engine/engine_test_util.h"
#include "engine/install_engine.h"
#include "engine/install_transaction.h"
#include "engine/state_directory.h"
#include "engine/journal_owner.h"
#include "engine/install_journal.h"
#include "platform/fault_injection.h"
#include "platform/narrow_path.h"
#include "platform/scoped_temp_dir.h"

namespace {

using namespace engine_test;

std::string Kinds(const std::vector<RecoveryEvent>& events) {
  std::string kinds;
  for (const RecoveryEvent& event : events) {
    kinds += static_cast<char>('0' + static_cast<int>(event.kind));
  }
  return kinds;
}

constexpr int64_t kDirectorySeconds = kBaseSeconds - 1000;

class RecoveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* dir : {"tmp", "home", "t"}) {
      ASSERT_EQ(0, mkdir(dir_.Path(dir).c_str(), 0700));
    }
    tmpdir_ = std::make_unique<ScopedTmpdir>(dir_.Path("tmp"));
    home_ = std::make_unique<ScopedHome>(dir_.Path("home"));
    target_ = dir_.Path("t") + "/";
    backup_ = dir_.Path("tmp") + "/ktstp0";
  }

  void Write(const std::string& path, const std::string& bytes,
             int64_t seconds = kBaseSeconds) {
    std::filesystem::create_directories(
        std::filesystem::path(path).parent_path());
    ASSERT_TRUE(WriteFile(path, bytes));
    ASSERT_TRUE(SetTime(path, seconds));
  }

  // A backup directory as a killed job leaves it: the user's "old.cfg"
  // moved to the backup and replaced by the job's file, "new/made.cfg"
  // made in a new directory; the owner as given.
  void MakeInterrupted(const std::string& owner, bool committed = false,
                       const std::string& extra_path = "") {
    ASSERT_EQ(0, mkdir(backup_.c_str(), 0700));
    Write(backup_ + "/files/old.cfg", "the user's", kBaseSeconds - 5);
    InstallJournal journal(RealSystem());
    ASSERT_EQ(kSuccess, journal.Create(backup_ + "/journal").code());
    ASSERT_EQ(kSuccess, journal.Append(JournalKind::kTarget, target_).code());
    ASSERT_EQ(kSuccess, journal.Append(JournalKind::kOwner, "", owner).code());
    // The template directory's times before the job changed it.
    ASSERT_TRUE(SetTime(target_, kDirectorySeconds));
    struct stat status;
    ASSERT_EQ(0, stat(target_.c_str(), &status));
    ASSERT_EQ(kSuccess,
              journal.Append(JournalKind::kDirectoryTimes, target_,
                             EncodeTimes(status.st_atim, status.st_mtim)).code());
    ASSERT_EQ(kSuccess, journal.Append(JournalKind::kBackup, target_ + "old.cfg",
                                       backup_ + "/files/old.cfg").code());
    ASSERT_EQ(kSuccess,
              journal.Append(JournalKind::kCreatedFile, target_ + "old.cfg").code());
    Write(target_ + "old.cfg", "the job's");
    ASSERT_EQ(kSuccess, journal.Append(JournalKind::kFileDone, "",
                                       EncodeIdentity(Identity("old.cfg"))).code());
    ASSERT_EQ(kSuccess,
              journal.Append(JournalKind::kCreatedDirectory, target_ + "new").code());
    ASSERT_EQ(0, mkdir((target_ + "new").c_str(), 0777));
    ASSERT_EQ(kSuccess, journal.Append(JournalKind::kCreatedFile,
                                       target_ + "new/made.cfg").code());
    Write(target_ + "new/made.cfg", "made");
    ASSERT_EQ(kSuccess, journal.Append(JournalKind::kFileDone, "",
                                       EncodeIdentity(Identity("new/made.cfg"))).code());
    if (!extra_path.empty()) {
      ASSERT_EQ(kSuccess,
                journal.Append(JournalKind::kCreatedFile, extra_path).code());
    }
    if (committed) {
      ASSERT_EQ(kSuccess, journal.Append(JournalKind::kCommitted, "").code());
    }
    // Closing releases the lock, as the owner's death would.
  }

  FileIdentity Identity(const std::string& relative) {
    struct stat status;
    EXPECT_EQ(0, lstat((target_ + relative).c_str(), &status));
    return IdentityOf(status);
  }

  // An owner that is gone: this process's pid with another start time.
  static std::string GoneOwner() {
    const std::string me = CurrentOwner(RealSystem());
    const size_t first = me.find(' ');
    const size_t second = me.find(' ', first + 1);
    return me.substr(0, first) + " 1" + me.substr(second);
  }

  // `times`: the template directory's time is back too (not when files
  // without a record came back after it).
  void ExpectRolledBack(bool times = true) {
    EXPECT_EQ("the user's", ReadFile(target_ + "old.cfg"));
    struct stat status;
    ASSERT_EQ(0, stat((target_ + "old.cfg").c_str(), &status));
    EXPECT_EQ(kBaseSeconds - 5, status.st_mtim.tv_sec);
    ASSERT_EQ(0, stat(target_.c_str(), &status));
    if (times) {
      EXPECT_EQ(kDirectorySeconds, status.st_mtim.tv_sec);
    }
    EXPECT_NE(0, lstat((target_ + "new").c_str(), &status));
    EXPECT_NE(0, lstat(backup_.c_str(), &status));
  }

  ScopedTempDir dir_;
  std::unique_ptr<ScopedTmpdir> tmpdir_;
  std::unique_ptr<ScopedHome> home_;
  std::string target_;
  std::string backup_;
};

// A directory of the job swapped for a link to another place after the
// kill: the recovery works beneath the template directory only, so the
// other place is neither read for removal nor written.
TEST_F(RecoveryTest, ALinkPlantedAfterTheKillLeadsNowhere) {
  MakeInterrupted(GoneOwner());
  const std::string outside = dir_.Path("outside");
  Write(outside + "/made.cfg", "someone else's");
  std::filesystem::rename(target_ + "new", dir_.Path("moved-away"));
  ASSERT_EQ(0, symlink(outside.c_str(), (target_ + "new").c_str()));
  const Tree outside_before = Snapshot(outside);
  RecoverInterruptedInstalls(RealSystem());
  EXPECT_EQ("", Difference(outside_before, Snapshot(outside)));
  EXPECT_EQ("the user's", ReadFile(target_ + "old.cfg"));
  struct stat status;
  EXPECT_NE(0, lstat(backup_.c_str(), &status));
}

// A live installation makes its journal between the recovery's look for
// it and the recovery's rmdir of the (then empty) backup directory: the
// recovery looks again and leaves the running job alone, saying nothing.
TEST_F(RecoveryTest, AJournalMadeBetweenTheLookAndTheRmdirIsLeftAlone) {
  class JournalAppears : public FaultInjectingSystem {
   public:
    explicit JournalAppears(std::string backup) : backup_(std::move(backup)) {}
    int Rmdir(const char* path) override {
      if (!made_ && backup_ == path) {
        made_ = true;
        EXPECT_EQ(kSuccess, journal.Create(backup_ + "/journal").code());
        EXPECT_EQ(kSuccess, journal
                                .Append(JournalKind::kOwner, "",
                                        CurrentOwner(RealSystem()))
                                .code());
      }
      return FaultInjectingSystem::Rmdir(path);
    }
    // Held open, and locked, as its owner does.
    InstallJournal journal{RealSystem()};

   private:
    std::string backup_;
    bool made_ = false;
  };
  ASSERT_EQ(0, mkdir(backup_.c_str(), 0700));
  JournalAppears system(backup_);
  const std::vector<RecoveryEvent> events = RecoverInterruptedInstalls(system);
  EXPECT_EQ("", Kinds(events));
  struct stat status;
  EXPECT_EQ(0, lstat((backup_ + "/journal").c_str(), &status));
  system.journal.Close();
  std::filesystem::remove_all(backup_);
}

TEST_F(RecoveryTest, OwnersAreTakenForGoneOnlyWhenTheyAre) {
  EXPECT_FALSE(OwnerIsGone(RealSystem(), CurrentOwner(RealSystem())));
  EXPECT_TRUE(OwnerIsGone(RealSystem(), GoneOwner()));
  const std::string me = CurrentOwner(RealSystem());
  EXPECT_TRUE(OwnerIsGone(RealSystem(), me.substr(0, me.rfind(' ')) + " another-boot"));
  EXPECT_TRUE(OwnerIsGone(RealSystem(), "garbage"));
  EXPECT_TRUE(OwnerIsGone(RealSystem(), ""));
}

TEST_F(RecoveryTest, AGoneOwnersJobIsRolledBackAndReported) {
  MakeInterrupted(GoneOwner());
  const std::vector<RecoveryEvent> events = RecoverInterruptedInstalls(RealSystem());
  ASSERT_EQ(1u, events.size());
  EXPECT_EQ(RecoveryEvent::Kind::kRolledBack, events[0].kind);
  EXPECT_EQ(target_, events[0].target);
  EXPECT_EQ("an interrupted installation into \"" + target_ + "\" was undone",
            DescribeRecoveryEvent(events[0]));
  ExpectRolledBack();
  // Nothing is left for a second start.
  EXPECT_TRUE(RecoverInterruptedInstalls(RealSystem()).empty());
}

TEST_F(RecoveryTest, ABackedUpFileWhoseRecordWasLostStillGoesHome) {
  MakeInterrupted(GoneOwner());
  // As after a power loss that kept a move but not its record.
  Write(backup_ + "/files/sub/lost.cfg", "lost record", kBaseSeconds - 9);
  Write(backup_ + "/files/.move-Ab12Cd", "half a copy");
  const std::vector<RecoveryEvent> events = RecoverInterruptedInstalls(RealSystem());
  EXPECT_EQ("0", Kinds(events));
  ExpectRolledBack(false);
  EXPECT_EQ("lost record", ReadFile(target_ + "sub/lost.cfg"));
  struct stat status;
  EXPECT_NE(0, lstat((target_ + ".move-Ab12Cd").c_str(), &status));

  // With a different file in its place, the backup is set aside, said
  // once, and never undone again: not over a later installation's files.
  std::filesystem::remove_all(dir_.Path("t"));
  ASSERT_EQ(0, mkdir(dir_.Path("t").c_str(), 0700));
  MakeInterrupted(GoneOwner());
  Write(backup_ + "/files/lost.cfg", "lost record");
  Write(target_ + "lost.cfg", "someone else's");
  const std::vector<RecoveryEvent> kept = RecoverInterruptedInstalls(RealSystem());
  ASSERT_EQ("3", Kinds(kept));
  const std::string aside = dir_.Path("tmp") + "/unfinished-ktstp0";
  EXPECT_EQ(aside, kept[0].kept_as);
  EXPECT_EQ("someone else's", ReadFile(target_ + "lost.cfg"));
  EXPECT_EQ("lost record", ReadFile(aside + "/files/lost.cfg"));
  EXPECT_EQ("the user's", ReadFile(target_ + "old.cfg"));
  Write(target_ + "old.cfg", "a later installation's");
  EXPECT_TRUE(RecoverInterruptedInstalls(RealSystem()).empty());
  EXPECT_EQ("a later installation's", ReadFile(target_ + "old.cfg"));
  EXPECT_EQ(std::vector<std::string>{"unfinished-ktstp0"},
            NamesIn(dir_.Path("tmp")));
}

TEST_F(RecoveryTest, ACommittedJobKeepsItsFilesAndLosesItsLeftovers) {
  MakeInterrupted(GoneOwner(), /*committed=*/true);
  const std::vector<RecoveryEvent> events = RecoverInterruptedInstalls(RealSystem());
  EXPECT_EQ("1", Kinds(events));
  EXPECT_EQ("the job's", ReadFile(target_ + "old.cfg"));
  EXPECT_EQ("made", ReadFile(target_ + "new/made.cfg"));
  struct stat status;
  EXPECT_NE(0, lstat(backup_.c_str(), &status));
}

// The settling pass of an installation that begins treats what a killed
// start, or a run that lost the name to a look, left as every start does:
// a journal without an owner goes, whatever its target; a gone owner's
// journal into another directory stays for that directory's next start.
TEST_F(RecoveryTest, ASettlingPassTakesOnlyItsOwnDirectorysJournals) {
  MakeInterrupted(GoneOwner());
  const std::string lost = dir_.Path("tmp") + "/ktstp1";
  ASSERT_EQ(0, mkdir(lost.c_str(), 0700));
  ASSERT_TRUE(WriteFile(lost + "/journal", ""));
  ASSERT_EQ(0, mkdir(dir_.Path("other").c_str(), 0700));
  const int other = open(dir_.Path("other").c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_NE(-1, other);
  const std::vector<RecoveryEvent> events = SettleInterruptedInstallsInto(
      RealSystem(), dir_.Path("other") + "/", other);
  close(other);
  EXPECT_EQ("", Kinds(events));
  EXPECT_EQ(std::vector<std::string>{"ktstp0"}, NamesIn(dir_.Path("tmp")));
  EXPECT_EQ("the job's", ReadFile(target_ + "old.cfg"));
}

TEST_F(RecoveryTest, ALiveOwnerIsLeftAlone) {
  // The lock is free, but the recorded process (this one) still runs.
  MakeInterrupted(CurrentOwner(RealSystem()));
  EXPECT_TRUE(RecoverInterruptedInstalls(RealSystem()).empty());
  EXPECT_EQ("the job's", ReadFile(target_ + "old.cfg"));
  EXPECT_EQ("the user's", ReadFile(backup_ + "/files/old.cfg"));
  // And a transaction open in this process holds its lock.
  std::filesystem::remove_all(backup_);
  InstallTransaction transaction(RealSystem());
  ASSERT_EQ(kSuccess, transaction.Begin(target_).code());
  ASSERT_EQ(kSuccess, transaction.EnsureDirectory("x/y").code());
  const std::string backups = StateBackups(dir_.Path("home"));
  const std::vector<std::string> open_backups = NamesIn(backups);
  ASSERT_EQ(1u, open_backups.size());
  ASSERT_EQ(1u, NamesIn(dir_.Path("home") + "/.local/state/tqsetup/journals")
                    .size());
  EXPECT_TRUE(RecoverInterruptedInstalls(RealSystem()).empty());
  EXPECT_EQ(open_backups, NamesIn(backups));
  struct stat status;
  EXPECT_EQ(0, stat((target_ + "x/y").c_str(), &status));
  transaction.Rollback();
  EXPECT_NE(0, stat((target_ + "x").c_str(), &status));
  EXPECT_TRUE(NamesIn(dir_.Path("tmp")).empty());
  EXPECT_TRUE(NamesIn(backups).empty());
  EXPECT_TRUE(
      NamesIn(dir_.Path("home") + "/.local/state/tqsetup/journals").empty());
}

TEST_F(RecoveryTest, AJournalNamingPathsOutsideItsDirectoriesIsRefused) {
  for (const std::string& outside :
       {dir_.Path("elsewhere"), target_ + "../elsewhere",
        target_ + "new/../../elsewhere"}) {
    SCOPED_TRACE(outside);
    std::filesystem::remove_all(dir_.Path("t"));
    ASSERT_EQ(0, mkdir(dir_.Path("t").c_str(), 0700));
    Write(dir_.Path("elsewhere"), "not the job's");
    MakeInterrupted(GoneOwner(), false, outside);
    const std::vector<RecoveryEvent> events = RecoverInterruptedInstalls(RealSystem());
    ASSERT_EQ("4", Kinds(events));
    EXPECT_EQ(backup_, events[0].backup);
    EXPECT_EQ("not the job's", ReadFile(dir_.Path("elsewhere")));
    EXPECT_EQ("the job's", ReadFile(target_ + "old.cfg"));
    std::filesystem::remove_all(backup_);
  }
}

TEST_F(RecoveryTest, ABackupDirectoryThatIsALinkIsRefused) {
  ASSERT_EQ(0, mkdir(dir_.Path("real").c_str(), 0700));
  ASSERT_EQ(0, symlink(dir_.Path("real").c_str(), backup_.c_str()));
  const std::vector<RecoveryEvent> events = RecoverInterruptedInstalls(RealSystem());
  EXPECT_EQ("4", Kinds(events));
  struct stat status;
  EXPECT_EQ(0, lstat(backup_.c_str(), &status));
  EXPECT_EQ(0, stat(dir_.Path("real").c_str(), &status));
}

// Any single call of a recovery that fails loses nothing: the user's file is
// where it was or still in the backup, and the next recovery finishes.
TEST_F(RecoveryTest, EveryFailingCallOfARecoveryIsFinishedOrSetAside) {
  uint64_t calls;
  {
    MakeInterrupted(GoneOwner());
    FaultInjectingSystem counting;
    RecoverInterruptedInstalls(counting);
    calls = counting.CallCount();
  }
  ExpectRolledBack();
  ASSERT_GT(calls, 10u);
  for (const int error : {EIO, ENOSPC, EACCES}) {
    for (uint64_t n = 1; n <= calls; ++n) {
      SCOPED_TRACE(std::to_string(error) + " at call " + std::to_string(n));
      std::filesystem::remove_all(dir_.Path("t"));
      ASSERT_EQ(0, mkdir(dir_.Path("t").c_str(), 0700));
      MakeInterrupted(GoneOwner());
      std::string failed_call;
      {
        FaultInjectingSystem system;
        system.FailNth(n, error);
        RecoverInterruptedInstalls(system);
        for (const SysCall& call : system.Log()) {
          if (call.failed) failed_call = SysOpName(call.op) + (" " + call.path);
        }
      }
      SCOPED_TRACE(failed_call);
      // Either the journal is left whole for the next start, or what could
      // not go home is set aside and never undone again.
      const std::string aside = dir_.Path("tmp") + "/unfinished-ktstp0";
      struct stat status;
      const bool set_aside = lstat(aside.c_str(), &status) == 0;
      const std::string here = ReadFile(target_ + "old.cfg");
      const std::string kept =
          ReadFile((set_aside ? aside : backup_) + "/files/old.cfg");
      EXPECT_TRUE(here == "the user's" || kept == "the user's")
          << here << " / " << kept;
      const std::vector<std::string> before = NamesIn(dir_.Path("t"));
      const std::vector<RecoveryEvent> next =
          RecoverInterruptedInstalls(RealSystem());
      if (set_aside) {
        EXPECT_EQ("", Kinds(next));
        EXPECT_EQ(before, NamesIn(dir_.Path("t")));
        EXPECT_EQ(here, ReadFile(target_ + "old.cfg"));
        std::filesystem::remove_all(aside);
      } else {
        ExpectRolledBack();
        EXPECT_EQ(std::vector<std::string>{"old.cfg"},
                  NamesIn(dir_.Path("t")));
      }
      EXPECT_TRUE(NamesIn(dir_.Path("tmp")).empty());
      if (HasFailure()) return;
    }
  }
}

// A kit container whose lock is free and that has not changed for a while
// was left by a killed run and goes; one in use (locked), a fresh one, a
// link and files that only look alike stay.
TEST_F(RecoveryTest, KitContainersOfKilledRunsAreRemoved) {
  const std::string tmp = dir_.Path("tmp") + "/";
  const int64_t old = time(nullptr) - 3600;
  Write(tmp + "edfOrphan", "kit bytes", old);
  Write(tmp + "edfInUse1", "kit bytes", old);
  Write(tmp + "edfFresh1", "kit bytes", time(nullptr));
  Write(tmp + "edfLonger1", "not a container", old);
  Write(tmp + "victim", "elsewhere", old);
  ASSERT_EQ(0, symlink((tmp + "victim").c_str(), (tmp + "edfLinked").c_str()));
  const int in_use = open((tmp + "edfInUse1").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_NE(-1, in_use);
  ASSERT_EQ(0, flock(in_use, LOCK_EX | LOCK_NB));

  EXPECT_TRUE(RecoverInterruptedInstalls(RealSystem()).empty());
  EXPECT_EQ((std::vector<std::string>{"edfFresh1", "edfInUse1", "edfLinked",
                                      "edfLonger1", "victim"}),
            NamesIn(dir_.Path("tmp")));
  EXPECT_EQ("elsewhere", ReadFile(tmp + "victim"));

  close(in_use);
  RecoverInterruptedInstalls(RealSystem());
  EXPECT_EQ((std::vector<std::string>{"edfFresh1", "edfLinked", "edfLonger1",
                                      "victim"}),
            NamesIn(dir_.Path("tmp")));
}

// With XDG_STATE_HOME set, an installation's pointer lives there, not under
// the home directory; when the last one goes, so do the folders of ours
// that held it, but not the user's base directory, nor a folder that holds
// something else.
TEST_F(RecoveryTest, PointersLiveInXdgStateHomeAndTheirFoldersGoWithTheLast) {
  ScopedEnv state_home("XDG_STATE_HOME", dir_.Path("xdg"));
  const std::string journals = dir_.Path("xdg/tqsetup/journals");
  const struct {
    const char* name;
    bool commit;
    std::function<void()> add;  // beside the pointer while the job runs
    std::vector<std::string> left_in_xdg;
  } cases[] = {
      {"rolled back", false, [] {}, {}},
      {"committed", true, [] {}, {}},
      {"beside a file of someone else's",
       false,
       [&] { ASSERT_TRUE(WriteFile(journals + "/notes", "")); },
       {"tqsetup", "tqsetup/journals", "tqsetup/journals/notes"}},
      {"beside the lock files' folder",
       true,
       [&] {
         ASSERT_EQ(0, mkdir(dir_.Path("xdg/tqsetup/locks").c_str(), 0700));
       },
       {"tqsetup", "tqsetup/locks"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(dir_.Path("xdg"));
    InstallTransaction transaction(RealSystem());
    ASSERT_EQ(kSuccess, transaction.Begin(target_).code());
    ASSERT_EQ(kSuccess, transaction.EnsureDirectory("x").code());
    EXPECT_EQ(1u, NamesIn(journals).size());
    EXPECT_EQ(std::vector<std::string>{}, NamesIn(dir_.Path("home")));
    c.add();
    if (c.commit) {
      ASSERT_TRUE(transaction.Commit().ok());
    } else {
      transaction.Rollback();
    }
    std::vector<std::string> left;
    for (const auto& [path, node] : Snapshot(dir_.Path("xdg"))) {
      left.push_back(path);
    }
    EXPECT_EQ(c.left_in_xdg, left);
    EXPECT_TRUE(std::filesystem::is_directory(dir_.Path("xdg")));
    EXPECT_EQ(std::vector<std::string>{}, NamesIn(dir_.Path("home")));
    std::filesystem::remove_all(target_ + "x");
  }
}

// A killed job is found through its pointer alone (the temporary directory
// is another one now): in the state directory, and in the one under the
// home directory even once XDG_STATE_HOME leads elsewhere, as after an
// upgrade while a journal was pending. The folders that held the pointer
// go with it.
TEST_F(RecoveryTest, PointersAreFoundInTheStateDirectoryAndTheOldPlace) {
  ASSERT_EQ(0, mkdir(dir_.Path("tmp2").c_str(), 0700));
  tmpdir_.reset();
  tmpdir_ = std::make_unique<ScopedTmpdir>(dir_.Path("tmp2"));
  const std::string xdg = dir_.Path("xdg");
  const struct {
    const char* made_with;  // XDG_STATE_HOME when the job ran; null: unset
    const char* found_with;
    const char* state;  // where the pointer was, relative
  } cases[] = {
      {xdg.c_str(), xdg.c_str(), "xdg/tqsetup"},
      {nullptr, xdg.c_str(), "home/.local/state/tqsetup"},
      {nullptr, nullptr, "home/.local/state/tqsetup"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.state + std::string(c.found_with ? " with" : " without") +
                 " XDG_STATE_HOME");
    std::filesystem::remove_all(dir_.Path("xdg"));
    std::filesystem::remove_all(dir_.Path("home/.local"));
    std::filesystem::remove_all(dir_.Path("t"));
    ASSERT_EQ(0, mkdir(dir_.Path("t").c_str(), 0700));
    MakeInterrupted(GoneOwner());
    {
      ScopedEnv state_home("XDG_STATE_HOME", c.made_with);
      std::string pointer;
      ASSERT_TRUE(
          MakeJournalPointer(RealSystem(), backup_ + "/journal", &pointer).ok());
      ASSERT_EQ(dir_.Path(c.state) + "/journals", ParentOf(pointer));
    }
    ScopedEnv state_home("XDG_STATE_HOME", c.found_with);
    EXPECT_EQ("0", Kinds(RecoverInterruptedInstalls(RealSystem())));
    ExpectRolledBack();
    EXPECT_FALSE(std::filesystem::exists(dir_.Path(c.state)));
    EXPECT_TRUE(std::filesystem::is_directory(ParentOf(dir_.Path(c.state))));
  }
}

// Two installations that start and end at once: one may find the pointer
// folder empty and remove it just as the other makes its pointer there. The
// other makes the folder again; no pointer is ever lost.
TEST_F(RecoveryTest, APointerIsMadeWhileAnotherRunRemovesTheEmptyFolder) {
  constexpr int kRounds = 3000;
  std::atomic<int> lost{0};
  auto run = [&] {
    for (int i = 0; i < kRounds; ++i) {
      std::string pointer;
      if (!MakeJournalPointer(RealSystem(), backup_ + "/journal", &pointer)
               .ok()) {
        ++lost;
        continue;
      }
      RemoveJournalPointer(RealSystem(), pointer);
    }
  };
  std::thread other(run);
  run();
  other.join();
  EXPECT_EQ(0, lost.load());
  EXPECT_EQ(std::vector<std::string>{},
            NamesIn(dir_.Path("home") + "/.local/state"));
}

}  // namespace
