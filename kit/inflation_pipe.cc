#include "kit/inflation_pipe.h"

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "kit/kit_checksum.h"
#include "kit/raw_inflater.h"
#include "platform/file_operations.h"
#include "platform/system_api.h"

namespace {

// The kit is read in pieces of this size: few system calls, little memory.
constexpr uint32_t kInputSize = 256 * 1024;
constexpr int kInputPieces = 4;

Status Damaged() { return Status::Of(Status::Kind::kDamagedKit); }
Status Cancelled() { return Status::Of(Status::Kind::kCancelled); }

// Reads the kit ahead of the inflation on a thread of its own, so that
// copying it out of the page cache is not on the inflating thread's way:
// that thread is what every installation waits for.
class ReadAhead {
 public:
  // Every piece read is hashed into `digest` (when given) as it is read:
  // the one pass over the kit serves the checksum too.
  ReadAhead(SystemApi& sys, FileHandle kit, KitDigest* digest)
      : sys_(sys), kit_(kit), digest_(digest) {
    try {
      reader_ = std::thread(&ReadAhead::Loop, this);
    } catch (const std::system_error&) {
      // No thread to be had: Next reads each piece itself.
    }
  }
  ~ReadAhead() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    if (reader_.joinable()) reader_.join();
  }
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // The next piece of the kit, valid until the next call; *size 0 at its
  // end. Returns ok, or the failed read's errno.
  int Next(const unsigned char** data, uint32_t* size) {
    if (!reader_.joinable()) {
      *data = ring_.Back();
      return Read(ring_.Back(), size);
    }
    std::unique_lock<std::mutex> lock(mutex_);
    if (taken_) {
      // The piece handed out last is done with.
      ring_.Pop();
      taken_ = false;
      changed_.notify_all();
    }
    changed_.wait(lock, [this] { return !ring_.empty() || ended_; });
    if (ring_.empty()) {
      *size = 0;
      return error_;
    }
    taken_ = true;
    *data = ring_.Front();
    *size = ring_.FrontLength();
    return 0;
  }

 private:
  // Fills `piece`; 0 or the errno of the failed read.
  int Read(unsigned char* piece, uint32_t* got) {
    const Status read = FileRead(sys_, kit_, piece, kInputSize, got, false);
    if (!read.ok()) return read.error();
    if (digest_ != nullptr && *got > 0) {
      digest_->sha.Update(piece, *got);
      digest_->bytes += *got;
    }
    return 0;
  }

  void Loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] { return stop_ || !ring_.full(); });
      if (stop_) return;
      unsigned char* piece = ring_.Back();
      lock.unlock();
      uint32_t got = 0;
      const int error = Read(piece, &got);
      lock.lock();
      if (error != 0 || got == 0) {
        error_ = error;
        ended_ = true;
        changed_.notify_all();
        return;
      }
      ring_.Push(got);
      changed_.notify_all();
    }
  }

  SystemApi& sys_;
  const FileHandle kit_;
  KitDigest* const digest_;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable changed_;
  // Guarded by mutex_: the pieces read and not yet done with, whether the
  // oldest is handed out; the end and its cause.
  BlockRing ring_{kInputPieces, kInputSize};
  bool taken_ = false;
  bool ended_ = false;
  bool stop_ = false;
  int error_ = 0;
};

}  // namespace

InflationPipe::InflationPipe(SystemApi& sys, FileHandle container,
                             std::string container_name, std::string kit_name)
    : sys_(sys),
      fd_(container),
      container_name_(std::move(container_name)),
      kit_name_(std::move(kit_name)) {
  try {
    writer_ = std::thread(&InflationPipe::WriteLoop, this);
  } catch (const std::system_error&) {
    // No thread to be had: Submit writes each block itself.
    writer_stopped_ = true;
  }
}

InflationPipe::~InflationPipe() {
  Abort();
  if (writer_.joinable()) writer_.join();
}

unsigned char* InflationPipe::Acquire() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] {
    return !write_failure_.ok() || aborted_ ||
           (!ring_.full() && (started_ || produced_ < demand_));
  });
  if (!write_failure_.ok() || aborted_) return nullptr;
  return ring_.Back();
}

