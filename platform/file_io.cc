#include "platform/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <limits>

#include "platform/system_api.h"
#include "text/text_conversion.h"

namespace {

constexpr int64_t kSecondsFrom1601To1970 = 11644473600;
constexpr uint64_t kTicksPerSecond = 10000000;
constexpr uint32_t kSeekFailed = 0xFFFFFFFFu;

// Per thread: the GUI thread and the install worker both use this layer, and
// each must see the outcome of its own last call.
thread_local ErrorCode t_last_error = kSuccess;

ErrorCode Fail(ErrorCode code) {
  t_last_error = code;
  return code;
}

ErrorCode FailFromErrno() { return Fail(ErrorFromErrno(errno)); }

}  // namespace

FileTime FileTimeFromUnixSeconds(int64_t seconds) {
  if (seconds < -kSecondsFrom1601To1970) return 0;  // before 1601: the floor
  uint64_t since_1601 = static_cast<uint64_t>(seconds + kSecondsFrom1601To1970);
  if (since_1601 > std::numeric_limits<uint64_t>::max() / kTicksPerSecond) {
    return std::numeric_limits<uint64_t>::max();
  }
  return since_1601 * kTicksPerSecond;
}

int64_t UnixSecondsFromFileTime(FileTime time) {
  return static_cast<int64_t>(time / kTicksPerSecond) - kSecondsFrom1601To1970;
}

ErrorCode FileOpen(const WideString& path, uint32_t access,
                   uint32_t /*share_mode*/, uint32_t disposition,
                   FileHandle* handle, uint32_t /*flags_and_attributes*/) {
  t_last_error = kSuccess;
  if (handle == nullptr) return Fail(kErrorInvalidParameter);
  int flags;
  if ((access & kFileAccessWrite) == 0) {
    flags = O_RDONLY;
  } else if ((access & kFileAccessRead) != 0) {
    flags = O_RDWR;
  } else {
    flags = O_WRONLY;
  }
  // Create-always deliberately leaves an existing file's length alone: the
  // writer cuts it with FileSetEnd once the new bytes are in.
  if (disposition == kFileTruncateExisting) flags |= O_TRUNC;
  if (disposition == kFileCreateAlways) flags |= O_CREAT;
  // Descriptors must not leak into a program started later (the description
  // viewer).
  flags |= O_CLOEXEC;
  NarrowString narrow = ToNarrow(path);
  int fd = Sys().Open(narrow.c_str(), flags, 0660);
  if (fd == -1) return FailFromErrno();
  *handle = fd;
  return kSuccess;
}

ErrorCode FileRead(FileHandle handle, void* buffer, uint32_t count,
                   uint32_t* bytes_read, bool overlapped) {
  t_last_error = kSuccess;
  if (bytes_read == nullptr) {
    return overlapped ? kSuccess : Fail(kErrorInvalidParameter);
  }
  if (handle == kInvalidFileHandle) return Fail(kErrorInvalidHandle);
  *bytes_read = 0;
  char* out = static_cast<char*>(buffer);
  while (*bytes_read < count) {
    ssize_t n = Sys().Read(handle, out + *bytes_read, count - *bytes_read);
    if (n == -1) return FailFromErrno();
    if (n == 0) break;
    *bytes_read += static_cast<uint32_t>(n);
  }
  return kSuccess;
}

ErrorCode FileReadOrThrow(FileHandle handle, void* buffer, uint32_t count,
                          uint32_t* bytes_read) {
  if (FileRead(handle, buffer, count, bytes_read, false) != kSuccess) {
    throw FileError{t_last_error};
  }
  return kSuccess;
}

