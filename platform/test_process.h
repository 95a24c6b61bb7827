// Runs a program as a child process for tests: an argument vector, a given
// environment, stdin on /dev/null, stdout on /dev/null or a file, and stderr
// captured to a file.
#ifndef PLATFORM_TEST_PROCESS_H_
#define PLATFORM_TEST_PROCESS_H_

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace test_process {

// The variables among `names` that this process has, as "NAME=value".
std::vector<std::string> Inherited(const std::vector<std::string>& names);

struct Child {
  std::vector<std::string> argv;  // argv[0] is the program's path
  std::vector<std::string> env;   // the whole environment, "NAME=value"
  std::string stderr_path;        // created or emptied; receives stderr
  std::string stdout_path;        // likewise for stdout; empty: /dev/null
  mode_t stderr_mode = 0600;      // permissions when it is created
  std::string work_dir;           // empty: this process's directory
};

// How a child ended.
struct Ended {
  int spawn_error = 0;  // posix_spawn's result; nothing else is set unless 0
  bool waited = false;  // the wait status below is the child's
  int status = 0;       // as from waitpid
  std::string err;      // the stderr file's contents, once waited

  bool Exited() const;
  // The exit status, or -1 when it did not exit.
  int ExitStatus() const;
  bool KilledBy(int signal) const;
  // The signal that ended it, or 0.
  int Signal() const;
};

// Starts `child`; returns posix_spawn's result and sets *pid on success.
int Start(const Child& child, pid_t* pid);

// Waits for `pid` and then reads `stderr_path`. With a `limit`, polls every
// 10 ms and kills the child with SIGKILL once the limit has passed (so a run
// that waits for a user who is not there ends).
Ended Wait(pid_t pid, const std::string& stderr_path,
           std::chrono::milliseconds limit = std::chrono::milliseconds(0));

// Start and Wait.
Ended Run(const Child& child,
          std::chrono::milliseconds limit = std::chrono::milliseconds(0));

}  // namespace test_process

#endif  // PLATFORM_TEST_PROCESS_H_
