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
    EXPECT_EQ(kSuccess, FileOpen(dir_.WidePath(name), access, 0, disposition,
                                 &handle, 0));
    return handle;
  }

  struct stat StatOf(const std::string& name) {
    struct stat status = {};
    EXPECT_EQ(0, stat(dir_.Path(name).c_str(), &status));
    return status;
  }

  ScopedTempDir dir_;
};

TEST_F(FileIoTest, OpenFailuresGiveTheirCodes) {
  ASSERT_TRUE(WriteFile(dir_.Path("plain"), "x"));
  FileHandle handle = 1234;
  EXPECT_EQ(kErrorFileNotFound,
            FileOpen(dir_.WidePath("missing"), kFileAccessRead, 0,
                     kFileOpenExisting, &handle, 0));
  EXPECT_EQ(kErrorFileNotFound, LastError());
  EXPECT_EQ(1234, handle);  // untouched on failure
  // A path below a regular file: the system says "not a directory".
  EXPECT_EQ(kErrorInvalidParameter,
            FileOpen(dir_.WidePath("plain/inner"), kFileAccessRead, 0,
                     kFileOpenExisting, &handle, 0));
  EXPECT_EQ(kErrorInvalidParameter, LastError());
  EXPECT_EQ(kErrorFileNotFound, FileOpen(WideString(), kFileAccessRead, 0,
                                         kFileOpenExisting, &handle, 0));
  EXPECT_EQ(1234, handle);
}

TEST_F(FileIoTest, PermissionDeniedIsInvalidParameter) {
  // Tests run as root, which no permission bit stops; the seam says EACCES.
  FaultInjectingSystem faults;
  ScopedSystemApi scope(&faults);
  faults.FailPath("secret", EACCES, Ops(SysOp::kOpen));
  FileHandle handle = kInvalidFileHandle;
  EXPECT_EQ(kErrorInvalidParameter,
            FileOpen(dir_.WidePath("secret"), kFileAccessWrite, 0,
                     kFileCreateAlways, &handle, 0));
  EXPECT_EQ(kInvalidFileHandle, handle);
  EXPECT_EQ(1u, faults.InjectedCount());
}

TEST_F(FileIoTest, DispositionsAndAccess) {
  ASSERT_TRUE(WriteFile(dir_.Path("ten"), "0123456789"));
  // Create-always keeps the old length until FileSetEnd cuts it.
  FileHandle handle = Open("ten", kFileAccessWrite, kFileCreateAlways);
  uint32_t written = 0;
  ASSERT_EQ(kSuccess, FileWrite(handle, "abc", 3, &written, false));
  EXPECT_EQ(3u, written);
  EXPECT_EQ(10, StatOf("ten").st_size);
  ASSERT_EQ(kSuccess, FileSetEnd(handle));
  ASSERT_EQ(kSuccess, FileClose(handle));
  EXPECT_EQ("abc", ReadFile(dir_.Path("ten")));

  // Truncate-existing empties at once; create-always makes a missing file
  // with 0660 less the umask.
  handle = Open("ten", kFileAccessWrite, kFileTruncateExisting);
  EXPECT_EQ(0, StatOf("ten").st_size);
  FileClose(handle);
  mode_t old_mask = umask(0);
  handle = Open("new", kFileAccessWrite, kFileCreateAlways);
  umask(old_mask);
  FileClose(handle);
  EXPECT_EQ(0660u, StatOf("new").st_mode & 0777);

  // Dispositions 1, 3 and 4 never create.
  for (uint32_t disposition :
       {kFileCreateNew, kFileOpenExisting, kFileOpenAlways}) {
    FileHandle none = kInvalidFileHandle;
    EXPECT_EQ(kErrorFileNotFound,
              FileOpen(dir_.WidePath("absent"), kFileAccessWrite, 0,
                       disposition, &none, 0))
        << disposition;
  }

  // Read-only handles refuse writes; read+write handles take both.
  handle = Open("ten", kFileAccessRead, kFileOpenExisting);
  EXPECT_EQ(kErrorInvalidParameter, FileWrite(handle, "x", 1, &written, false));
  EXPECT_EQ(kErrorInvalidParameter, LastError());
  FileClose(handle);
  handle = Open("ten", kFileAccessRead | kFileAccessWrite, kFileOpenExisting);
  ASSERT_EQ(kSuccess, FileWrite(handle, "xy", 2, &written, false));
  FileSeek(handle, 0, nullptr, kFileBegin);
  char buffer[4] = {};
  uint32_t read = 0;
  ASSERT_EQ(kSuccess, FileRead(handle, buffer, 4, &read, false));
  EXPECT_EQ(2u, read);
  EXPECT_EQ("xy", std::string(buffer, read));
  FileClose(handle);
  // Descriptors are not inherited by programs started later.
  handle = Open("ten", kFileAccessRead, kFileOpenExisting);
  EXPECT_TRUE(fcntl(handle, F_GETFD) & FD_CLOEXEC);
  FileClose(handle);
}

