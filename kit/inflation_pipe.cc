#include "kit/inflation_pipe.h"

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "kit/kit_checksum.h"
#include "kit/raw_inflater.h"
#include "platform/system_api.h"

namespace {

// The kit is read in pieces of this size: few system calls, little memory.
constexpr uint32_t kInputSize = 256 * 1024;

// Reads the kit ahead of the inflation on a thread of its own, so that
// copying it out of the page cache is not on the inflating thread's way:
// that thread is what every installation waits for.
class ReadAhead {
 public:
  // Every piece read is hashed into `digest` (when given) as it is read:
  // the one pass over the kit serves the checksum too.
  ReadAhead(FileHandle kit, KitDigest* digest) : kit_(kit), digest_(digest) {
    for (auto& piece : pieces_) {
      piece = std::make_unique<unsigned char[]>(kInputSize);
    }
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
  // end. Returns 0, or the failed read's code with its errno in *error.
  ErrorCode Next(const unsigned char** data, uint32_t* size, int* error) {
    if (!reader_.joinable()) {
      *data = pieces_[0].get();
      const ErrorCode code =
          FileRead(kit_, pieces_[0].get(), kInputSize, size, false);
      *error = code == kSuccess ? 0 : errno;
      return code;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    if (taken_) {
      // The piece handed out last is done with.
      head_ = (head_ + 1) % kPieces;
      --count_;
      taken_ = false;
      changed_.notify_all();
    }
    changed_.wait(lock, [this] { return count_ > 0 || ended_; });
    if (count_ == 0) {
      *size = 0;
      *error = errno_;
      return code_;
    }
    taken_ = true;
    *data = pieces_[head_].get();
    *size = sizes_[head_];
    return kSuccess;
  }

 private:
  static constexpr int kPieces = 4;

  void Loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] { return stop_ || count_ < kPieces; });
      if (stop_) return;
      const int slot = (head_ + count_) % kPieces;
      lock.unlock();
      uint32_t got = 0;
      const ErrorCode code =
          FileRead(kit_, pieces_[slot].get(), kInputSize, &got, false);
      const int error = errno;
      if (code == kSuccess) Hash(pieces_[slot].get(), got);
      lock.lock();
      if (code != kSuccess || got == 0) {
        code_ = code;
        errno_ = code == kSuccess ? 0 : error;
        ended_ = true;
        changed_.notify_all();
        return;
      }
      sizes_[slot] = got;
      ++count_;
      changed_.notify_all();
    }
  }

  void Hash(const unsigned char* data, uint32_t size) {
    if (digest_ == nullptr || size == 0) return;
    digest_->sha.Update(data, size);
    digest_->bytes += size;
  }

  const FileHandle kit_;
  KitDigest* const digest_;
  std::unique_ptr<unsigned char[]> pieces_[kPieces];
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable changed_;
  // Guarded by mutex_: the oldest piece read and not yet done with, how many
  // are read, whether the oldest is handed out; the end and its cause.
  uint32_t sizes_[kPieces] = {};
  int head_ = 0;
  int count_ = 0;
  bool taken_ = false;
  bool ended_ = false;
  bool stop_ = false;
  ErrorCode code_ = kSuccess;
  int errno_ = 0;
};

}  // namespace

InflationPipe::InflationPipe(FileHandle container) : fd_(container) {
  for (auto& block : blocks_) {
    block = std::make_unique<unsigned char[]>(kBlockSize);
  }
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
    return write_error_ != kSuccess || aborted_ ||
           (queued_ < kBlocks && (started_ || produced_ < demand_));
  });
  if (write_error_ != kSuccess || aborted_) return nullptr;
  return blocks_[Slot(queued_)].get();
}

void InflationPipe::Submit(uint32_t length) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!writer_.joinable() && !handed_off_) {
    // Without a writing thread the block is written here and not queued.
    const uint64_t position = written_;
    lock.unlock();
    const ErrorCode code =
        WriteAll(blocks_[Slot(queued_)].get(), length, position);
    lock.lock();
    if (code != kSuccess) {
      if (write_error_ == kSuccess) write_error_ = code;
    } else {
      written_ += length;
      head_position_ += length;
    }
    produced_ += length;
    changed_.notify_all();
    return;
  }
  lengths_[Slot(queued_)] = length;
  ++queued_;
  produced_ += length;
  changed_.notify_all();
}

void InflationPipe::EndInput() {
  std::unique_lock<std::mutex> lock(mutex_);
  input_done_ = true;
  changed_.notify_all();
  changed_.wait(lock, [this] { return writer_stopped_; });
}

void InflationPipe::Finish(ErrorCode result) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    done_ = true;
    result_ = result;
  }
  changed_.notify_all();
}

void InflationPipe::NoteReadFailure(int error) {
  std::lock_guard<std::mutex> lock(mutex_);
  read_errno_ = error;
}

void InflationPipe::Start() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    started_ = true;
  }
  changed_.notify_all();
}

ErrorCode InflationPipe::WaitFor(uint64_t end, uint64_t* available) {
  std::unique_lock<std::mutex> lock(mutex_);
  // A block beyond what is needed, so that the next look finds it there.
  demand_ = std::max(demand_, end + kBlockSize);
  changed_.notify_all();
  changed_.wait(lock, [&] {
    return written_ >= end || write_error_ != kSuccess || aborted_ ||
           handed_off_ || done_;
  });
  *available = written_;
  if (written_ >= end) return kSuccess;
  return FailureLocked();
}