ErrorCode FileWrite(FileHandle handle, const void* buffer, uint32_t count,
                    uint32_t* bytes_written, bool overlapped) {
  t_last_error = kSuccess;
  if (bytes_written == nullptr && !overlapped) {
    return Fail(kErrorInvalidParameter);
  }
  if (handle == kInvalidFileHandle) return Fail(kErrorInvalidHandle);
  if (bytes_written == nullptr) return kSuccess;
  *bytes_written = 0;
  const char* in = static_cast<const char*>(buffer);
  // A partial write is not yet a failure; the next call either continues or
  // reports the reason (no space, I/O error) in errno.
  while (*bytes_written < count) {
    ssize_t n =
        Sys().Write(handle, in + *bytes_written, count - *bytes_written);
    if (n == -1) return FailFromErrno();
    if (n == 0) return Fail(kErrorInvalidParameter);  // no progress, no errno
    *bytes_written += static_cast<uint32_t>(n);
  }
  return kSuccess;
}

uint32_t FileSeek(FileHandle handle, int32_t distance, int32_t* high,
                  uint32_t method) {
  t_last_error = kSuccess;
  auto fail = [high](ErrorCode code) {
    Fail(code);
    if (high != nullptr) *high = -1;
    return kSeekFailed;
  };
  if (handle == kInvalidFileHandle) return fail(kErrorInvalidHandle);
  int whence = method == kFileCurrent ? SEEK_CUR
               : method == kFileEnd   ? SEEK_END
                                      : SEEK_SET;
  // With a high half the two halves form one signed 64-bit distance, the low
  // half unsigned; without one the distance is a signed 32-bit number.
  int64_t offset =
      high != nullptr
          ? static_cast<int64_t>(
                (static_cast<uint64_t>(static_cast<uint32_t>(*high)) << 32) |
                static_cast<uint32_t>(distance))
          : static_cast<int64_t>(distance);
  off_t position = Sys().Seek(handle, offset, whence);
  if (position == -1) return fail(ErrorFromErrno(errno));
  uint64_t unsigned_position = static_cast<uint64_t>(position);
  if (high != nullptr) {
    *high =
        static_cast<int32_t>(static_cast<uint32_t>(unsigned_position >> 32));
  } else if (unsigned_position > 0xFFFFFFFFu) {
    // A caller without a high half cannot hold this position; a truncated
    // one would silently point into the wrong place.
    return fail(kErrorInvalidParameter);
  }
  return static_cast<uint32_t>(unsigned_position);
}

ErrorCode FileClose(FileHandle handle) {
  if (handle == kInvalidFileHandle) return Fail(kErrorInvalidHandle);
  if (Sys().Close(handle) == -1) return FailFromErrno();
  return kSuccess;
}

ErrorCode FileGetTimes(FileHandle handle, FileTime* creation,
                       FileTime* last_access, FileTime* last_write) {
  t_last_error = kSuccess;
  struct stat status;
  if (handle == kInvalidFileHandle || Sys().Fstat(handle, &status) == -1) {
    return Fail(kErrorInvalidHandle);
  }
  if (creation != nullptr) *creation = FileTimeFromUnixSeconds(status.st_ctime);
  if (last_access != nullptr) {
    *last_access = FileTimeFromUnixSeconds(status.st_atime);
  }
  if (last_write != nullptr) {
    *last_write = FileTimeFromUnixSeconds(status.st_mtime);
  }
  return kSuccess;
}

ErrorCode FileSetTime(FileHandle handle, const FileTime* /*creation*/,
                      const FileTime* /*last_access*/,
                      const FileTime* last_write) {
  t_last_error = kSuccess;
  if (handle == kInvalidFileHandle) return Fail(kErrorInvalidHandle);
  if (last_write == nullptr) return Fail(kErrorInvalidParameter);
  struct timespec times[2];
  times[0].tv_sec = static_cast<time_t>(UnixSecondsFromFileTime(*last_write));
  times[0].tv_nsec = 0;
  times[1] = times[0];
  if (Sys().Futimens(handle, times) == -1) return FailFromErrno();
  return kSuccess;
}

ErrorCode FileSetEnd(FileHandle handle) {
  t_last_error = kSuccess;
  if (handle == kInvalidFileHandle) return Fail(kErrorInvalidHandle);
  off_t position = Sys().Seek(handle, 0, SEEK_CUR);
  if (position == -1) return FailFromErrno();
  if (Sys().Ftruncate(handle, position) == -1) return FailFromErrno();
  return kSuccess;
}

ErrorCode LastError() { return t_last_error; }
