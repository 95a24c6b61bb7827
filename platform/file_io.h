// The handle-and-error-code file layer that all byte-level file access goes
// through (the kit, the temporary container, the installed files). It takes
// the access flags, dispositions and error codes of the Win32 file API and
// forwards to POSIX descriptors through the SystemApi seam.
//
// Every operation except FileClose and LastError first clears the last-error
// value; failures set it. The value is per thread: read it right after your
// own failing call. Codes: 2 when the system said "no such file", 6 for the
// handle -1 (or a handle whose status cannot be read), 87 for every other
// failure and for a missing required out-parameter. The layer holds no lock;
// one handle must not be used by two threads at once.
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
// not used. New files get mode 0660 less the umask; the descriptor is closed
// on exec. On failure the handle is unchanged and the code is 2 (missing) or
// 87 (also when `handle` is null).
ErrorCode FileOpen(const WideString& path, uint32_t access, uint32_t share_mode,
                   uint32_t disposition, FileHandle* handle,
                   uint32_t flags_and_attributes);

// Reads up to `count` bytes, looping over short reads; end of file early is
// success with fewer bytes. No `bytes_read` and not `overlapped`: 87. No
// `bytes_read` and `overlapped`: 0 without reading. Handle -1: 6. A failing
// read: 2 or 87, with *bytes_read holding what arrived before it.
ErrorCode FileRead(FileHandle handle, void* buffer, uint32_t count,
                   uint32_t* bytes_read, bool overlapped);

// The error that FileReadOrThrow throws: the last-error code.
struct FileError {
  ErrorCode code;
};
// FileRead that throws FileError on failure; returns 0.
ErrorCode FileReadOrThrow(FileHandle handle, void* buffer, uint32_t count,
                          uint32_t* bytes_read);

// Writes all `count` bytes, continuing after partial writes; *bytes_written
// holds what reached the file even on failure (2 or 87, e.g. for no space).
// No `bytes_written` and not `overlapped`: 87. Handle -1: 6. No
// `bytes_written` and `overlapped`: 0 without writing.
ErrorCode FileWrite(FileHandle handle, const void* buffer, uint32_t count,
                    uint32_t* bytes_written, bool overlapped);

// Moves the position. With `high`, *high and `distance` are the high and low
// halves of one signed 64-bit distance (the low half taken unsigned), and
// *high receives the new position's high half. Without `high` the distance is
// a signed 32-bit number and a new position beyond 4 GiB - 1 is refused with
// 87 (the position has moved then). Returns the low half of the new position,
// 0xFFFFFFFF on failure (then *high is 0xFFFFFFFF too, and LastError() is not
// 0, which tells failure from a position whose low half is 0xFFFFFFFF).
uint32_t FileSeek(FileHandle handle, int32_t distance, int32_t* high,
                  uint32_t method);

// Closes the handle. Handle -1: 6; a failing close: 2 or 87. Does not clear
// the last error on success.
ErrorCode FileClose(FileHandle handle);

// Creation (status change), last access and last write times, whole seconds.
// Any of the three may be null. Handle -1 or an unreadable status: 6.
ErrorCode FileGetTimes(FileHandle handle, FileTime* creation,
                       FileTime* last_access, FileTime* last_write);
// Sets access and modification time to `last_write` (whole seconds); the
// other two are ignored. Handle -1: 6; no `last_write`: 87; a refused time
// change: 2 or 87.
ErrorCode FileSetTime(FileHandle handle, const FileTime* creation,
                      const FileTime* last_access, const FileTime* last_write);

// Cuts the file at its current position. Handle -1: 6; otherwise 2 or 87.
ErrorCode FileSetEnd(FileHandle handle);

// The calling thread's last error.
ErrorCode LastError();

#endif  // PLATFORM_FILE_IO_H_