ErrorCode InflationPipe::HandOff(uint64_t* container_end) {
  std::unique_lock<std::mutex> lock(mutex_);
  handed_off_ = true;
  changed_.notify_all();
  changed_.wait(lock, [this] { return writer_stopped_; });
  *container_end = written_;
  return write_error_;
}

void InflationPipe::ReleaseBefore(uint64_t position) {
  std::lock_guard<std::mutex> lock(mutex_);
  bool released = false;
  while (queued_ > 0 && head_position_ + lengths_[head_] <= position) {
    PopLocked();
    released = true;
  }
  if (released) changed_.notify_all();
}

ErrorCode InflationPipe::CopyOut(uint64_t offset, uint64_t size,
                                 FileHandle out) {
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
    changed_.wait(lock, [this] { return queued_ > 0 || done_ || aborted_; });
    if (queued_ == 0) return FailureLocked();
    const uint64_t start = head_position_;
    const uint64_t end = start + lengths_[head_];
    if (offset >= end) {
      PopLocked();
      changed_.notify_all();
      continue;
    }
    if (offset < start) return kErrorInvalidData;
    const unsigned char* block = blocks_[head_].get();
    // Only this thread releases blocks, so the head stays while the lock
    // is not held.
    lock.unlock();
    const uint32_t piece =
        static_cast<uint32_t>(std::min<uint64_t>(size, end - offset));
    uint32_t written = 0;
    const ErrorCode code =
        FileWrite(out, block + (offset - start), piece, &written, false);
    if (code != kSuccess) return code;
    offset += piece;
    size -= piece;
    if (offset == end) {
      lock.lock();
      PopLocked();
      changed_.notify_all();
    }
  }
  return kSuccess;
}

ErrorCode InflationPipe::WaitForEnd(uint64_t* total) {
  Start();
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (handed_off_) {
      bool released = false;
      while (queued_ > 0) {
        PopLocked();
        released = true;
      }
      if (released) changed_.notify_all();
    }
    if (done_ || aborted_) break;
    changed_.wait(lock, [this] {
      return done_ || aborted_ || (handed_off_ && queued_ > 0);
    });
  }
  *total = handed_off_ ? produced_ : written_;
  if (aborted_) return kErrorCancelled;
  return write_error_ != kSuccess ? write_error_ : result_;
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

int InflationPipe::write_errno() {
  std::lock_guard<std::mutex> lock(mutex_);
  return write_errno_;
}

int InflationPipe::read_errno() {
  std::lock_guard<std::mutex> lock(mutex_);
  return read_errno_;
}

void InflationPipe::PopLocked() {
  head_position_ += lengths_[head_];
  head_ = Slot(1);
  --queued_;
}

ErrorCode InflationPipe::FailureLocked() const {
  if (write_error_ != kSuccess) return write_error_;
  if (aborted_) return kErrorCancelled;
  return result_ != kSuccess ? result_ : kErrorInvalidData;
}

void InflationPipe::WriteLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] {
      return queued_ > 0 || input_done_ || handed_off_ || aborted_;
    });
    if (handed_off_ || aborted_ || queued_ == 0) break;
    const int index = head_;
    const uint32_t length = lengths_[index];
    const uint64_t position = written_;
    // After a failure blocks are dropped unwritten: the inflating thread
    // stops at its next Acquire.
    const bool failed = write_error_ != kSuccess;
    lock.unlock();
    const ErrorCode code =
        failed ? kSuccess : WriteAll(blocks_[index].get(), length, position);
    lock.lock();
    if (code != kSuccess && write_error_ == kSuccess) write_error_ = code;
    if (code == kSuccess && !failed) written_ += length;
    PopLocked();
    changed_.notify_all();
  }
  writer_stopped_ = true;
  changed_.notify_all();
}

ErrorCode InflationPipe::WriteAll(const unsigned char* data, uint32_t length,
                                  uint64_t position) {
  while (length > 0) {
    const ssize_t n =
        Sys().PWrite(fd_, data, length, static_cast<off_t>(position));
    if (n <= 0) {
      // A write that takes nothing is a full disk by another name.
      const int error = n < 0 ? errno : ENOSPC;
      std::lock_guard<std::mutex> lock(mutex_);
      if (write_errno_ == 0) write_errno_ = error;
      return ErrorFromErrno(error);
    }
    data += n;
    length -= static_cast<uint32_t>(n);
    position += static_cast<uint64_t>(n);
  }
  return kSuccess;
}

ErrorCode InflateInto(FileHandle kit, InflationPipe* pipe, KitDigest* digest) {
  RawInflater inflater;
  ReadAhead input(kit, digest);
  RawInflater::Result result = RawInflater::Result::kOk;
  unsigned char* block = nullptr;
  uint32_t filled = 0;
  for (;;) {
    if (inflater.input_left() == 0) {
      const unsigned char* piece = nullptr;
      uint32_t got = 0;
      int error = 0;
      const ErrorCode read = input.Next(&piece, &got, &error);
      if (read != kSuccess) {
        pipe->NoteReadFailure(error);
        return read;
      }
      // The kit ends before its stream does: what was inflated stays.
      if (got == 0) break;
      inflater.Feed(piece, got);
    }
    // Inflate while it makes progress; a full block goes to the pipe.
    for (;;) {
      if (block == nullptr) {
        block = pipe->Acquire();
        if (block == nullptr) {
          return pipe->aborted() ? kErrorCancelled : kSuccess;
        }
        filled = 0;
      }
      const size_t left = inflater.input_left();
      size_t produced = 0;
      result = inflater.Inflate(block + filled,
                                InflationPipe::kBlockSize - filled, &produced);
      if (result == RawInflater::Result::kError) return kErrorInvalidData;
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
  return kSuccess;
}
