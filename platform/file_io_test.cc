#include "platform/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>

#include "gtest/gtest.h"
#include "platform/fault_injection.h"
#include "platform/scoped_temp_dir.h"

namespace {

class FileIoTest : public ::testing::Test {
 protected:
  // Opens `name` in the test directory; fails the test when it cannot.
  FileHandle Open(const std::string& name, uint32_t access,
                  uint32_t disposition) {
    FileHandle handle = kInvalidFileHandle;
    EXPECT_EQ(kSuccess, FileOpen(sys_, dir_.WidePath(name), access, 0,
                                 disposition, &handle, 0)
                            .code());
    return handle;
  }

  struct stat StatOf(const std::string& name) {
    struct stat status = {};
    EXPECT_EQ(0, stat(dir_.Path(name).c_str(), &status));
    return status;
  }

  SystemApi& sys_ = RealSystem();
  ScopedTempDir dir_;
};

TEST_F(FileIoTest, OpenFailuresGiveTheirCodes) {
  ASSERT_TRUE(WriteFile(dir_.Path("plain"), "x"));
  FileHandle handle = 1234;
  EXPECT_EQ(kErrorFileNotFound,
            FileOpen(sys_, dir_.WidePath("missing"), kFileAccessRead, 0,
                     kFileOpenExisting, &handle, 0)
                .code());
  EXPECT_EQ(1234, handle);  // untouched on failure
  // A path below a regular file: the system says "not a directory".
  EXPECT_EQ(kErrorInvalidParameter,
            FileOpen(sys_, dir_.WidePath("plain/inner"), kFileAccessRead, 0,
                     kFileOpenExisting, &handle, 0)
                .code());
  EXPECT_EQ(kErrorFileNotFound, FileOpen(sys_, WideString(), kFileAccessRead, 0,
                                         kFileOpenExisting, &handle, 0)
                                    .code());
  EXPECT_EQ(1234, handle);
}

TEST_F(FileIoTest, PermissionDeniedIsInvalidParameter) {
  // Tests run as root, which no permission bit stops; the seam says EACCES.
  FaultInjectingSystem faults;
  faults.FailPath("secret", EACCES, Ops(SysOp::kOpen));
  FileHandle handle = kInvalidFileHandle;
  const Status refused =
      FileOpen(faults, dir_.WidePath("secret"), kFileAccessWrite, 0,
               kFileCreateAlways, &handle, 0);
  EXPECT_EQ(kErrorInvalidParameter, refused.code());
  // The reason and the file travel with the failure.
  EXPECT_EQ(EACCES, refused.error());
  EXPECT_EQ(dir_.Path("secret"), refused.path());
  EXPECT_EQ(kInvalidFileHandle, handle);
  EXPECT_EQ(1u, faults.InjectedCount());
}

TEST_F(FileIoTest, DispositionsAndAccess) {
  ASSERT_TRUE(WriteFile(dir_.Path("ten"), "0123456789"));
  // Create-always keeps the old length.
  FileHandle handle = Open("ten", kFileAccessWrite, kFileCreateAlways);
  uint32_t written = 0;
  ASSERT_EQ(kSuccess,
            FileWrite(sys_, handle, "abc", 3, &written, false).code());
  EXPECT_EQ(3u, written);
  EXPECT_EQ(10, StatOf("ten").st_size);
  ASSERT_EQ(kSuccess, FileClose(sys_, handle).code());
  EXPECT_EQ("abc3456789", ReadFile(dir_.Path("ten")));

  // Truncate-existing empties at once; create-always makes a missing file
  // with 0660 less the umask.
  handle = Open("ten", kFileAccessWrite, kFileTruncateExisting);
  EXPECT_EQ(0, StatOf("ten").st_size);
  EXPECT_EQ(kSuccess, FileClose(sys_, handle).code());
  mode_t old_mask = umask(0);
  handle = Open("new", kFileAccessWrite, kFileCreateAlways);
  umask(old_mask);
  EXPECT_EQ(kSuccess, FileClose(sys_, handle).code());
  EXPECT_EQ(0660u, StatOf("new").st_mode & 0777);

  // Dispositions 1, 3 and 4 never create.
  for (uint32_t disposition :
       {kFileCreateNew, kFileOpenExisting, kFileOpenAlways}) {
    FileHandle none = kInvalidFileHandle;
    EXPECT_EQ(kErrorFileNotFound,
              FileOpen(sys_, dir_.WidePath("absent"), kFileAccessWrite, 0,
                       disposition, &none, 0)
                  .code())
        << disposition;
  }

  // Read-only handles refuse writes; read+write handles take both.
  handle = Open("ten", kFileAccessRead, kFileOpenExisting);
  EXPECT_EQ(kErrorInvalidParameter,
            FileWrite(sys_, handle, "x", 1, &written, false).code());
  EXPECT_EQ(kSuccess, FileClose(sys_, handle).code());
  handle = Open("ten", kFileAccessRead | kFileAccessWrite, kFileOpenExisting);
  ASSERT_EQ(kSuccess, FileWrite(sys_, handle, "xy", 2, &written, false).code());
  ASSERT_EQ(0, lseek(handle, 0, SEEK_SET));
  char buffer[4] = {};
  uint32_t read = 0;
  ASSERT_EQ(kSuccess, FileRead(sys_, handle, buffer, 4, &read, false).code());
  EXPECT_EQ(2u, read);
  EXPECT_EQ("xy", std::string(buffer, read));
  EXPECT_EQ(kSuccess, FileClose(sys_, handle).code());
  // Descriptors are not inherited by programs started later.
  handle = Open("ten", kFileAccessRead, kFileOpenExisting);
  EXPECT_TRUE(fcntl(handle, F_GETFD) & FD_CLOEXEC);
  EXPECT_EQ(kSuccess, FileClose(sys_, handle).code());
}

TEST_F(FileIoTest, ReadsLoopAndStopAtEndOfFile) {
  ASSERT_TRUE(WriteFile(dir_.Path("f"), "0123456789"));
  FileHandle handle = Open("f", kFileAccessRead, kFileOpenExisting);
  ASSERT_EQ(5, lseek(handle, -5, SEEK_END));
  char buffer[8];
  uint32_t read = 99;
  EXPECT_EQ(kSuccess, FileRead(sys_, handle, buffer, 8, &read, false).code());
  EXPECT_EQ(5u, read);
  EXPECT_EQ("56789", std::string(buffer, read));
  EXPECT_EQ(kSuccess, FileRead(sys_, handle, buffer, 8, &read, false).code());
  EXPECT_EQ(0u, read);

  // No bytes_read: 87 unless overlapped, which returns 0 without reading.
  ASSERT_EQ(0, lseek(handle, 0, SEEK_SET));
  EXPECT_EQ(kErrorInvalidParameter,
            FileRead(sys_, handle, buffer, 8, nullptr, false).code());
  EXPECT_EQ(kSuccess, FileRead(sys_, handle, buffer, 8, nullptr, true).code());
  EXPECT_EQ(0, lseek(handle, 0, SEEK_CUR));
  EXPECT_EQ(kSuccess, FileClose(sys_, handle).code());

  // Pipes deliver in pieces; the loop collects all of it.
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  std::thread writer([&] {
    for (char c : std::string("abcdef")) {
      ASSERT_EQ(1, write(fds[1], &c, 1));
      usleep(1000);
    }
    close(fds[1]);
  });
  std::string all(6, '\0');
  EXPECT_EQ(kSuccess,
            FileRead(sys_, fds[0], all.data(), 6, &read, false).code());
  writer.join();
  EXPECT_EQ(6u, read);
  EXPECT_EQ("abcdef", all);
  close(fds[0]);
}

TEST_F(FileIoTest, InvalidHandleGivesSixEverywhere) {
  FileHandle bad = kInvalidFileHandle;
  char buffer[1];
  uint32_t count = 0;
  FileTime time = 0;
  struct Case {
    const char* name;
    ErrorCode code;
  } cases[] = {
      {"read", FileRead(sys_, bad, buffer, 1, &count, false).code()},
      {"write", FileWrite(sys_, bad, "x", 1, &count, false).code()},
      {"close", FileClose(sys_, bad).code()},
      {"get times", FileGetTimes(sys_, bad, &time, &time, &time).code()},
      {"set time", FileSetTime(sys_, bad, nullptr, nullptr, &time).code()},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(kErrorInvalidHandle, c.code) << c.name;
  }
}

TEST_F(FileIoTest, FileTimeConversions) {
  struct Case {
    int64_t seconds;
    FileTime file_time;
  } cases[] = {
      {0, 116444736000000000ull},
      {-11644473600ll, 0},                                // 1601-01-01
      {-86400, 116444736000000000ull - 864000000000ull},  // 1969-12-31
      {4102444800ll, 157469184000000000ull},              // 2100-01-01
      {2147483648ll, 137919572480000000ull},              // just past 2038
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.file_time, FileTimeFromUnixSeconds(c.seconds)) << c.seconds;
    EXPECT_EQ(c.seconds, UnixSecondsFromFileTime(c.file_time)) << c.seconds;
  }
  // Sub-second parts are dropped; times before 1601 floor at 0.
  EXPECT_EQ(0, UnixSecondsFromFileTime(116444736000000000ull + 9999999));
  EXPECT_EQ(0u, FileTimeFromUnixSeconds(-11644473601ll));
}

