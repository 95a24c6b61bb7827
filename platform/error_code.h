// The Win32-style error codes that the installer's stored formats, its
// job channel and its older interfaces speak. Inside the program a failure
// travels as a Status (platform/status.h), which keeps the errno and the
// path; Status::code() projects it onto these values. The user never sees
// a number: the edge turns a Status into a text looked up by key.
#ifndef PLATFORM_ERROR_CODE_H_
#define PLATFORM_ERROR_CODE_H_

#include <cstdint>

using ErrorCode = uint32_t;

constexpr ErrorCode kSuccess = 0;
constexpr ErrorCode kErrorFileNotFound = 2;
constexpr ErrorCode kErrorPathNotFound = 3;
constexpr ErrorCode kErrorAccessDenied = 5;
constexpr ErrorCode kErrorInvalidHandle = 6;
constexpr ErrorCode kErrorInvalidData = 13;
constexpr ErrorCode kErrorInvalidParameter = 87;
constexpr ErrorCode kErrorDiskFull = 112;
// Something that is not a regular file is in the way: the destination (a
// directory, a socket, a link to a directory...) or a parent directory that
// is a file.
constexpr ErrorCode kErrorAlreadyExists = 183;
constexpr ErrorCode kErrorTempFileNotCreated = 1013;
constexpr ErrorCode kErrorCancelled = 1223;

// The one place errno becomes a code: ENOENT is "file not found", every other
// failure "invalid parameter".
ErrorCode ErrorFromErrno(int error_number);

#endif  // PLATFORM_ERROR_CODE_H_
