#include "engine/install_journal.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

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
      journal
          ->VisitNewestFirst([&](JournalKind kind, const std::string& path,
                                 const std::string& second, uint64_t) {
            seen.emplace_back(kind, path, second);
          })
          .code();
  return seen;
}

TEST(InstallJournalTest, GivesEveryRecordBackNewestFirst) {
  for (const size_t count : {size_t{0}, size_t{1}, size_t{3003}}) {
    SCOPED_TRACE(count);
    ScopedTempDir dir;
    InstallJournal journal(RealSystem());
    ASSERT_EQ(kSuccess, journal.Create(dir.Path("journal")).code());
    std::vector<Record> records = SampleRecords();
    records.resize(count);
    for (const auto& [kind, path, second] : records) {
      ASSERT_EQ(kSuccess, journal.Append(kind, path, second).code());
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

TEST(InstallJournalTest, ARecordThatCannotBeWrittenLeavesTheEarlierOnesWhole) {
  for (const bool sticky : {false, true}) {
    SCOPED_TRACE(sticky);
    ScopedTempDir dir;
    FaultInjectingSystem system;
    InstallJournal journal(system);
    ASSERT_EQ(kSuccess, journal.Create(dir.Path("journal")).code());
    // The 1000th record's write fails; with `sticky` the disk stays full.
    system.FailNth(1000, ENOSPC, Ops(SysOp::kWrite), sticky);
    const std::vector<Record> records = SampleRecords();
    std::vector<Record> written;
    for (const auto& [kind, path, second] : records) {
      const ErrorCode code = journal.Append(kind, path, second).code();
      if (code == kSuccess) {
        written.push_back({kind, path, second});
      } else {
        EXPECT_EQ(kErrorInvalidParameter, code);
      }
    }
    ASSERT_EQ(sticky ? 999u : records.size() - 1, written.size());
    ErrorCode code;
    EXPECT_EQ(std::vector<Record>(written.rbegin(), written.rend()),
              NewestFirst(&journal, &code));
    EXPECT_EQ(kSuccess, code);
  }
}

TEST(InstallJournalTest, EveryRecordIsInTheFileWhenAppendReturns) {
  ScopedTempDir dir;
  InstallJournal journal(RealSystem());
  ASSERT_EQ(kSuccess, journal.Create(dir.Path("journal")).code());
  ASSERT_EQ(kSuccess, journal.Append(JournalKind::kTarget, "/t/").code());
  const std::string after_target = ReadFile(dir.Path("journal"));
  ASSERT_EQ(kSuccess, journal.Append(JournalKind::kCreatedFile, "/t/a").code());
  const std::string after_file = ReadFile(dir.Path("journal"));
  EXPECT_GT(after_target.size(), 16u);
  EXPECT_EQ(after_target, after_file.substr(0, after_target.size()));
  EXPECT_NE(std::string::npos, after_file.find("/t/a", after_target.size()));
  EXPECT_EQ(after_file.size(), journal.length());
}

// A journal read back by another process (a recovery): forwards to the last
// record that holds together, whatever follows it.
std::vector<Record> AdoptedForwards(const std::string& path, ErrorCode* code,
                                    InstallJournal* journal) {
  std::vector<Record> seen;
  const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  EXPECT_NE(-1, fd);
  *code = journal
              ->Adopt(fd, path,
                      [&](JournalKind kind, const std::string& p,
                          const std::string& second, uint64_t) {
                        seen.emplace_back(kind, p, second);
                      })
              .code();
  return seen;
}

TEST(InstallJournalTest, AReaderStopsAtATornOrZeroFilledTail) {
  ScopedTempDir dir;
  const std::string path = dir.Path("journal");
  std::vector<Record> records = SampleRecords();
  records.resize(500);
  std::vector<uint64_t> ends;
  {
    InstallJournal journal(RealSystem());
    ASSERT_EQ(kSuccess, journal.Create(path).code());
    for (const auto& [kind, p, second] : records) {
      ASSERT_EQ(kSuccess, journal.Append(kind, p, second).code());
      ends.push_back(journal.length());
    }
  }
  const std::string whole = ReadFile(path);
  struct Damage {
    const char* what;
    std::string bytes;
    size_t whole_records;
  };
  const size_t cut = 300;
  std::vector<Damage> damages = {
      {"cut inside a record", whole.substr(0, ends[cut] + 7), cut + 1},
      {"cut one byte short", whole.substr(0, ends[cut] - 1), cut},
      {"zero-filled after a record",
       whole.substr(0, ends[cut]) + std::string(8192, '\0'), cut + 1},
      {"zero-filled inside a record",
       whole.substr(0, ends[cut] + 3) + std::string(8192, '\0'), cut + 1},
      {"a flipped byte", whole, cut + 1},
  };
  // The flipped byte lies inside record cut + 1 (0-based): its CRC fails.
  damages.back().bytes[ends[cut] + 6] ^= 0x20;
  for (const Damage& damage : damages) {
    SCOPED_TRACE(damage.what);
    ASSERT_TRUE(WriteFile(path, damage.bytes));
    InstallJournal journal(RealSystem());
    ErrorCode code;
    const std::vector<Record> forwards = AdoptedForwards(path, &code, &journal);
    EXPECT_EQ(kSuccess, code);
    const std::vector<Record> expected(records.begin(),
                                       records.begin() + damage.whole_records);
    EXPECT_EQ(expected, forwards);
    EXPECT_EQ(ends[damage.whole_records - 1], journal.length());
    EXPECT_EQ(std::vector<Record>(expected.rbegin(), expected.rend()),
              NewestFirst(&journal, &code));
    EXPECT_EQ(kSuccess, code);
    // Cutting the tail off leaves a journal that reads the same.
    EXPECT_EQ(kSuccess, journal.TruncateTo(journal.length()).code());
    EXPECT_EQ(ends[damage.whole_records - 1], ReadFile(path).size());
  }
}

TEST(InstallJournalTest, AnotherLayoutIsNotReadAndACutHeaderHasNoRecords) {
  ScopedTempDir dir;
  const std::string path = dir.Path("journal");
  const struct {
    std::string bytes;
    ErrorCode code;
  } cases[] = {
      {std::string("ktstp journal 1\n") + std::string(40, 'x'),
       kErrorInvalidData},
      {std::string("not a journal at all"), kErrorInvalidData},
      {std::string("kts"), kSuccess},
      {std::string(), kSuccess},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    ASSERT_TRUE(WriteFile(path, c.bytes));
    InstallJournal journal(RealSystem());
    ErrorCode code;
    EXPECT_TRUE(AdoptedForwards(path, &code, &journal).empty());
    EXPECT_EQ(c.code, code);
  }
}

TEST(InstallJournalTest, TheOwnerHoldsALockWhileTheJournalIsOpen) {
  ScopedTempDir dir;
  const std::string path = dir.Path("journal");
  InstallJournal journal(RealSystem());
  ASSERT_EQ(kSuccess, journal.Create(path).code());
  const int other = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_NE(-1, other);
  EXPECT_EQ(-1, flock(other, LOCK_EX | LOCK_NB));
  EXPECT_EQ(EWOULDBLOCK, errno);
  journal.Close();
  EXPECT_EQ(0, flock(other, LOCK_EX | LOCK_NB));
  close(other);
}

TEST(InstallJournalTest, IdentityRoundTrips) {
  FileIdentity identity{1, 2, 3, -4, 1700000000123456789};
  FileIdentity back;
  ASSERT_TRUE(DecodeIdentity(EncodeIdentity(identity), &back));
  EXPECT_EQ(identity, back);
  EXPECT_FALSE(DecodeIdentity("short", &back));
}

TEST(InstallJournalTest, CreateRefusesAnExistingFile) {
  ScopedTempDir dir;
  ASSERT_TRUE(WriteFile(dir.Path("journal"), "someone else's"));
  InstallJournal journal(RealSystem());
  EXPECT_EQ(kErrorInvalidParameter, journal.Create(dir.Path("journal")).code());
  EXPECT_EQ(kErrorInvalidHandle,
            journal.Append(JournalKind::kCreatedFile, "/x").code());
  EXPECT_EQ("someone else's", ReadFile(dir.Path("journal")));
}

TEST(InstallJournalTest, ADamagedFileIsReportedAfterTheNewerRecords) {
  ScopedTempDir dir;
  InstallJournal journal(RealSystem());
  ASSERT_EQ(kSuccess, journal.Create(dir.Path("journal")).code());
  const std::vector<Record> records = SampleRecords();
  for (const auto& [kind, path, second] : records) {
    ASSERT_EQ(kSuccess, journal.Append(kind, path, second).code());
  }
  // Damage a byte in the middle of the file: the records after it still
  // read, the damaged one does not.
  const int fd = open(dir.Path("journal").c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_NE(-1, fd);
  ASSERT_EQ(1, pwrite(fd, "\xff", 1, 70000));
  close(fd);
  ErrorCode code;
  const std::vector<Record> seen = NewestFirst(&journal, &code);
  EXPECT_NE(kSuccess, code);
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(records.back(), seen.front());
}

}  // namespace
