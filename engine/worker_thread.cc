#include "engine/worker_thread.h"

#include <cerrno>
#include <system_error>

#include "platform/cpu_clock.h"

WorkerThread::~WorkerThread() { Join(); }

Status WorkerThread::Start(JobChannel* channel) {
  if (thread_.joinable()) return Status::Of(Status::Kind::kInvalidArgument);
  channel_ = channel;
  result_ = JobResult();
  cpu_seconds_ = 0;
  ended_.store(false, std::memory_order_release);
  try {
    thread_ = std::thread(&WorkerThread::Body, this);
  } catch (const std::system_error& error) {
    return Status::System(error.code().value() != 0 ? error.code().value()
                                                    : EAGAIN);
  }
  return Status::Ok();
}

void WorkerThread::Join() {
  if (thread_.joinable()) thread_.join();
}

void WorkerThread::Body() {
  {
    // One job, one engine: its transaction ends with the job.
    InstallEngine engine(sys_);
    (void)engine.Run(channel_);
    result_ = engine.result();
  }
  cpu_seconds_ = ThreadCpuSeconds();
  ended_.store(true, std::memory_order_release);
}
