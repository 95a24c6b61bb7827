#include "tests/security_test_util.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <set>
#include <thread>

const std::vector<std::string>& StandInNames() {
  // The opener, shells, the file tools a lazy installer would call, archive
  // tools, and the desktop's other openers and helpers.
  static const std::vector<std::string> names = {
      "xdg-open", "sh",        "bash",      "dash",
      "zsh",      "env",       "cp",        "mv",
      "rm",       "mkdir",     "rmdir",     "ln",
      "install",  "chmod",     "chown",     "touch",
      "cat",      "find",      "xargs",     "tar",
      "gzip",     "gunzip",    "zcat",      "unzip",
      "sync",     "xdg-mime",  "xdg-email", "gio",
      "gvfs-open", "gnome-open", "kde-open", "exo-open",
      "sensible-browser", "x-www-browser", "www-browser", "sudo",
      "pkexec",   "dbus-launch", "dbus-send", "gconftool-2",
      "update-desktop-database", "xdg-desktop-menu", "ldconfig", "uname",
  };
  return names;
}

bool MakeStandIns(const std::string& dir) {
  for (const std::string& name : StandInNames()) {
    if (symlink(RECORDING_STAND_IN_PATH, (dir + "/" + name).c_str()) != 0) {
      return false;
    }
  }
  return true;
}

std::vector<std::vector<std::string>> StandInStarts(const std::string& log) {
  std::vector<std::vector<std::string>> starts;
  std::ifstream in(log);
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> fields;
    std::stringstream parts(line);
    std::string field;
    while (std::getline(parts, field, '\t')) fields.push_back(field);
    starts.push_back(fields);
  }
  return starts;
}

int RunProgram(const std::vector<std::string>& argv,
               const std::vector<std::string>& env, const std::string& cwd,
               const std::string& output) {
  std::vector<std::string> variables = env;
  for (const char* name : {"ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS",
                           "TSAN_OPTIONS"}) {
    if (const char* value = std::getenv(name)) {
      variables.push_back(std::string(name) + "=" + value);
    }
  }
  std::vector<char*> envp;
  for (std::string& v : variables) envp.push_back(v.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = argv;
  std::vector<char*> argp;
  for (std::string& a : args) argp.push_back(a.data());
  argp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  pid_t pid = 0;
  const int rc =
      posix_spawn(&pid, argp[0], &actions, nullptr, argp.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -1;
  // A run that hangs is killed and fails; the limit is far beyond need.
  int status = 0;
  for (int i = 0; waitpid(pid, &status, WNOHANG) != pid; ++i) {
    if (i == 12000) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

bool IsUnder(const std::string& path, const std::string& dir) {
  return path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 &&
         path[dir.size()] == '/';
}

std::vector<std::string> CreationRuleBreaches(const std::vector<SysCall>& log,
                                              const std::string& tmp,
                                              const std::string& target) {
  std::vector<std::string> breaches;
  for (const SysCall& call : log) {
    if (call.op != SysOp::kOpen) continue;
    const std::string flags = " (flags " + std::to_string(call.flags) + ")";
    if ((call.flags & O_CREAT) != 0 && (call.flags & O_EXCL) == 0 &&
        !IsUnder(call.path, target)) {
      breaches.push_back("created without O_EXCL: " + call.path + flags);
    }
    if (IsUnder(call.path, tmp) && (call.flags & (O_EXCL | O_NOFOLLOW)) == 0) {
      breaches.push_back("may follow a link: " + call.path + flags);
    }
    if ((call.flags & O_CLOEXEC) == 0) {
      breaches.push_back("not close-on-exec: " + call.path + flags);
    }
  }
  return breaches;
}