void InflationPipe::Submit(uint32_t length) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!writer_.joinable() && !handed_off_) {
    // Without a writing thread the block is written here and not queued.
    const uint64_t position = written_;
    lock.unlock();
    const bool ok = WriteBlock(ring_.Back(), length, position);
    lock.lock();
    if (ok) {
      written_ += length;
      head_position_ += length;
    }
    produced_ += length;
    changed_.notify_all();
    return;
  }
  ring_.Push(length);
  produced_ += length;
  changed_.notify_all();
}

void InflationPipe::EndInput() {
  std::unique_lock<std::mutex> lock(mutex_);
  input_done_ = true;
  changed_.notify_all();
  changed_.wait(lock, [this] { return writer_stopped_; });
}

void InflationPipe::Finish(Status result) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    done_ = true;
    result_ = std::move(result);
  }
  changed_.notify_all();
}

Status InflationPipe::NoteReadFailure(int error) {
  Status failure = Status::System(error, kit_name_);
  std::lock_guard<std::mutex> lock(mutex_);
  read_failure_ = failure;
  return failure;
}

void InflationPipe::Start() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    started_ = true;
  }
  changed_.notify_all();
}

Status InflationPipe::WaitFor(uint64_t end, uint64_t* available) {
  std::unique_lock<std::mutex> lock(mutex_);
  // A block beyond what is needed, so that the next look finds it there.
  demand_ = std::max(demand_, end + kBlockSize);
  changed_.notify_all();
  changed_.wait(lock, [&] {
    return written_ >= end || !write_failure_.ok() || aborted_ ||
           handed_off_ || done_;
  });
  *available = written_;
  if (written_ >= end) return Status::Ok();
  return FailureLocked();
}

Status InflationPipe::HandOff(uint64_t* container_end) {
  std::unique_lock<std::mutex> lock(mutex_);
  handed_off_ = true;
  changed_.notify_all();
  changed_.wait(lock, [this] { return writer_stopped_; });
  *container_end = written_;
  return write_failure_;
}

void InflationPipe::ReleaseBefore(uint64_t position) {
  std::lock_guard<std::mutex> lock(mutex_);
  bool released = false;
  while (!ring_.empty() && head_position_ + ring_.FrontLength() <= position) {
    PopLocked();
    released = true;
  }
  if (released) changed_.notify_all();
}

Status InflationPipe::CopyOut(uint64_t offset, uint64_t size, FileHandle out) {
  bool wake = false;
  {
    // The ring ahead of the consumer is kept full, and no more. Only an
    // inflation stopped for want of demand is woken: one waiting for room
    // in the ring is woken when a block is released. Waking it for every
    // file would cost two system calls a file.
    std::lock_guard<std::mutex> lock(mutex_);
    const uint64_t wanted = offset + size + kBlocks * kBlockSize;
    wake = produced_ >= demand_ && wanted > produced_;
    demand_ = std::max(demand_, wanted);
  }
  if (wake) changed_.notify_all();
  while (size > 0) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock,
                  [this] { return !ring_.empty() || done_ || aborted_; });
    if (ring_.empty()) return FailureLocked();
    const uint64_t start = head_position_;
    const uint64_t end = start + ring_.FrontLength();
    if (offset >= end) {
      PopLocked();
      changed_.notify_all();
      continue;
    }
    if (offset < start) return Damaged();
    const unsigned char* block = ring_.Front();
    // Only this thread releases blocks, so the front stays while the lock
    // is not held.
    lock.unlock();
    const uint32_t piece =
        static_cast<uint32_t>(std::min<uint64_t>(size, end - offset));
    TQ_RETURN_IF_ERROR(WriteAll(sys_, out, block + (offset - start), piece));
    offset += piece;
    size -= piece;
    if (offset == end) {
      lock.lock();
      PopLocked();
      changed_.notify_all();
    }
  }
  return Status::Ok();
}

