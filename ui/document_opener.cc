#include "ui/document_opener.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "text/text_conversion.h"

namespace {

// In the grandchild: stdio to /dev/null, every other descriptor closed (the
// kit container, the display connection), then the opener.
[[noreturn]] void ExecOpener(const char* path) {
  const int null_fd = open("/dev/null", O_RDWR);
  if (null_fd >= 0) {
    dup2(null_fd, 0);
    dup2(null_fd, 1);
    dup2(null_fd, 2);
  }
#ifdef SYS_close_range
  if (syscall(SYS_close_range, 3u, ~0u, 0u) != 0)
#endif
  {
    const long max_fd = sysconf(_SC_OPEN_MAX);
    for (long fd = 3; fd < (max_fd > 0 ? max_fd : 1024); ++fd) close(fd);
  }
  char* const argv[] = {const_cast<char*>("xdg-open"), const_cast<char*>(path),
                        nullptr};
  execvp("xdg-open", argv);
  _exit(127);
}

}  // namespace

bool OpenDocument(const WideString& path) {
  // Converted before forking: the children must not allocate.
  const NarrowString narrow = ToNarrow(path);
  const pid_t child = fork();
  if (child < 0) return false;
  if (child == 0) {
    setsid();
    const pid_t grandchild = fork();
    if (grandchild == 0) ExecOpener(narrow.c_str());
    _exit(grandchild < 0 ? 1 : 0);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return true;
}
