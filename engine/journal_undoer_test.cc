#include "engine/journal_undoer.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>

#include "engine/engine_test_util.h"
#include "engine/install_transaction.h"
#include "engine/recovery.h"
#include "platform/system_api.h"

namespace {

using namespace engine_test;

class JournalUndoerTest : public TmpdirFixture {
 protected:
  // The same transaction every time: a user's file replaced, files made in
  // a directory made for them and in the directory itself, and one of the
  // new files changed by someone else before the undo.
  void Work(InstallTransaction& t) {
    ASSERT_TRUE(t.Begin(target_).ok());
    ASSERT_TRUE(t.Backup("old.cfg").ok());
    for (const char* name : {"old.cfg", "deep/er/new.cfg", "top.cfg"}) {
      const std::string relative = name;
      ASSERT_TRUE(t.EnsureDirectory(ParentOf(relative)).ok());
      int fd = -1;
      ASSERT_TRUE(t.CreateFile(relative, &fd).ok());
      ASSERT_EQ(3, write(fd, "job", 3));
      ASSERT_TRUE(t.FinishFile(relative, fd).ok());
    }
    MakeFile(target_ + "/top.cfg", "changed by the user", kBaseSeconds + 7);
  }

  static std::string ParentOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash);
  }

  std::string target_;
};

// One journal, undone once by the rollback of the live transaction and once
// by the recovery after its process died: both run the one undoer and
// leave the same directory, down to the file kept aside.
TEST_F(JournalUndoerTest, TheRollbackAndTheRecoveryLeaveTheSameDirectory) {
  Tree after[2];
  for (const bool killed : {false, true}) {
    SCOPED_TRACE(killed ? "recovered" : "rolled back");
    target_ = dir_.Path(killed ? "killed" : "live");
    MakeFile(target_ + "/old.cfg", "the user's", kBaseSeconds - 5);
    ASSERT_TRUE(SetTime(target_, kBaseSeconds - 100));
    const Tree before = Snapshot(target_);
    if (!killed) {
      InstallTransaction transaction(RealSystem());
      Work(transaction);
      EXPECT_TRUE(transaction.Rollback());
    } else {
      const pid_t child = fork();
      ASSERT_NE(-1, child);
      if (child == 0) {
        // Gone without a rollback, as a killed process is.
        auto* transaction = new InstallTransaction(RealSystem());
        Work(*transaction);
        _exit(HasFailure() ? 1 : 0);
      }
      int status = 0;
      ASSERT_EQ(child, waitpid(child, &status, 0));
      ASSERT_EQ(0, WEXITSTATUS(status));
      ASSERT_EQ(2u, RecoverInterruptedInstalls(RealSystem()).size());
    }
    after[killed] = Snapshot(target_);
    Tree expected = before;
    expected["top.cfg.ktstp-kept"] =
        Node{'f', "changed by the user", 0640, kBaseSeconds + 7, 0, 0};
    EXPECT_EQ("", Difference(expected, after[killed]));
    EXPECT_EQ(std::vector<std::string>{}, BackupDirectories(temp_));
  }
  EXPECT_EQ("", Difference(after[0], after[1]));
}

}  // namespace
