// The handle-and-status file layer that byte-level file access goes
// through (the kit, the temporary container, the installed files). It takes
// the access flags and dispositions of the Win32 file API and forwards to
// POSIX descriptors through the SystemApi seam passed in.
//
// Every failure is a Status (platform/status.h) with the system's errno;
// its code() is 2 when the system said "no such file", 6 for the handle -1
// (or a handle whose status cannot be read), 87 for every other failure and
// for a missing required out-parameter. The layer holds no lock; one handle
// must not be used by two threads at once.
#ifndef PLATFORM_FILE_IO_H_
#define PLATFORM_FILE_IO_H_

#include <cstdint>

#include "platform/status.h"
#include "text/wide_string.h"

class SystemApi;

using FileHandle = int;
constexpr FileHandle kInvalidFileHandle = -1;

// Access bits.
constexpr uint32_t kFileAccessRead = 0x80000000u;
constexpr uint32_t kFileAccessWrite = 0x40000000u;

// Dispositions. kCreateNew and kOpenAlways are accepted and act like
// kOpenExisting. kCreateAlways creates a missing file but does not truncate
// an existing one.
constexpr uint32_t kFileCreateNew = 1;
constexpr uint32_t kFileCreateAlways = 2;
constexpr uint32_t kFileOpenExisting = 3;
constexpr uint32_t kFileOpenAlways = 4;
constexpr uint32_t kFileTruncateExisting = 5;

// A file time: 100-nanosecond intervals since 1601-01-01 00:00 UTC.
using FileTime = uint64_t;
// Whole seconds since 1970-01-01 UTC <-> file time, 64-bit throughout so that
// dates before 1970 and after 2038 survive.
FileTime FileTimeFromUnixSeconds(int64_t seconds);
int64_t UnixSecondsFromFileTime(FileTime time);

// Opens `path`; share mode and flags are accepted for the callers' sake and
// not used. New files get mode 0660 less the umask; the descriptor is closed
// on exec. On failure the handle is unchanged and the status names `path`
// (kInvalidArgument when `handle` is null).
Status FileOpen(SystemApi& sys, const WideString& path, uint32_t access,
                uint32_t share_mode, uint32_t disposition, FileHandle* handle,
                uint32_t flags_and_attributes);

// Reads up to `count` bytes, looping over short reads; end of file early is
// success with fewer bytes. No `bytes_read` and not `overlapped`: 87. No
// `bytes_read` and `overlapped`: 0 without reading. Handle -1: 6. A failing
// read: the system's reason, with *bytes_read holding what arrived before it.
Status FileRead(SystemApi& sys, FileHandle handle, void* buffer,
                uint32_t count, uint32_t* bytes_read, bool overlapped);

// Writes all `count` bytes, continuing after partial writes; *bytes_written
// holds what reached the file even on failure (ENOSPC, say; a write that
// takes nothing counts as ENOSPC). No `bytes_written` and not `overlapped`:
// 87. Handle -1: 6. No `bytes_written` and `overlapped`: 0 without writing.
Status FileWrite(SystemApi& sys, FileHandle handle, const void* buffer,
                 uint32_t count, uint32_t* bytes_written, bool overlapped);

// Closes the handle. Handle -1: 6; a failing close: the system's reason
// (the descriptor is gone all the same).
Status FileClose(SystemApi& sys, FileHandle handle);

// Creation (status change), last access and last write times, whole seconds.
// Any of the three may be null. Handle -1 or an unreadable status: 6.
Status FileGetTimes(SystemApi& sys, FileHandle handle, FileTime* creation,
                    FileTime* last_access, FileTime* last_write);
// Sets access and modification time to `last_write` (whole seconds); the
// other two are ignored. Handle -1: 6; no `last_write`: 87; a refused time
// change: the system's reason.
Status FileSetTime(SystemApi& sys, FileHandle handle, const FileTime* creation,
                   const FileTime* last_access, const FileTime* last_write);

#endif  // PLATFORM_FILE_IO_H_
