#include "platform/fault_injection.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "platform/file_io.h"
#include "platform/scoped_temp_dir.h"

namespace {

class FaultInjectionTest : public ::testing::Test {
 protected:
  // Opens, writes `text` in one call and closes `name` through the layer
  // on faults_; returns the first failing code.
  ErrorCode WriteThroughLayer(const std::string& name,
                              const std::string& text) {
    FileHandle handle = kInvalidFileHandle;
    ErrorCode rc = FileOpen(faults_, dir_.WidePath(name), kFileAccessWrite, 0,
                            kFileCreateAlways, &handle, 0)
                       .code();
    if (rc != kSuccess) return rc;
    uint32_t written = 0;
    rc = FileWrite(faults_, handle, text.data(), text.size(), &written, false)
             .code();
    const ErrorCode close_rc = FileClose(faults_, handle).code();
    return rc != kSuccess ? rc : close_rc;
  }

  ScopedTempDir dir_;
  FaultInjectingSystem faults_;
};

TEST_F(FaultInjectionTest, ForwardsCountsAndLogsWithPaths) {
  EXPECT_EQ(kSuccess, WriteThroughLayer("f", "abc"));
  EXPECT_EQ("abc", ReadFile(dir_.Path("f")));
  std::vector<SysCall> log = faults_.Log();
  std::vector<SysOp> ops;
  for (const SysCall& call : log) {
    ops.push_back(call.op);
    // Descriptor calls are logged with the path they were opened with.
    EXPECT_EQ(dir_.Path("f"), call.path) << SysOpName(call.op);
    EXPECT_FALSE(call.failed);
  }
  EXPECT_EQ((std::vector<SysOp>{SysOp::kOpen, SysOp::kWrite, SysOp::kClose}),
            ops);
  EXPECT_EQ(3u, faults_.CallCount());
  EXPECT_EQ(1u, faults_.CallCount(Ops(SysOp::kWrite)));
  EXPECT_EQ(2u, faults_.CallCount(Ops(SysOp::kOpen, SysOp::kClose)));
  EXPECT_EQ(0u, faults_.InjectedCount());
  faults_.ClearLog();
  EXPECT_EQ(0u, faults_.CallCount());
}

// Fails each call of a small write in turn with "no space": every failure
// point turns into the layer's code and the file never claims success.
TEST_F(FaultInjectionTest, EveryCallOfAWriteFailsIntoTheRightCode) {
  ASSERT_EQ(kSuccess, WriteThroughLayer("f", "abc"));
  const uint64_t calls = faults_.CallCount();
  ASSERT_EQ(3u, calls);
  for (uint64_t n = 1; n <= calls; ++n) {
    faults_.ClearLog();
    faults_.FailNth(n, ENOSPC);
    EXPECT_EQ(kErrorInvalidParameter, WriteThroughLayer("f", "abc")) << n;
    EXPECT_EQ(1u, faults_.InjectedCount()) << n;
    EXPECT_TRUE(faults_.Log()[n - 1].failed);
  }
  faults_.FailNth(1, ENOENT, Ops(SysOp::kOpen));
  EXPECT_EQ(kErrorFileNotFound, WriteThroughLayer("f", "abc"));
  faults_.FailNth(0, 0);
  EXPECT_EQ(kSuccess, WriteThroughLayer("f", "abc"));
}

TEST_F(FaultInjectionTest, NthCountsOnlyChosenKindsAndCanStick) {
  // Second write fails; opens and closes do not count.
  faults_.FailNth(2, EIO, Ops(SysOp::kWrite));
  EXPECT_EQ(kSuccess, WriteThroughLayer("a", "1"));
  EXPECT_EQ(kErrorInvalidParameter, WriteThroughLayer("b", "2"));
  EXPECT_EQ(kSuccess, WriteThroughLayer("c", "3"));
  // Sticky: from the first write on, every write fails.
  faults_.FailNth(1, ENOSPC, Ops(SysOp::kWrite), /*sticky=*/true);
  for (const char* name : {"d", "e", "f"}) {
    EXPECT_EQ(kErrorInvalidParameter, WriteThroughLayer(name, "x")) << name;
  }
  faults_.ClearFaults();
  EXPECT_EQ(kSuccess, WriteThroughLayer("g", "x"));
  EXPECT_EQ(4u, faults_.InjectedCount());
}

TEST_F(FaultInjectionTest, PathFaultsMatchEitherPathOfARename) {
  faults_.FailPath("blocked", EACCES);
  EXPECT_EQ(kErrorInvalidParameter, WriteThroughLayer("blocked.cfg", "x"));
  EXPECT_EQ(kSuccess, WriteThroughLayer("free.cfg", "x"));
  faults_.FailPath("target", EXDEV, Ops(SysOp::kRename));
  errno = 0;
  EXPECT_EQ(-1, faults_.Rename(dir_.Path("free.cfg").c_str(),
                               dir_.Path("target").c_str()));
  EXPECT_EQ(EXDEV, errno);
  EXPECT_EQ(0, faults_.Rename(dir_.Path("free.cfg").c_str(),
                              dir_.Path("other").c_str()));
  SysCall last = faults_.Log().back();
  EXPECT_EQ(SysOp::kRename, last.op);
  EXPECT_EQ(dir_.Path("other"), last.path2);
}

TEST_F(FaultInjectionTest, FailedCloseStillReleasesTheDescriptor) {
  int fd = faults_.Open(dir_.Path("f").c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_NE(-1, fd);
  faults_.FailNth(1, EIO, Ops(SysOp::kClose));
  EXPECT_EQ(-1, faults_.Close(fd));
  EXPECT_EQ(EIO, errno);
  EXPECT_EQ(-1, fcntl(fd, F_GETFD));
}

TEST_F(FaultInjectionTest, CountsCallsFromSeveralThreads) {
  constexpr int kThreads = 4;
  constexpr int kFilesEach = 50;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < kFilesEach; ++i) {
        std::string name = std::to_string(t) + "-" + std::to_string(i);
        EXPECT_EQ(kSuccess, WriteThroughLayer(name, name));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(uint64_t{kThreads * kFilesEach * 3}, faults_.CallCount());
  EXPECT_EQ(uint64_t{kThreads * kFilesEach},
            faults_.CallCount(Ops(SysOp::kWrite)));
  EXPECT_EQ("3-49", ReadFile(dir_.Path("3-49")));
}

// Seams stack: one built on the fault-injecting system reaches the disk
// through it, so its faults and its log see the outer seam's calls.
TEST_F(FaultInjectionTest, ASeamBuiltOnAnotherGoesThroughIt) {
  ForwardingSystem outer(faults_);
  faults_.FailPath("refused", EACCES, Ops(SysOp::kOpen));
  errno = 0;
  const int refused =
      outer.Open(dir_.Path("refused").c_str(), O_CREAT | O_WRONLY, 0600);
  EXPECT_EQ(-1, refused);
  EXPECT_EQ(EACCES, errno);
  if (refused != -1) close(refused);
  const int fd =
      outer.Open(dir_.Path("kept").c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_NE(-1, fd);
  EXPECT_EQ(0, outer.Close(fd));
  ASSERT_EQ(3u, faults_.CallCount());
  EXPECT_EQ(1u, faults_.InjectedCount());
  EXPECT_EQ(dir_.Path("kept"), faults_.Log().back().path);
  EXPECT_FALSE(faults_.Log().back().failed);
}

}  // namespace
