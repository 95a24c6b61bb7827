#include "platform/test_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <thread>

#include "platform/scoped_temp_dir.h"

namespace test_process {

std::vector<std::string> Inherited(const std::vector<std::string>& names) {
  std::vector<std::string> variables;
  for (const std::string& name : names) {
    if (const char* value = getenv(name.c_str())) {
      variables.push_back(name + "=" + value);
    }
  }
  return variables;
}

bool Ended::Exited() const { return waited && WIFEXITED(status); }

int Ended::ExitStatus() const { return Exited() ? WEXITSTATUS(status) : -1; }

bool Ended::KilledBy(int signal) const { return Signal() == signal; }

int Ended::Signal() const {
  return waited && WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}

int Start(const Child& child, pid_t* pid) {
  std::vector<std::string> strings = child.argv;
  std::vector<char*> argv;
  for (std::string& s : strings) argv.push_back(s.data());
  argv.push_back(nullptr);
  std::vector<std::string> variables = child.env;
  std::vector<char*> envp;
  for (std::string& v : variables) envp.push_back(v.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (child.stdout_path.empty()) {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, child.stdout_path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
  }
  posix_spawn_file_actions_addopen(&actions, 2, child.stderr_path.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC,
                                   child.stderr_mode);
  if (!child.work_dir.empty()) {
    posix_spawn_file_actions_addchdir_np(&actions, child.work_dir.c_str());
  }
  pid_t started = -1;
  const int rc = posix_spawn(&started, argv[0], &actions, nullptr,
                             argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc == 0) *pid = started;
  return rc;
}

Ended Wait(pid_t pid, const std::string& stderr_path,
           std::chrono::milliseconds limit) {
  Ended ended;
  int status = 0;
  if (limit.count() <= 0) {
    if (waitpid(pid, &status, 0) != pid) return ended;
  } else {
    const long ticks = limit / std::chrono::milliseconds(10);
    for (long i = 0; waitpid(pid, &status, WNOHANG) != pid; ++i) {
      if (i == ticks) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ended.waited = true;
  ended.status = status;
  ended.err = ReadFile(stderr_path);
  return ended;
}

Ended Run(const Child& child, std::chrono::milliseconds limit) {
  pid_t pid = -1;
  const int rc = Start(child, &pid);
  if (rc != 0) {
    Ended ended;
    ended.spawn_error = rc;
    return ended;
  }
  return Wait(pid, child.stderr_path, limit);
}

}  // namespace test_process
