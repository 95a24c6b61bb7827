#include "engine/install_journal.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <tuple>
#include <vector>

#include "platform/fault_injection.h"
#include "platform/scoped_temp_dir.h"

namespace {

using Record = std::tuple<JournalKind, std::string, std::string>;

// Records of every kind with paths long and short, more than one block and
// more than one read window of them, and one longer than a window.
std::vector<Record> SampleRecords() {
  std::vector<Record> records = {{JournalKind::kTarget, "/t/", ""}};
  for (int i = 0; i < 3000; ++i) {
    const std::string path = "/t/dir" + std::to_string(i % 17) + "/file " +
                             std::to_string(i) + std::string(i % 50, 'x');
    switch (i % 3) {
      case 0:
        records.push_back({JournalKind::kCreatedDirectory, path, ""});
        break;
      case 1:
        records.push_back({JournalKind::kCreatedFile, path + "\nline", ""});
        break;
      default:
        records.push_back({JournalKind::kBackup, path, "/b/files/" + path});
    }
  }
  records.push_back(
      {JournalKind::kCreatedFile, "/t/" + std::string(100000, 'l'), ""});
  records.push_back({JournalKind::kCreatedFile, "", ""});
  return records;
}

std::vector<Record> NewestFirst(InstallJournal* journal, ErrorCode* code) {
  std::vector<Record> seen;
  *code =
      journal->VisitNewestFirst([&](JournalKind kind, const std::string& path,
                                    const std::string& second) {
        seen.emplace_back(kind, path, second);
      });
  return seen;
}

TEST(InstallJournalTest, GivesEveryRecordBackNewestFirst) {
  for (const size_t count : {size_t{0}, size_t{1}, size_t{3003}}) {
    SCOPED_TRACE(count);
    ScopedTempDir dir;
    InstallJournal journal;
    ASSERT_EQ(kSuccess, journal.Create(dir.Path("journal")));
    std::vector<Record> records = SampleRecords();
    records.resize(count);
    for (const auto& [kind, path, second] : records) {
      ASSERT_EQ(kSuccess, journal.Append(kind, path, second));
    }
    ErrorCode code;
    const std::vector<Record> seen = NewestFirst(&journal, &code);
    EXPECT_EQ(kSuccess, code);
    EXPECT_EQ(std::vector<Record>(records.rbegin(), records.rend()), seen);
    if (count > 1000) {
      // Most of them went to the file, not memory.
      EXPECT_GT(ReadFile(dir.Path("journal")).size(), 100000u);
    }
  }
}

TEST(InstallJournalTest, RecordsThatCannotBeWrittenStayForTheRollback) {
  ScopedTempDir dir;
  InstallJournal journal;
  ASSERT_EQ(kSuccess, journal.Create(dir.Path("journal")));
  FaultInjectingSystem system;
  ScopedSystemApi scope(&system);
  // The second block's write fails: the disk is full from then on.
  system.FailNth(2, ENOSPC, Ops(SysOp::kWrite), /*sticky=*/true);
  const std::vector<Record> records = SampleRecords();
  ErrorCode first_failure = kSuccess;
  for (const auto& [kind, path, second] : records) {
    const ErrorCode code = journal.Append(kind, path, second);
    if (first_failure == kSuccess) first_failure = code;
  }
  EXPECT_EQ(kErrorInvalidParameter, first_failure);
  ASSERT_GT(system.InjectedCount(), 0u);
  ErrorCode code;
  EXPECT_EQ(std::vector<Record>(records.rbegin(), records.rend()),
            NewestFirst(&journal, &code));
  EXPECT_EQ(kSuccess, code);
}

TEST(InstallJournalTest, CreateRefusesAnExistingFile) {
  ScopedTempDir dir;
  ASSERT_TRUE(WriteFile(dir.Path("journal"), "someone else's"));
  InstallJournal journal;
  EXPECT_EQ(kErrorInvalidParameter, journal.Create(dir.Path("journal")));
  EXPECT_EQ(kErrorInvalidHandle,
            journal.Append(JournalKind::kCreatedFile, "/x"));
  EXPECT_EQ("someone else's", ReadFile(dir.Path("journal")));
}

TEST(InstallJournalTest, ADamagedFileIsReportedAfterTheNewerRecords) {
  ScopedTempDir dir;
  InstallJournal journal;
  ASSERT_EQ(kSuccess, journal.Create(dir.Path("journal")));
  const std::vector<Record> records = SampleRecords();
  for (const auto& [kind, path, second] : records) {
    ASSERT_EQ(kSuccess, journal.Append(kind, path, second));
  }
  // Cut the file: its last record's trailing length now lies beyond.
  ASSERT_EQ(0, truncate(dir.Path("journal").c_str(), 70000));
  ErrorCode code;
  const std::vector<Record> seen = NewestFirst(&journal, &code);
  EXPECT_NE(kSuccess, code);
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(records.back(), seen.front());
}

}  // namespace