TEST_F(FileIoTest, ReadsLoopAndStopAtEndOfFile) {
  ASSERT_TRUE(WriteFile(dir_.Path("f"), "0123456789"));
  FileHandle handle = Open("f", kFileAccessRead, kFileOpenExisting);
  ASSERT_EQ(5u, FileSeek(handle, -5, nullptr, kFileEnd));
  char buffer[8];
  uint32_t read = 99;
  EXPECT_EQ(kSuccess, FileRead(handle, buffer, 8, &read, false));
  EXPECT_EQ(5u, read);
  EXPECT_EQ("56789", std::string(buffer, read));
  EXPECT_EQ(kSuccess, FileRead(handle, buffer, 8, &read, false));
  EXPECT_EQ(0u, read);

  // No bytes_read: 87 unless overlapped, which returns 0 without reading.
  FileSeek(handle, 0, nullptr, kFileBegin);
  EXPECT_EQ(kErrorInvalidParameter,
            FileRead(handle, buffer, 8, nullptr, false));
  EXPECT_EQ(kErrorInvalidParameter, LastError());
  EXPECT_EQ(kSuccess, FileRead(handle, buffer, 8, nullptr, true));
  EXPECT_EQ(0u, FileSeek(handle, 0, nullptr, kFileCurrent));
  FileClose(handle);

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
  EXPECT_EQ(kSuccess, FileRead(fds[0], all.data(), 6, &read, false));
  writer.join();
  EXPECT_EQ(6u, read);
  EXPECT_EQ("abcdef", all);
  close(fds[0]);
}

TEST_F(FileIoTest, ReadOrThrowCarriesTheCode) {
  ASSERT_TRUE(WriteFile(dir_.Path("f"), "abc"));
  FileHandle handle = Open("f", kFileAccessWrite, kFileOpenExisting);
  char buffer[3];
  uint32_t read = 0;
  try {
    FileReadOrThrow(handle, buffer, 3, &read);
    ADD_FAILURE() << "no exception from a write-only handle";
  } catch (const FileError& error) {
    EXPECT_EQ(kErrorInvalidParameter, error.code);
  }
  FileClose(handle);
  handle = Open("f", kFileAccessRead, kFileOpenExisting);
  EXPECT_EQ(kSuccess, FileReadOrThrow(handle, buffer, 3, &read));
  EXPECT_EQ(3u, read);
  FileClose(handle);
}

