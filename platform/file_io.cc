#include "platform/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <limits>

#include "platform/file_operations.h"
#include "platform/system_api.h"
#include "text/text_conversion.h"

namespace {

constexpr int64_t kSecondsFrom1601To1970 = 11644473600;
constexpr uint64_t kTicksPerSecond = 10000000;

Status InvalidHandle() { return Status::Of(Status::Kind::kInvalidHandle); }
Status InvalidArgument() { return Status::Of(Status::Kind::kInvalidArgument); }

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

Status FileOpen(SystemApi& sys, const WideString& path, uint32_t access,
                uint32_t /*share_mode*/, uint32_t disposition,
                FileHandle* handle, uint32_t /*flags_and_attributes*/) {
  if (handle == nullptr) return InvalidArgument();
  int flags;
  if ((access & kFileAccessWrite) == 0) {
    flags = O_RDONLY;
  } else if ((access & kFileAccessRead) != 0) {
    flags = O_RDWR;
  } else {
    flags = O_WRONLY;
  }
  // Create-always deliberately leaves an existing file's length alone.
  if (disposition == kFileTruncateExisting) flags |= O_TRUNC;
  if (disposition == kFileCreateAlways) flags |= O_CREAT;
  // Descriptors must not leak into a program started later (the description
  // viewer).
  flags |= O_CLOEXEC;
  const NarrowString narrow = ToNarrow(path);
  const int fd = sys.Open(narrow.c_str(), flags, 0660);
  if (fd == -1) return Status::System(errno, narrow.c_str());
  *handle = fd;
  return Status::Ok();
}

Status FileRead(SystemApi& sys, FileHandle handle, void* buffer,
                uint32_t count, uint32_t* bytes_read, bool overlapped) {
  if (bytes_read == nullptr) {
    return overlapped ? Status::Ok() : InvalidArgument();
  }
  if (handle == kInvalidFileHandle) return InvalidHandle();
  *bytes_read = 0;
  char* out = static_cast<char*>(buffer);
  while (*bytes_read < count) {
    const ssize_t n = sys.Read(handle, out + *bytes_read, count - *bytes_read);
    if (n == -1) return Status::System(errno);
    if (n == 0) break;
    *bytes_read += static_cast<uint32_t>(n);
  }
  return Status::Ok();
}

Status FileWrite(SystemApi& sys, FileHandle handle, const void* buffer,
                 uint32_t count, uint32_t* bytes_written, bool overlapped) {
  if (bytes_written == nullptr && !overlapped) return InvalidArgument();
  if (handle == kInvalidFileHandle) return InvalidHandle();
  if (bytes_written == nullptr) return Status::Ok();
  size_t written = 0;
  Status status = WriteAll(sys, handle, buffer, count, -1, &written);
  *bytes_written = static_cast<uint32_t>(written);
  return status;
}

Status FileClose(SystemApi& sys, FileHandle handle) {
  if (handle == kInvalidFileHandle) return InvalidHandle();
  if (sys.Close(handle) == -1) return Status::System(errno);
  return Status::Ok();
}

Status FileGetTimes(SystemApi& sys, FileHandle handle, FileTime* creation,
                    FileTime* last_access, FileTime* last_write) {
  struct stat status;
  if (handle == kInvalidFileHandle || sys.Fstat(handle, &status) == -1) {
    return InvalidHandle();
  }
  if (creation != nullptr) *creation = FileTimeFromUnixSeconds(status.st_ctime);
  if (last_access != nullptr) {
    *last_access = FileTimeFromUnixSeconds(status.st_atime);
  }
  if (last_write != nullptr) {
    *last_write = FileTimeFromUnixSeconds(status.st_mtime);
  }
  return Status::Ok();
}

Status FileSetTime(SystemApi& sys, FileHandle handle,
                   const FileTime* /*creation*/,
                   const FileTime* /*last_access*/,
                   const FileTime* last_write) {
  if (handle == kInvalidFileHandle) return InvalidHandle();
  if (last_write == nullptr) return InvalidArgument();
  struct timespec times[2];
  times[0].tv_sec = static_cast<time_t>(UnixSecondsFromFileTime(*last_write));
  times[0].tv_nsec = 0;
  times[1] = times[0];
  if (sys.Futimens(handle, times) == -1) return Status::System(errno);
  return Status::Ok();
}
