#include "platform/error_code.h"

#include <cerrno>

ErrorCode ErrorFromErrno(int error_number) {
  return error_number == ENOENT ? kErrorFileNotFound : kErrorInvalidParameter;
}
