#include "platform/home_directory.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

std::string UserHomeDirectory() {
  const char* from_environment = std::getenv("HOME");
  if (from_environment != nullptr && *from_environment != '\0') {
    return from_environment;
  }
  long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
  size_t size = suggested > 0 ? static_cast<size_t>(suggested) : 1024;
  for (;;) {
    std::vector<char> buffer(size);
    struct passwd entry;
    struct passwd* found = nullptr;
    const int error = getpwuid_r(getuid(), &entry, buffer.data(), size, &found);
    if (error == ERANGE && size < (size_t{1} << 20)) {
      size *= 2;
      continue;
    }
    if (error != 0 || found == nullptr || found->pw_dir == nullptr) {
      return std::string();
    }
    return found->pw_dir;
  }
}
