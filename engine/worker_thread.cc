#include "engine/worker_thread.h"

#include <time.h>

#include <chrono>
#include <system_error>

namespace {

// How long a successful job keeps its thread, unless asked to stop.
constexpr std::chrono::milliseconds kPauseAfterSuccess{1000};

}  // namespace

WorkerThread::~WorkerThread() {
  RequestStop();
  Join();
}

void WorkerThread::ClearStop() {
  std::lock_guard<std::mutex> lock(mutex_);
  stop_requested_ = false;
}

void WorkerThread::RequestStop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_requested_ = true;
  }
  stop_changed_.notify_all();
}

ErrorCode WorkerThread::Start(UiChannel* channel) {
  if (thread_.joinable()) return kErrorInvalidParameter;
  ClearStop();
  channel_ = channel;
  result_ = kSuccess;
  outcome_ = InstallEngine::Outcome();
  cpu_seconds_ = 0;
  try {
    thread_ = std::thread(&WorkerThread::Body, this);
  } catch (const std::system_error&) {
    return kErrorInvalidParameter;
  }
  return kSuccess;
}

ErrorCode WorkerThread::Join() {
  if (thread_.joinable()) thread_.join();
  return result_;
}

void WorkerThread::Body() {
  {
    // One job, one engine: its transactions end with the job.
    InstallEngine engine;
    result_ = engine.Run(channel_);
    outcome_ = engine.outcome();
  }
  struct timespec used;
  if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used) == 0) {
    cpu_seconds_ = static_cast<double>(used.tv_sec) + used.tv_nsec / 1e9;
  }
  if (result_ != kSuccess) return;
  std::unique_lock<std::mutex> lock(mutex_);
  stop_changed_.wait_for(lock, kPauseAfterSuccess,
                         [this] { return stop_requested_; });
}
