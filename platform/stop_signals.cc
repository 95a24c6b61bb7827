#include "platform/stop_signals.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Read by the handler, which may run before the object is fully made or
// after it is gone: lock-free atomics only.
std::atomic<int> g_wake_fd{-1};
std::atomic<int> g_received{0};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void OnStopSignal(int) {
  const int saved = errno;
  g_received.store(1, std::memory_order_relaxed);
  const int fd = g_wake_fd.load(std::memory_order_relaxed);
  if (fd != -1) {
    const char byte = 'S';
    [[maybe_unused]] ssize_t ignored = write(fd, &byte, 1);
  }
  errno = saved;
}

}  // namespace

StopSignals::StopSignals() {
  static_assert(sizeof(kStopSignals) / sizeof(int) == kCount);
  g_received.store(0, std::memory_order_relaxed);
  if (pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0) {
    fds_[0] = fds_[1] = -1;
    return;
  }
  sigemptyset(&set_);
  for (const int signal_number : kStopSignals) sigaddset(&set_, signal_number);
  pthread_sigmask(SIG_BLOCK, &set_, &old_mask_);
  g_wake_fd.store(fds_[1], std::memory_order_relaxed);
  struct sigaction action;
  std::memset(&action, 0, sizeof(action));
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int i = 0; i < kCount; ++i) {
    sigaction(kStopSignals[i], &action, &old_actions_[i]);
  }
  struct sigaction ignore;
  std::memset(&ignore, 0, sizeof(ignore));
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, &old_pipe_);
}

StopSignals::~StopSignals() {
  if (!ok()) return;
  sigaction(SIGPIPE, &old_pipe_, nullptr);
  for (int i = 0; i < kCount; ++i) {
    sigaction(kStopSignals[i], &old_actions_[i], nullptr);
  }
  g_wake_fd.store(-1, std::memory_order_relaxed);
  pthread_sigmask(SIG_SETMASK, &old_mask_, nullptr);
  close(fds_[0]);
  close(fds_[1]);
}

void StopSignals::Unblock() {
  if (ok()) pthread_sigmask(SIG_UNBLOCK, &set_, nullptr);
}

bool StopSignals::received() const {
  return g_received.load(std::memory_order_relaxed) != 0;
}

void StopSignals::Wake() {
  if (!ok()) return;
  const char byte = 'W';
  [[maybe_unused]] ssize_t ignored = write(fds_[1], &byte, 1);
}

bool StopSignals::Wait(int timeout_ms) {
  if (!ok()) {
    // Nothing can wake the caller early: it still waits, not spins.
    poll(nullptr, 0, timeout_ms);
    return false;
  }
  struct pollfd wake = {fds_[0], POLLIN, 0};
  const bool woken = poll(&wake, 1, timeout_ms) > 0;
  char bytes[64];
  while (read(fds_[0], bytes, sizeof(bytes)) > 0) {
  }
  return woken;
}
