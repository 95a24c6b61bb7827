// The handle-and-error-code file layer that all byte-level file access goes
// through (the kit, the temporary container, the installed files). It takes
// the access flags, dispositions and error codes of the Win32 file API and
// forwards to POSIX descriptors through the SystemApi seam.
//
// Every operation except FileClose and LastError first clears the last-error
// value; failures set it. The value is per thread: read it right after your
// own failing call.
#ifndef PLATFORM_FILE_IO_H_
#define PLATFORM_FILE_IO_H_

#include <cstdint>

#include "platform/error_code.h"
#include "text/wide_string.h"

using FileHandle = int;
constexpr FileHandle kInvalidFileHandle = -1;

// Access bits.
constexpr uint32_t kFileAccessRead = 0x80000000u;
constexpr uint32_t kFileAccessWrite = 0x40000000u;

// Dispositions. kCreateNew and kOpenAlways are accepted and act like
// kOpenExisting. kCreateAlways creates a missing file but does not truncate
// an existing one (FileSetEnd cuts it).
constexpr uint32_t kFileCreateNew = 1;
constexpr uint32_t kFileCreateAlways = 2;
constexpr uint32_t kFileOpenExisting = 3;
constexpr uint32_t kFileOpenAlways = 4;
constexpr uint32_t kFileTruncateExisting = 5;

// Seek methods; any other value acts like kFileBegin.
constexpr uint32_t kFileBegin = 0;
constexpr uint32_t kFileCurrent = 1;
constexpr uint32_t kFileEnd = 2;

// A file time: 100-nanosecond intervals since 1601-01-01 00:00 UTC.
using FileTime = uint64_t;
// Whole seconds since 1970-01-01 UTC <-> file time, 64-bit throughout so that
// dates before 1970 and after 2038 survive.
FileTime FileTimeFromUnixSeconds(int64_t seconds);
int64_t UnixSecondsFromFileTime(FileTime time);

// Opens `path`; share mode and flags are accepted for the callers' sake and
// not used. New files get mode 0660 less the umask. On failure the handle is
// unchanged and the code is 2 (missing) or 87.
ErrorCode FileOpen(const WideString& path, uint32_t access, uint32_t share_mode,
                   uint32_t disposition, FileHandle* handle,
                   uint32_t flags_and_attributes);

// Reads up to `count` bytes, looping over short reads; end of file early is
// success with fewer bytes. No `bytes_read` and not `overlapped`: 87. No
// `bytes_read` and `overlapped`: 0 without reading.
ErrorCode FileRead(FileHandle handle, void* buffer, uint32_t count,
                   uint32_t* bytes_read, bool overlapped);

// The error that FileReadOrThrow throws: the last-error code.
struct FileError {
  ErrorCode code;
};
// FileRead that throws FileError on failure; returns 0.
ErrorCode FileReadOrThrow(FileHandle handle, void* buffer, uint32_t count,
                          uint32_t* bytes_read);

// Writes all `count` bytes (a short write is an error).
ErrorCode FileWrite(FileHandle handle, const void* buffer, uint32_t count,
                    uint32_t* bytes_written, bool overlapped);

// Moves the position. With `high`, the offset is (*high << 32) + distance and
// *high receives the new position's high half. Returns the low half of the
// new position, 0xFFFFFFFF on failure (then *high is 0xFFFFFFFF too).
uint32_t FileSeek(FileHandle handle, int32_t distance, int32_t* high,
                  uint32_t method);

ErrorCode FileClose(FileHandle handle);

// Creation (status change), last access and last write times, whole seconds.
ErrorCode FileGetTimes(FileHandle handle, FileTime* creation,
                       FileTime* last_access, FileTime* last_write);
// Sets access and modification time to `last_write` (whole seconds); the
// other two are ignored. No `last_write`: an error.
ErrorCode FileSetTime(FileHandle handle, const FileTime* creation,
                      const FileTime* last_access, const FileTime* last_write);

// Cuts the file at its current position.
ErrorCode FileSetEnd(FileHandle handle);

// The calling thread's last error.
ErrorCode LastError();

#endif  // PLATFORM_FILE_IO_H_
