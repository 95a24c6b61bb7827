// The install worker's thread. Start runs exactly one installation job
// (InstallEngine::Run on the channel's job) on a new thread; after a
// successful job the thread lingers for up to a second, so that the GUI can
// show the finished bar, and leaves at once when RequestStop is called.
//
// Ownership: the owner (the installer dialog, kittool) owns the thread and
// must Join it before the channel or the job's kit reader goes away; the
// destructor asks it to stop and joins it, so a WorkerThread declared after
// the channel and the reader is always gone first. To end a running job
// early, call UiChannel::RequestCancel: RequestStop only ends the lingering.
//
// Threads: Start, Join and the destructor on the owner's thread;
// RequestStop and ClearStop from any thread.
#ifndef ENGINE_WORKER_THREAD_H_
#define ENGINE_WORKER_THREAD_H_

#include <condition_variable>
#include <mutex>
#include <thread>

#include "engine/install_engine.h"
#include "platform/error_code.h"

class UiChannel;

class WorkerThread {
 public:
  WorkerThread() = default;
  ~WorkerThread();
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  void ClearStop();
  // Ends the pause after a successful job at once (and lets Join return
  // without it).
  void RequestStop();

  // Starts the thread for one job from `channel` (after UiChannel::StartJob)
  // and clears the stop request. Returns 0; 87 when a thread started before
  // has not been joined, or when no thread can be made (no job runs then).
  ErrorCode Start(UiChannel* channel);

  // Waits for the thread, if one was started. Returns the job's code (0 when
  // no job ran).
  ErrorCode Join();

  // After Join: what the job did (copied files, where it failed), and the
  // processor time the job's thread used, in seconds.
  const InstallEngine::Outcome& outcome() const { return outcome_; }
  double cpu_seconds() const { return cpu_seconds_; }

 private:
  void Body();

  UiChannel* channel_ = nullptr;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable stop_changed_;
  bool stop_requested_ = false;  // guarded by mutex_
  // Written by the thread, read by the owner after Join.
  ErrorCode result_ = kSuccess;
  InstallEngine::Outcome outcome_;
  double cpu_seconds_ = 0;
};

#endif  // ENGINE_WORKER_THREAD_H_
