// The install worker's thread. Start runs exactly one installation job
// (InstallEngine::Run on the channel's job) on a new thread, which ends
// with the job.
//
// Ownership: the owner (an installation session, a test) owns the thread
// and must Join it before the channel or the job's kit reader goes away;
// the destructor joins it, so a WorkerThread declared after the channel and
// the reader is always gone first. To end a running job early, call
// JobChannel::RequestCancel.
//
// Threads: Start, Join and the destructor on the owner's thread.
#ifndef ENGINE_WORKER_THREAD_H_
#define ENGINE_WORKER_THREAD_H_

#include <atomic>
#include <thread>

#include "engine/install_engine.h"
#include "platform/status.h"

class JobChannel;
class SystemApi;

class WorkerThread {
 public:
  explicit WorkerThread(SystemApi& sys) : sys_(sys) {}
  ~WorkerThread();
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  // Starts the thread for one job from `channel` (after
  // JobChannel::StartJob). kInvalidArgument when a thread started before
  // has not been joined; the system's reason when no thread can be made
  // (no job runs then).
  Status Start(JobChannel* channel);

  // Waits for the thread, if one was started.
  void Join();
  bool running() const { return thread_.joinable(); }
  // True once the started thread has done all its work (its job has ended
  // and closed its transaction), so that Join will not wait; any thread.
  bool ended() const { return ended_.load(std::memory_order_acquire); }

  // After Join: what the job did (copied files, why it failed), and the
  // processor time the job's thread used, in seconds.
  const JobResult& result() const { return result_; }
  double cpu_seconds() const { return cpu_seconds_; }

 private:
  void Body();

  SystemApi& sys_;
  JobChannel* channel_ = nullptr;
  std::thread thread_;
  std::atomic<bool> ended_{false};
  // Written by the thread, read by the owner after Join.
  JobResult result_;
  double cpu_seconds_ = 0;
};

#endif  // ENGINE_WORKER_THREAD_H_
