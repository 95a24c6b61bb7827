#include "platform/home_directory.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "platform/system_api.h"

namespace {

// The real user's home in the password database; the lookup's errno
// (ENOENT for no entry) when there is none.
Status PasswordHome(SystemApi& sys, std::string* home) {
  long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
  size_t size = suggested > 0 ? static_cast<size_t>(suggested) : 1024;
  for (;;) {
    std::vector<char> buffer(size);
    struct passwd entry;
    struct passwd* found = nullptr;
    const int error =
        sys.GetPwuidR(sys.GetUid(), &entry, buffer.data(), size, &found);
    if (error == ERANGE && size < (size_t{1} << 20)) {
      size *= 2;
      continue;
    }
    if (error != 0) return Status::Of(Status::Kind::kUnusableHome, "", error);
    if (found == nullptr || found->pw_dir == nullptr) {
      return Status::Of(Status::Kind::kUnusableHome, "", ENOENT);
    }
    *home = found->pw_dir;
    return Status::Ok();
  }
}

}  // namespace

PathFault FaultOf(const std::string& path) {
  for (const char c : path) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) return PathFault::kControlCharacter;
  }
  return path.empty() || path[0] != '/' ? PathFault::kNotAbsolute
                                        : PathFault::kNone;
}

Status UserHomeDirectory(SystemApi& sys, std::string* home) {
  home->clear();
  std::string value;
  const char* from_environment = std::getenv("HOME");
  const bool given = from_environment != nullptr && *from_environment != '\0';
  if (given) {
    value = from_environment;
  } else {
    TQ_RETURN_IF_ERROR(PasswordHome(sys, &value));
  }
  // The root stands for "no home" in the database (daemons' accounts);
  // a user who sets HOME=/ means it.
  const bool root = !given && value.find_first_not_of('/') == std::string::npos;
  if (FaultOf(value) != PathFault::kNone || root) {
    return Status::Of(Status::Kind::kUnusableHome, value);
  }
  *home = value;
  return Status::Ok();
}

Status ExistingUserHome(SystemApi& sys, std::string* home) {
  TQ_RETURN_IF_ERROR(UserHomeDirectory(sys, home));
  struct stat status;
  int error = 0;
  if (sys.Stat(home->c_str(), &status) != 0) {
    error = errno;
  } else if (!S_ISDIR(status.st_mode)) {
    error = ENOTDIR;
  }
  if (error == 0) return Status::Ok();
  const Status failure = Status::Of(Status::Kind::kUnusableHome, *home, error);
  home->clear();
  return failure;
}
