// The error codes that platform, kit and engine calls return. The values are
// those of the Win32 error numbers, which the rest of the program (and the
// kits' tooling) already speaks. Codes stop at the user interface: the user
// sees a text looked up by key, never a number.
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
constexpr ErrorCode kErrorTempFileNotCreated = 1013;
constexpr ErrorCode kErrorCancelled = 1223;

// The one place errno becomes a code: ENOENT is "file not found", every other
// failure "invalid parameter".
ErrorCode ErrorFromErrno(int error_number);

#endif  // PLATFORM_ERROR_CODE_H_
