#include "engine/flusher.h"

#include <cerrno>

#include "platform/system_api.h"

Flusher::Flusher(SystemApi& sys) : sys_(sys) {}

Flusher::~Flusher() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void Flusher::Start() {
  if (!thread_.joinable()) thread_ = std::thread([this] { Loop(); });
}

uint64_t Flusher::Flush(Target target) {
  uint64_t ticket;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    asked_.push_back(target);
    ticket = ++tickets_;
    Start();
  }
  changed_.notify_all();
  return ticket;
}

int Flusher::Await(uint64_t ticket) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return done_ >= ticket; });
  return failed_ticket_ != 0 && failed_ticket_ <= ticket ? failed_error_ : 0;
}

void Flusher::KeepFlushing(Target target, std::chrono::milliseconds period) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    periodic_ = true;
    periodic_target_ = target;
    period_ = period;
    Start();
  }
  changed_.notify_all();
}

void Flusher::WriteBegins() {
  std::lock_guard<std::mutex> lock(mutex_);
  writing_ = true;
  written_ = true;
}

void Flusher::WriteEnds() {
  std::lock_guard<std::mutex> lock(mutex_);
  writing_ = false;
}

void Flusher::Drain() {
  std::unique_lock<std::mutex> lock(mutex_);
  periodic_ = false;
  changed_.wait(lock, [this] { return !busy_ && asked_.empty(); });
}

int Flusher::Run(Target target, std::unique_lock<std::mutex>& lock) {
  busy_ = true;
  lock.unlock();
  // The file system first: when the file is on it, its fsync then finds
  // nothing left to write.
  int error = 0;
  if (target.file_system_fd != -1 && sys_.Syncfs(target.file_system_fd) != 0) {
    error = errno != 0 ? errno : EIO;
  }
  if (error == 0 && target.file_fd != -1 && sys_.Fsync(target.file_fd) != 0) {
    error = errno != 0 ? errno : EIO;
  }
  lock.lock();
  busy_ = false;
  return error;
}

void Flusher::Loop() {
  std::unique_lock<std::mutex> lock(mutex_);
  using Clock = std::chrono::steady_clock;
  Clock::time_point next_periodic = Clock::now();
  bool was_periodic = false;
  for (;;) {
    const auto asked = [this] { return !asked_.empty() || stopping_; };
    if (!periodic_) {
      changed_.wait(lock, [&] { return asked() || periodic_; });
    } else {
      changed_.wait_until(lock, next_periodic, asked);
    }
    if (periodic_ && !was_periodic) next_periodic = Clock::now() + period_;
    was_periodic = periodic_;
    if (!asked_.empty()) {
      const Target target = asked_.front();
      asked_.pop_front();
      const int error = Run(target, lock);
      ++done_;
      if (error != 0 && failed_ticket_ == 0) {
        failed_ticket_ = done_;
        failed_error_ = error;
      }
    } else if (stopping_) {
      return;
    } else if (periodic_ && Clock::now() >= next_periodic) {
      if (written_) {
        written_ = writing_;
        (void)Run(periodic_target_, lock);
      }
      next_periodic = Clock::now() + period_;
    }
    changed_.notify_all();
  }
}