TEST_F(FileIoTest, InvalidHandleGivesSixEverywhere) {
  FileHandle bad = kInvalidFileHandle;
  char buffer[1];
  uint32_t count = 0;
  int32_t high = 0;
  FileTime time = 0;
  struct Case {
    const char* name;
    ErrorCode code;
  } cases[] = {
      {"read", FileRead(bad, buffer, 1, &count, false)},
      {"write", FileWrite(bad, "x", 1, &count, false)},
      {"seek", FileSeek(bad, 0, &high, kFileBegin) == 0xFFFFFFFFu ? LastError()
                                                                  : kSuccess},
      {"close", FileClose(bad)},
      {"get times", FileGetTimes(bad, &time, &time, &time)},
      {"set time", FileSetTime(bad, nullptr, nullptr, &time)},
      {"set end", FileSetEnd(bad)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(kErrorInvalidHandle, c.code) << c.name;
  }
  EXPECT_EQ(-1, high);
  EXPECT_EQ(kErrorInvalidHandle, LastError());
}

TEST_F(FileIoTest, SeekMethodsAndSixtyFourBitPositions) {
  ASSERT_TRUE(WriteFile(dir_.Path("f"), "0123456789"));
  FileHandle handle =
      Open("f", kFileAccessRead | kFileAccessWrite, kFileOpenExisting);
  struct Case {
    int32_t distance;
    uint32_t method;
    uint32_t expected;
  } cases[] = {
      {4, kFileBegin, 4},    {2, kFileCurrent, 6},
      {-3, kFileEnd, 7},     {1, 7, 1},  // unknown methods count from the start
      {-1, kFileCurrent, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected, FileSeek(handle, c.distance, nullptr, c.method))
        << c.distance << " " << c.method;
    EXPECT_EQ(kSuccess, LastError());
  }
  EXPECT_EQ(0xFFFFFFFFu, FileSeek(handle, -1, nullptr, kFileBegin));
  EXPECT_EQ(kErrorInvalidParameter, LastError());

  // 6 GiB + 0x90000000: the low half is taken unsigned.
  int32_t high = 1;
  uint32_t low =
      FileSeek(handle, static_cast<int32_t>(0x90000000u), &high, kFileBegin);
  EXPECT_EQ(kSuccess, LastError());
  EXPECT_EQ(0x90000000u, low);
  EXPECT_EQ(1, high);
  uint32_t written = 0;
  ASSERT_EQ(kSuccess, FileWrite(handle, "z", 1, &written, false));
  struct stat status;
  ASSERT_EQ(0, fstat(handle, &status));
  EXPECT_EQ(0x190000001ll, status.st_size);
  // Relative 64-bit moves, both directions.
  high = -1;
  EXPECT_EQ(0x90000001u - 0x10u, FileSeek(handle, -0x10, &high, kFileCurrent));
  EXPECT_EQ(1, high);
  high = 0;
  EXPECT_EQ(0x190000001u & 0xFFFFFFFFu, FileSeek(handle, 0, &high, kFileEnd));
  EXPECT_EQ(1, high);
  // Without a high half a position past 4 GiB cannot be told; refused.
  EXPECT_EQ(0xFFFFFFFFu, FileSeek(handle, 0, nullptr, kFileEnd));
  EXPECT_EQ(kErrorInvalidParameter, LastError());
  // With a high half 0 the low half 0xFFFFFFFF is a valid position; the
  // last error tells it from a failure.
  high = 0;
  EXPECT_EQ(0xFFFFFFFFu, FileSeek(handle, -1, &high, kFileBegin));
  EXPECT_EQ(0, high);
  EXPECT_EQ(kSuccess, LastError());
  high = -1;
  EXPECT_EQ(0xFFFFFFFFu, FileSeek(handle, -1, &high, kFileBegin));
  EXPECT_EQ(-1, high);
  EXPECT_EQ(kErrorInvalidParameter, LastError());
  FileClose(handle);
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
    ASSERT_EQ(kSuccess, FileSetTime(handle, nullptr, nullptr, &c.time));
    struct stat status = StatOf("f");
    EXPECT_EQ(c.seconds, status.st_mtime) << c.time;
    EXPECT_EQ(c.seconds, status.st_atime) << c.time;
    EXPECT_EQ(0, status.st_mtim.tv_nsec);
    FileTime creation = 0, access = 0, write = 0;
    ASSERT_EQ(kSuccess, FileGetTimes(handle, &creation, &access, &write));
    EXPECT_EQ(FileTimeFromUnixSeconds(c.seconds), write);
    EXPECT_EQ(write, access);
    EXPECT_EQ(FileTimeFromUnixSeconds(status.st_ctime), creation);
    EXPECT_EQ(kSuccess, FileGetTimes(handle, nullptr, nullptr, &write));
  }
  EXPECT_EQ(kErrorInvalidParameter,
            FileSetTime(handle, nullptr, nullptr, nullptr));
  FileClose(handle);
}

