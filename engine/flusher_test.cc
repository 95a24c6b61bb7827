#include "engine/flusher.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/fault_injection.h"
#include "platform/scoped_temp_dir.h"

namespace {

using std::chrono::milliseconds;

class FlusherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fd_ = open(dir_.Path("journal").c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_NE(-1, fd_);
  }
  void TearDown() override { close(fd_); }
  uint64_t Syncs() { return system_.CallCount(Ops(SysOp::kSyncfs)); }

  ScopedTempDir dir_;
  FaultInjectingSystem system_;
  int fd_ = -1;
};

// A flush that failed stands for every ticket from its own on: a later
// fsync may succeed without the earlier data on disk.
TEST_F(FlusherTest, AFailedFlushFailsItsTicketAndEveryLaterOne) {
  system_.FailNth(2, EIO, Ops(SysOp::kFsync));
  Flusher flusher(system_);
  const uint64_t first = flusher.Flush({.file_fd = fd_});
  const uint64_t second =
      flusher.Flush({.file_system_fd = fd_, .file_fd = fd_});
  const uint64_t third = flusher.Flush({.file_fd = fd_});
  EXPECT_EQ(EIO, flusher.Await(third));
  EXPECT_EQ(EIO, flusher.Await(second));
  EXPECT_EQ(0, flusher.Await(first));
  flusher.Drain();
  // One at a time, in the order asked, each file system before its file.
  std::vector<SysOp> ops;
  for (const SysCall& call : system_.Log()) ops.push_back(call.op);
  EXPECT_EQ((std::vector<SysOp>{SysOp::kFsync, SysOp::kSyncfs, SysOp::kFsync,
                                SysOp::kFsync}),
            ops);
}

// Periodic flushes follow the writing: none before a file is written, some
// while one is, one more after at most, and none once drained.
TEST_F(FlusherTest, PeriodicFlushesRunOnlyWhileFilesAreWritten) {
  Flusher flusher(system_);
  flusher.KeepFlushing({.file_system_fd = fd_}, milliseconds(1));
  std::this_thread::sleep_for(milliseconds(50));
  EXPECT_EQ(0u, Syncs());

  flusher.WriteBegins();
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (Syncs() < 3 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(milliseconds(1));
  }
  EXPECT_LE(3u, Syncs());

  flusher.WriteEnds();
  uint64_t before = Syncs();
  bool still = false;
  while (!still && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(milliseconds(100));
    const uint64_t now = Syncs();
    still = now == before;
    before = now;
  }
  EXPECT_TRUE(still) << "still flushing with nothing written";

  flusher.WriteBegins();
  flusher.Drain();
  const uint64_t drained = Syncs();
  std::this_thread::sleep_for(milliseconds(30));
  EXPECT_EQ(drained, Syncs());
}

}  // namespace