TEST_F(FileIoTest, TimesRoundTripThroughTheDisk) {
  ASSERT_TRUE(WriteFile(dir_.Path("f"), "x"));
  FileHandle handle = Open("f", kFileAccessWrite, kFileOpenExisting);
  struct Case {
    FileTime time;
    int64_t seconds;
  } cases[] = {
      {116444736000000000ull, 0},                                 // 1970
      {157469184000000000ull, 4102444800ll},                      // 2100
      {116444736000000000ull - 3155760000000000ull, -315576000},  // 1960s
      {132000000001234567ull, 1555526400},  // sub-second part dropped
  };
  for (const Case& c : cases) {
    ASSERT_EQ(kSuccess,
              FileSetTime(sys_, handle, nullptr, nullptr, &c.time).code());
    struct stat status = StatOf("f");
    EXPECT_EQ(c.seconds, status.st_mtime) << c.time;
    EXPECT_EQ(c.seconds, status.st_atime) << c.time;
    EXPECT_EQ(0, status.st_mtim.tv_nsec);
    FileTime creation = 0, access = 0, write = 0;
    ASSERT_EQ(kSuccess,
              FileGetTimes(sys_, handle, &creation, &access, &write).code());
    EXPECT_EQ(FileTimeFromUnixSeconds(c.seconds), write);
    EXPECT_EQ(write, access);
    EXPECT_EQ(FileTimeFromUnixSeconds(status.st_ctime), creation);
    EXPECT_EQ(kSuccess,
              FileGetTimes(sys_, handle, nullptr, nullptr, &write).code());
  }
  EXPECT_EQ(kErrorInvalidParameter,
            FileSetTime(sys_, handle, nullptr, nullptr, nullptr).code());
  EXPECT_EQ(kSuccess, FileClose(sys_, handle).code());
}