Status InflationPipe::WaitForEnd(uint64_t* total) {
  Start();
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (handed_off_) {
      bool released = false;
      while (!ring_.empty()) {
        PopLocked();
        released = true;
      }
      if (released) changed_.notify_all();
    }
    if (done_ || aborted_) break;
    changed_.wait(lock, [this] {
      return done_ || aborted_ || (handed_off_ && !ring_.empty());
    });
  }
  *total = handed_off_ ? produced_ : written_;
  if (aborted_) return Cancelled();
  return !write_failure_.ok() ? write_failure_ : result_;
}

void InflationPipe::Abort() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    aborted_ = true;
  }
  changed_.notify_all();
}

bool InflationPipe::aborted() {
  std::lock_guard<std::mutex> lock(mutex_);
  return aborted_;
}

Status InflationPipe::io_failure() {
  std::lock_guard<std::mutex> lock(mutex_);
  return !write_failure_.ok() ? write_failure_ : read_failure_;
}

void InflationPipe::PopLocked() {
  head_position_ += ring_.FrontLength();
  ring_.Pop();
}

Status InflationPipe::FailureLocked() const {
  if (!write_failure_.ok()) return write_failure_;
  if (aborted_) return Cancelled();
  return !result_.ok() ? result_ : Damaged();
}

void InflationPipe::WriteLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] {
      return !ring_.empty() || input_done_ || handed_off_ || aborted_;
    });
    if (handed_off_ || aborted_ || ring_.empty()) break;
    const unsigned char* block = ring_.Front();
    const uint32_t length = ring_.FrontLength();
    const uint64_t position = written_;
    // After a failure blocks are dropped unwritten: the inflating thread
    // stops at its next Acquire.
    const bool failed = !write_failure_.ok();
    lock.unlock();
    const bool ok = !failed && WriteBlock(block, length, position);
    lock.lock();
    if (ok) written_ += length;
    PopLocked();
    changed_.notify_all();
  }
  writer_stopped_ = true;
  changed_.notify_all();
}

bool InflationPipe::WriteBlock(const unsigned char* data, uint32_t length,
                               uint64_t position) {
  const Status written =
      WriteAll(sys_, fd_, data, length, static_cast<off_t>(position));
  if (written.ok()) return true;
  std::lock_guard<std::mutex> lock(mutex_);
  if (write_failure_.ok()) {
    write_failure_ = Status::System(written.error(), container_name_);
  }
  return false;
}

Status InflateInto(FileHandle kit, InflationPipe* pipe, KitDigest* digest) {
  RawInflater inflater;
  ReadAhead input(pipe->sys(), kit, digest);
  RawInflater::Result result = RawInflater::Result::kOk;
  unsigned char* block = nullptr;
  uint32_t filled = 0;
  for (;;) {
    if (inflater.input_left() == 0) {
      const unsigned char* piece = nullptr;
      uint32_t got = 0;
      const int error = input.Next(&piece, &got);
      if (error != 0) return pipe->NoteReadFailure(error);
      // The kit ends before its stream does: what was inflated stays.
      if (got == 0) break;
      inflater.Feed(piece, got);
    }
    // Inflate while it makes progress; a full block goes to the pipe.
    for (;;) {
      if (block == nullptr) {
        block = pipe->Acquire();
        if (block == nullptr) {
          return pipe->aborted() ? Cancelled() : Status::Ok();
        }
        filled = 0;
      }
      const size_t left = inflater.input_left();
      size_t produced = 0;
      result = inflater.Inflate(block + filled,
                                InflationPipe::kBlockSize - filled, &produced);
      if (result == RawInflater::Result::kError) return Damaged();
      filled += static_cast<uint32_t>(produced);
      if (filled == InflationPipe::kBlockSize) {
        pipe->Submit(filled);
        block = nullptr;
      }
      if (result == RawInflater::Result::kEnd) break;
      if (produced == 0 && inflater.input_left() == left) break;
    }
    if (result == RawInflater::Result::kEnd) break;
  }
  if (block != nullptr && filled > 0) pipe->Submit(filled);
  return Status::Ok();
}
