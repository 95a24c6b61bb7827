#include "engine/job_channel.h"

void JobChannel::Init() {
  std::lock_guard<std::mutex> lock(mutex_);
  reader_ = nullptr;
  target_dir_ = WideString();
  cancel_requested_ = false;
  paused_ = false;
  committing_ = false;
  state_ = ChannelState();
}

void JobChannel::StartJob(KitReader* reader, const WideString& target_dir) {
  std::lock_guard<std::mutex> lock(mutex_);
  cancel_requested_ = false;
  paused_ = false;
  committing_ = false;
  state_.code = kSuccess;
  state_.progress = 0;
  state_.state = JobState::kRunning;
  state_.waiting = false;
  state_.failure = Status();
  state_.cancelling = false;
  reader_ = reader;
  target_dir_ = target_dir;
  const uint32_t length = target_dir_.length();
  if (length > 0 && target_dir_[length - 1] != u'/' &&
      target_dir_[length - 1] != u'\\') {
    target_dir_.push_back(u'/');
  }
}

KitReader* JobChannel::TakeJob(WideString* target_dir) {
  std::lock_guard<std::mutex> lock(mutex_);
  *target_dir = target_dir_;
  return reader_;
}

void JobChannel::RequestCancel() {
  std::lock_guard<std::mutex> lock(mutex_);
  cancel_requested_ = true;
  state_.cancelling = true;
  paused_ = false;
  resumed_.notify_all();
}

bool JobChannel::TryPause() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (committing_ || state_.state != JobState::kRunning) return false;
  paused_ = true;
  return true;
}

void JobChannel::Resume() {
  std::lock_guard<std::mutex> lock(mutex_);
  paused_ = false;
  resumed_.notify_all();
}

void JobChannel::HoldWhilePaused(std::unique_lock<std::mutex>& lock) {
  state_.held = paused_ && !cancel_requested_;
  resumed_.wait(lock, [this] { return !paused_ || cancel_requested_; });
  state_.held = false;
}

void JobChannel::WaitWhilePaused() {
  std::unique_lock<std::mutex> lock(mutex_);
  HoldWhilePaused(lock);
}

bool JobChannel::BeginCommit() {
  std::unique_lock<std::mutex> lock(mutex_);
  HoldWhilePaused(lock);
  if (cancel_requested_) return false;
  committing_ = true;
  return true;
}

bool JobChannel::IsCancelled() {
  std::lock_guard<std::mutex> lock(mutex_);
  return cancel_requested_;
}

void JobChannel::PostFailure(const Status& failure, int32_t progress) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    state_.failure = failure;
  }
  Post(failure.code(), WideString(), progress);
}

void JobChannel::PostWaiting(const WideString& text) {
  JobObserver* observer;
  ChannelState posted;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    state_.text = text;
    state_.waiting = true;
    observer = observer_;
    if (observer != nullptr) posted = state_;
  }
  if (observer != nullptr) observer->OnPost(posted);
}

void JobChannel::Post(ErrorCode code, const WideString& text, int32_t progress) {
  JobObserver* observer;
  ChannelState posted;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    state_.waiting = false;
    state_.code = code;
    state_.text = text;
    state_.progress = progress;
    if (code == kErrorCancelled) {
      state_.state = JobState::kCancelled;
    } else if (code != kSuccess) {
      state_.state = JobState::kFailed;
    } else if (progress == 100 && state_.state == JobState::kRunning) {
      state_.state = JobState::kFinished;
    }
    observer = observer_;
    if (observer != nullptr) posted = state_;
  }
  if (observer != nullptr) observer->OnPost(posted);
}

ChannelState JobChannel::Poll() {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_;
}

void JobChannel::SetObserver(JobObserver* observer) {
  std::lock_guard<std::mutex> lock(mutex_);
  observer_ = observer;
}