TEST_F(FileIoTest, RefusedTimeChangeIsReported) {
  ASSERT_TRUE(WriteFile(dir_.Path("f"), "x"));
  FileHandle handle = Open("f", kFileAccessWrite, kFileOpenExisting);
  FaultInjectingSystem faults;
  faults.FailNth(1, EPERM, Ops(SysOp::kFutimens));
  FileTime time = 116444736000000000ull;
  EXPECT_EQ(kErrorInvalidParameter,
            FileSetTime(faults, handle, nullptr, nullptr, &time).code());
  faults.FailNth(1, EIO, Ops(SysOp::kFstat));
  EXPECT_EQ(kErrorInvalidHandle,
            FileGetTimes(faults, handle, &time, nullptr, nullptr).code());
  EXPECT_EQ(kSuccess, FileClose(sys_, handle).code());
}

TEST_F(FileIoTest, WriteFaultsBecomeCodesAndPartialWritesContinue) {
  FileHandle handle = Open("f", kFileAccessWrite, kFileCreateAlways);
  FaultInjectingSystem faults;
  uint32_t written = 7;
  struct Case {
    int error;
    SysOp op;
    ErrorCode expected;
  } cases[] = {
      {ENOSPC, SysOp::kWrite, kErrorInvalidParameter},
      {EIO, SysOp::kWrite, kErrorInvalidParameter},
      {ENOENT, SysOp::kWrite, kErrorFileNotFound},
  };
  for (const Case& c : cases) {
    faults.FailNth(1, c.error, Ops(c.op));
    const Status failed = FileWrite(faults, handle, "abc", 3, &written, false);
    EXPECT_EQ(c.expected, failed.code());
    EXPECT_EQ(c.error, failed.error());
    EXPECT_EQ(0u, written);
  }
  faults.FailNth(1, EIO, Ops(SysOp::kRead));
  char buffer[1];
  uint32_t read = 0;
  EXPECT_EQ(kErrorInvalidParameter,
            FileRead(faults, handle, buffer, 1, &read, false).code());
  faults.ClearFaults();
  EXPECT_EQ(kSuccess, FileClose(sys_, handle).code());
}

// Takes at most two bytes per write, as a system under pressure may.
class ShortWriteSystem : public FaultInjectingSystem {
 public:
  ssize_t Write(int fd, const void* buffer, size_t count) override {
    return FaultInjectingSystem::Write(fd, buffer, count < 2 ? count : 2);
  }
};

TEST_F(FileIoTest, PartialWritesContinueUntilDoneOrRefused) {
  FileHandle handle = Open("f", kFileAccessWrite, kFileCreateAlways);
  ShortWriteSystem short_writes;
  uint32_t written = 0;
  EXPECT_EQ(
      kSuccess,
      FileWrite(short_writes, handle, "abcdefg", 7, &written, false).code());
  EXPECT_EQ(7u, written);
  EXPECT_EQ(4u, short_writes.CallCount(Ops(SysOp::kWrite)));
  // The disk fills after the first piece: the count says what got there.
  short_writes.FailNth(2, ENOSPC, Ops(SysOp::kWrite));
  EXPECT_EQ(kErrorInvalidParameter,
            FileWrite(short_writes, handle, "hijk", 4, &written, false).code());
  EXPECT_EQ(2u, written);
  EXPECT_EQ(kSuccess, FileClose(sys_, handle).code());
  EXPECT_EQ("abcdefghi", ReadFile(dir_.Path("f")));
}

}  // namespace
