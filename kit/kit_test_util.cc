#include "kit/kit_test_util.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/scoped_temp_dir.h"

extern char** environ;

std::string GzipRawStream(const std::string& input_path,
                          const std::string& output_path, int level) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, output_path.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::string level_flag = "-" + std::to_string(level);
  std::string path = input_path;
  char gzip[] = "/bin/gzip";
  char no_name[] = "-n";
  char to_stdout[] = "-c";
  char* argv[] = {gzip,        no_name, to_stdout, level_flag.data(),
                  path.data(), nullptr};
  pid_t pid;
  const int rc = posix_spawn(&pid, gzip, &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return std::string();
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::string();
  const std::string wrapped = ReadFile(output_path);
  // Magic, method 8 (deflate), no flags: the header is exactly 10 bytes.
  if (wrapped.size() < 18 ||
      wrapped.compare(0, 4, std::string("\x1f\x8b\x08\x00", 4)) != 0) {
    return std::string();
  }
  return wrapped.substr(10, wrapped.size() - 18);
}
