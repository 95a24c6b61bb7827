// Stands in for any program the tests put on PATH (linked there under many
// names: xdg-open, sh, cp, tar, ...). Each start appends one line to the file
// named by $TQ_STAND_IN_LOG:
//   name TAB arg1 TAB arg2 ... TAB "fds=" fd:target,fd:target,...
// where the descriptors are every one the program was started with, so that
// a test sees both what was started and what it inherited. One write per
// start, so that lines of concurrent starts never interleave.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

int main(int argc, char** argv) {
  std::string line;
  const char* name = std::strrchr(argv[0], '/');
  line = name != nullptr ? name + 1 : argv[0];
  for (int i = 1; i < argc; ++i) {
    line += '\t';
    line += argv[i];
  }
  std::set<int> fds;
  if (DIR* listing = opendir("/proc/self/fd")) {
    const int own = dirfd(listing);
    while (struct dirent* entry = readdir(listing)) {
      if (entry->d_name[0] == '.') continue;
      const int fd = std::atoi(entry->d_name);
      if (fd != own) fds.insert(fd);
    }
    closedir(listing);
  }
  line += "\tfds=";
  bool first = true;
  for (int fd : fds) {
    char target[4096];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t length = readlink(link.c_str(), target, sizeof(target) - 1);
    target[length > 0 ? length : 0] = '\0';
    if (!first) line += ',';
    first = false;
    line += std::to_string(fd) + ":" + target;
  }
  line += '\n';
  const char* log = std::getenv("TQ_STAND_IN_LOG");
  if (log == nullptr) return 0;
  const int out =
      open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (out < 0) return 0;
  const ssize_t written = write(out, line.data(), line.size());
  close(out);
  return written == static_cast<ssize_t>(line.size()) ? 0 : 1;
}