TEST_F(FileIoTest, RefusedTimeChangeIsReported) {
  ASSERT_TRUE(WriteFile(dir_.Path("f"), "x"));
  FileHandle handle = Open("f", kFileAccessWrite, kFileOpenExisting);
  FaultInjectingSystem faults;
  ScopedSystemApi scope(&faults);
  faults.FailNth(1, EPERM, Ops(SysOp::kFutimens));
  FileTime time = 116444736000000000ull;
  EXPECT_EQ(kErrorInvalidParameter,
            FileSetTime(handle, nullptr, nullptr, &time));
  faults.FailNth(1, EIO, Ops(SysOp::kFstat));
  EXPECT_EQ(kErrorInvalidHandle, FileGetTimes(handle, &time, nullptr, nullptr));
  FileClose(handle);
}

TEST_F(FileIoTest, WriteFaultsBecomeCodesAndPartialWritesContinue) {
  FileHandle handle = Open("f", kFileAccessWrite, kFileCreateAlways);
  FaultInjectingSystem faults;
  ScopedSystemApi scope(&faults);
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
    EXPECT_EQ(c.expected, FileWrite(handle, "abc", 3, &written, false));
    EXPECT_EQ(c.expected, LastError());
    EXPECT_EQ(0u, written);
  }
  faults.FailNth(1, ENOSPC, Ops(SysOp::kFtruncate));
  EXPECT_EQ(kErrorInvalidParameter, FileSetEnd(handle));
  faults.FailNth(1, EIO, Ops(SysOp::kRead));
  char buffer[1];
  uint32_t read = 0;
  EXPECT_EQ(kErrorInvalidParameter, FileRead(handle, buffer, 1, &read, false));
  faults.ClearFaults();
  FileClose(handle);
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
  ScopedSystemApi scope(&short_writes);
  uint32_t written = 0;
  EXPECT_EQ(kSuccess, FileWrite(handle, "abcdefg", 7, &written, false));
  EXPECT_EQ(7u, written);
  EXPECT_EQ(4u, short_writes.CallCount(Ops(SysOp::kWrite)));
  // The disk fills after the first piece: the count says what got there.
  short_writes.FailNth(2, ENOSPC, Ops(SysOp::kWrite));
  EXPECT_EQ(kErrorInvalidParameter,
            FileWrite(handle, "hijk", 4, &written, false));
  EXPECT_EQ(2u, written);
  FileClose(handle);
  EXPECT_EQ("abcdefghi", ReadFile(dir_.Path("f")));
}

TEST_F(FileIoTest, LastErrorIsPerThread) {
  FileHandle handle = kInvalidFileHandle;
  EXPECT_EQ(kErrorFileNotFound,
            FileOpen(dir_.WidePath("missing"), kFileAccessRead, 0,
                     kFileOpenExisting, &handle, 0));
  std::thread other([] {
    EXPECT_EQ(kSuccess, LastError());
    FileSetEnd(kInvalidFileHandle);
    EXPECT_EQ(kErrorInvalidHandle, LastError());
  });
  other.join();
  EXPECT_EQ(kErrorFileNotFound, LastError());
}

}  // namespace
