/* timed_run: runs a command and prints its wall time, user and system CPU
 * and peak resident set (ru_maxrss from wait4), one line of name=value
 * pairs. bench/run_extract_bench times kittool and tar with it.
 *
 *   timed_run STDOUT_FILE STDERR_FILE CMD [ARG...]
 *
 * The child's standard output and error go to the two files (e.g.
 * /dev/null). A small C program on purpose: a child's ru_maxrss includes the
 * resident set of the memory it was started from (the parent's, up to the
 * exec), so the launcher's own resident set is the floor of the figure;
 * this one's is about 1 MiB. */
#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

static double Now(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec + ts.tv_nsec / 1e9;
}

static double Seconds(const struct timeval* tv) {
  return (double)tv->tv_sec + tv->tv_usec / 1e6;
}

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: timed_run STDOUT_FILE STDERR_FILE CMD [ARG...]\n");
    return 2;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, argv[1],
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, argv[2],
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = 0;
  const double start = Now();
  const int spawned =
      posix_spawnp(&pid, argv[3], &actions, NULL, argv + 3, environ);
  if (spawned != 0) {
    fprintf(stderr, "timed_run: cannot start %s: %s\n", argv[3],
            strerror(spawned));
    return 1;
  }
  int status = 0;
  struct rusage usage;
  while (wait4(pid, &status, 0, &usage) < 0) {
    if (errno != EINTR) {
      perror("timed_run: wait4");
      return 1;
    }
  }
  const double seconds = Now() - start;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    fprintf(stderr, "timed_run: %s failed (status %d)\n", argv[3], status);
    return 1;
  }
  printf("s=%.4f user=%.3f sys=%.3f maxrss_kib=%ld\n", seconds,
         Seconds(&usage.ru_utime), Seconds(&usage.ru_stime), usage.ru_maxrss);
  return 0;
}
