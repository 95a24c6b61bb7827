#include "kit/kit_reader.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/file_operations.h"
#include "platform/narrow_path.h"
#include "platform/system_api.h"
#include "text/text_conversion.h"

namespace {

// FileOpen flags that say how a file is used; the file layer ignores them.
constexpr uint32_t kAttributeNormal = 0x80;
constexpr uint32_t kFlagSequentialScan = 0x08000000;

// Raw deflate: no zlib or gzip wrapper, no checksum, 32 KiB history.
constexpr int kRawWindowBits = -15;

// Inflation reads the kit in pieces of kInflateInputSize and produces blocks
// of kInflateBlockSize, kInflateBlocks of them in flight between the
// inflating thread and their consumer (the thread that writes the container,
// or a streaming reader's worker). Large pieces keep the system calls few;
// memory stays at about 1.3 MiB whatever the kit's size.
constexpr uint32_t kInflateInputSize = 256 * 1024;
constexpr uint32_t kInflateBlockSize = 256 * 1024;
constexpr int kInflateBlocks = 4;

// The tables are read through a buffer of this size.
constexpr uint32_t kTableBufferSize = 256 * 1024;

// Entries up to this size are copied through the copy buffer. Kits store
// files one after another and the worker copies them in that order, so the
// buffer is filled ahead and one read serves a run of small files, each then
// costing one write. Larger entries are copied inside the kernel.
constexpr uint32_t kBufferedEntryMax = 64 * 1024;

const char16_t kEnglish[] = u"en";

ErrorCode LastErrnoCode() { return ErrorFromErrno(errno); }

// Opens the container, an existing file in the shared temporary directory
// (made exclusively by MakeTempFile): it is never created again under its
// name, and a link put in its place is not followed, so no one can make the
// reader write into a file of their choosing.
ErrorCode OpenContainerFile(const WideString& path, int access,
                            FileHandle* handle) {
  const NarrowString narrow = ToNarrow(path);
  const int fd =
      Sys().Open(narrow.c_str(), access | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0);
  if (fd == -1) return LastErrnoCode();
  *handle = fd;
  return kSuccess;
}

}  // namespace

namespace kit_internal {

// The pipe from the inflating thread to the container and, for a streaming
// reader, to the worker. The inflating thread fills blocks (Acquire,
// Submit) and says when it is done (EndInput, then Finish with its result).
// A writing thread writes the blocks to the container in order and
// publishes how many bytes are on disk, so that a reader may read below
// that mark from its own descriptor.
//
// A streaming reader whose kit stores the files' bytes in table order hands
// the stream over once it has read the tables (HandOff): from then on the
// blocks are not written at all, and the worker copies entries straight out
// of them (CopyOut), releasing each block once it has passed it. The data
// area then never touches the disk twice.
class Inflation {
 public:
  // Writes to `container` (an open descriptor, which stays the caller's).
  explicit Inflation(FileHandle container) : fd_(container) {
    for (auto& block : blocks_)
      block = std::make_unique<unsigned char[]>(kInflateBlockSize);
    try {
      writer_ = std::thread(&Inflation::WriteLoop, this);
    } catch (const std::system_error&) {
      // No thread to be had: Submit writes each block itself.
      writer_stopped_ = true;
    }
  }
  ~Inflation() {
    Abort();
    if (writer_.joinable()) writer_.join();
  }
  Inflation(const Inflation&) = delete;
  Inflation& operator=(const Inflation&) = delete;

  // Inflating thread: the next block to fill, once its consumer has finished
  // with it; null after a failed write or Abort.
  unsigned char* Acquire() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] {
      return write_error_ != kSuccess || aborted_ || queued_ < kInflateBlocks;
    });
    if (write_error_ != kSuccess || aborted_) return nullptr;
    return blocks_[Slot(queued_)].get();
  }

  // Inflating thread: queues the first `length` bytes of the block that
  // Acquire returned.
  void Submit(uint32_t length) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!writer_.joinable() && !handed_off_) {
      // Without a writing thread the block is written here and not queued.
      lock.unlock();
      const ErrorCode code = WriteAll(blocks_[Slot(queued_)].get(), length);
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

  // Inflating thread: no more blocks will come. Returns once the writing
  // thread has written what it is going to write, so that the container
  // may be closed.
  void EndInput() {
    std::unique_lock<std::mutex> lock(mutex_);
    input_done_ = true;
    changed_.notify_all();
    changed_.wait(lock, [this] { return writer_stopped_; });
  }

  // Inflating thread, after EndInput: the inflation's outcome.
  void Finish(ErrorCode result) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
      result_ = result;
    }
    changed_.notify_all();
  }

  // Waits until the container holds `end` bytes. Returns 0 with the bytes
  // written so far in *available; otherwise the failure that stopped the
  // inflation, or 13 when it ended short of `end`.
  ErrorCode WaitFor(uint64_t end, uint64_t* available) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] {
      return written_ >= end || write_error_ != kSuccess || aborted_ ||
             handed_off_ || done_;
    });
    *available = written_;
    if (written_ >= end) return kSuccess;
    return FailureLocked();
  }

  // Stops writing the container: every later byte reaches the consumer
  // through CopyOut. Returns 0 with the container's length (the position
  // of the first byte not written) in *container_end, or the first failed
  // write.
  ErrorCode HandOff(uint64_t* container_end) {
    std::unique_lock<std::mutex> lock(mutex_);
    handed_off_ = true;
    changed_.notify_all();
    changed_.wait(lock, [this] { return writer_stopped_; });
    *container_end = written_;
    return write_error_;
  }

  // After HandOff: lets the inflation go on past `position`; the bytes
  // before it are not wanted any more.
  void ReleaseBefore(uint64_t position) {
    std::lock_guard<std::mutex> lock(mutex_);
    bool released = false;
    while (queued_ > 0 && head_position_ + lengths_[head_] <= position) {
      PopLocked();
      released = true;
    }
    if (released) changed_.notify_all();
  }

  // After HandOff: writes the stream's bytes [offset, offset + size) to
  // `out`. Offsets must not go back: bytes passed are gone. Returns 0; the
  // inflation's failure or 13 when it ended first; 13 for bytes already
  // released; the code of a failed write.
  ErrorCode CopyOut(uint64_t offset, uint64_t size, FileHandle out) {
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

  // Waits for the end of the inflation, dropping the blocks nobody has
  // taken after a hand-over. Returns the outcome; *total is the number of
  // bytes the stream inflated to.
  ErrorCode WaitForEnd(uint64_t* total) {
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

  // Asks the inflation to stop early (it then ends with 1223) and the
  // writing thread to stop.
  void Abort() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      aborted_ = true;
    }
    changed_.notify_all();
  }

  // The errno of the first failed write (0 when none failed), and of a
  // failed read of the kit, for the report.
  int write_errno() {
    std::lock_guard<std::mutex> lock(mutex_);
    return write_errno_;
  }
  int read_errno() {
    std::lock_guard<std::mutex> lock(mutex_);
    return read_errno_;
  }
  void NoteReadFailure(int error) {
    std::lock_guard<std::mutex> lock(mutex_);
    read_errno_ = error;
  }

  bool aborted() {
    std::lock_guard<std::mutex> lock(mutex_);
    return aborted_;
  }

 private:
  // The ring slot `n` blocks after the oldest queued one.
  int Slot(int n) const { return (head_ + n) % kInflateBlocks; }

  // REQUIRES: mutex_ held, queued_ > 0.
  void PopLocked() {
    head_position_ += lengths_[head_];
    head_ = Slot(1);
    --queued_;
  }

  // Why no more bytes come. REQUIRES: mutex_ held.
  ErrorCode FailureLocked() const {
    if (write_error_ != kSuccess) return write_error_;
    if (aborted_) return kErrorCancelled;
    return result_ != kSuccess ? result_ : kErrorInvalidData;
  }

  void WriteLoop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] {
        return queued_ > 0 || input_done_ || handed_off_ || aborted_;
      });
      if (handed_off_ || aborted_ || queued_ == 0) break;
      const int index = head_;
      const uint32_t length = lengths_[index];
      // After a failure blocks are dropped unwritten: the inflating thread
      // stops at its next Acquire.
      const bool failed = write_error_ != kSuccess;
      lock.unlock();
      const ErrorCode code =
          failed ? kSuccess : WriteAll(blocks_[index].get(), length);
      lock.lock();
      if (code != kSuccess && write_error_ == kSuccess) write_error_ = code;
      if (code == kSuccess && !failed) written_ += length;
      PopLocked();
      changed_.notify_all();
    }
    writer_stopped_ = true;
    changed_.notify_all();
  }

  ErrorCode WriteAll(const unsigned char* data, uint32_t length) {
    uint32_t written = 0;
    const ErrorCode code = FileWrite(fd_, data, length, &written, false);
    if (code != kSuccess) {
      const int error = errno;
      std::lock_guard<std::mutex> lock(mutex_);
      if (write_errno_ == 0) write_errno_ = error;
    }
    return code;
  }

  const FileHandle fd_;
  std::unique_ptr<unsigned char[]> blocks_[kInflateBlocks];
  std::thread writer_;
  std::mutex mutex_;
  std::condition_variable changed_;
  // Guarded by mutex_: the oldest queued block, how many are queued, their
  // lengths, and the stream position of the oldest block's first byte;
  // bytes produced, and written to the container; the flags of the ends.
  int head_ = 0;
  int queued_ = 0;
  uint32_t lengths_[kInflateBlocks] = {};
  uint64_t head_position_ = 0;
  uint64_t produced_ = 0;
  uint64_t written_ = 0;
  ErrorCode write_error_ = kSuccess;
  int write_errno_ = 0;
  int read_errno_ = 0;
  ErrorCode result_ = kSuccess;
  bool input_done_ = false;
  bool done_ = false;
  bool handed_off_ = false;
  bool aborted_ = false;
  bool writer_stopped_ = false;
};

}  // namespace kit_internal

namespace {

using kit_internal::Inflation;

// Inflates everything `kit` holds up to the end of its stream into `pipe`.
// Returns the first failure of reading or inflating; 1223 when the pipe was
// aborted. A failed write stops the inflation too; the pipe reports it.
ErrorCode InflateInto(FileHandle kit, Inflation* pipe) {
  z_stream stream;
  std::memset(&stream, 0, sizeof(stream));
  if (inflateInit2(&stream, kRawWindowBits) != Z_OK)
    return kErrorInvalidParameter;
  auto input = std::make_unique<unsigned char[]>(kInflateInputSize);
  ErrorCode code = kSuccess;
  int z = Z_OK;
  unsigned char* block = nullptr;
  uint32_t filled = 0;
  bool stopped = false;  // the pipe refused a block
  while (code == kSuccess && z != Z_STREAM_END && !stopped) {
    uint32_t got = 0;
    code = FileRead(kit, input.get(), kInflateInputSize, &got, false);
    // The end of the kit before the end of the stream is not judged here:
    // the tables and entries are checked against what was inflated.
    if (code != kSuccess || got == 0) break;
    stream.next_in = input.get();
    stream.avail_in = got;
    while (stream.avail_in > 0 && z != Z_STREAM_END) {
      if (block == nullptr) {
        block = pipe->Acquire();
        if (block == nullptr) {
          stopped = true;
          break;
        }
        filled = 0;
      }
      stream.next_out = block + filled;
      stream.avail_out = kInflateBlockSize - filled;
      z = inflate(&stream, Z_NO_FLUSH);
      if (z != Z_OK && z != Z_STREAM_END) {
        code = kErrorInvalidData;
        break;
      }
      filled = kInflateBlockSize - stream.avail_out;
      if (filled == kInflateBlockSize) {
        pipe->Submit(filled);
        block = nullptr;
      }
    }
  }
  if (block != nullptr && filled > 0 && code == kSuccess) pipe->Submit(filled);
  inflateEnd(&stream);
  if (stopped && pipe->aborted()) return kErrorCancelled;
  return code;
}

}  // namespace

namespace kit_internal {

// Reads the container's tables front to back through a buffer, refusing to
// read beyond the container's end or beyond the body of the record or entry
// being parsed. Streaming, the container's size is not known yet: reads wait
// until the inflating thread has written the bytes they need.
class TableReader {
 public:
  // `size` is the container's size; with `inflation`, the most it may become.
  TableReader(FileHandle fd, uint64_t size, Inflation* inflation,
              uint64_t position = 0)
      : fd_(fd),
        size_(size),
        inflation_(inflation),
        buffer_(std::make_unique<unsigned char[]>(kTableBufferSize)),
        position_(position) {}

  uint64_t position() const { return position_; }
  uint64_t size() const { return size_; }

  // Copies `count` bytes. 13 when the container ends first.
  ErrorCode Read(void* out, uint64_t count) {
    if (count > size_ - position_) return kErrorInvalidData;
    unsigned char* to = static_cast<unsigned char*>(out);
    while (count > 0) {
      if (begin_ == end_) {
        ErrorCode code = Fill();
        if (code != kSuccess) return code;
      }
      const uint32_t piece =
          static_cast<uint32_t>(std::min<uint64_t>(count, end_ - begin_));
      std::memcpy(to, buffer_.get() + begin_, piece);
      begin_ += piece;
      to += piece;
      position_ += piece;
      count -= piece;
    }
    return kSuccess;
  }

  ErrorCode ReadU32(uint32_t* value) {
    unsigned char bytes[4];
    ErrorCode code = Read(bytes, 4);
    if (code != kSuccess) return code;
    *value = bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) |
             (static_cast<uint32_t>(bytes[3]) << 24);
    return kSuccess;
  }

  // A string that must end at or before `limit` (an absolute position).
  ErrorCode ReadString(uint64_t limit, WideString* text) {
    uint32_t count = 0;
    if (limit < position_ || limit - position_ < 4) return kErrorInvalidData;
    ErrorCode code = ReadU32(&count);
    if (code != kSuccess) return code;
    const uint64_t bytes = 2 * static_cast<uint64_t>(count);
    if (bytes > limit - position_) return kErrorInvalidData;
    if (count > WideString::kMaxLength) return kErrorInvalidData;
    if (count == 0) {
      *text = WideString();
      return kSuccess;
    }
    // Streaming, the count is checked only against the largest container,
    // not against the bytes that exist: the string grows as its bytes
    // arrive, so that a short kit claiming a long string fails before it
    // has made the reader take gigabytes.
    units_.clear();
    for (uint32_t done = 0; done < count;) {
      const uint32_t piece = std::min(count - done, kTableBufferSize / 2);
      raw_.resize(2 * static_cast<size_t>(piece));
      code = Read(raw_.data(), raw_.size());
      if (code != kSuccess) return code;
      for (uint32_t i = 0; i < piece; ++i) {
        units_.push_back(
            static_cast<char16_t>(raw_[2 * i] | (raw_[2 * i + 1] << 8)));
      }
      done += piece;
    }
    text->assign(units_.data(), count);
    return kSuccess;
  }

  // Moves to the absolute position `target`, which lies ahead.
  ErrorCode SkipTo(uint64_t target) {
    if (target > size_ || target < position_) return kErrorInvalidData;
    const uint64_t distance = target - position_;
    if (distance <= end_ - begin_) {
      begin_ += static_cast<uint32_t>(distance);
    } else {
      begin_ = end_ = 0;  // the next Fill reads from there
    }
    position_ = target;
    return kSuccess;
  }

 private:
  ErrorCode Fill() {
    uint32_t want = kTableBufferSize;
    if (inflation_ != nullptr) {
      uint64_t available = 0;
      ErrorCode code = inflation_->WaitFor(position_ + 1, &available);
      if (code != kSuccess) return code;
      want = static_cast<uint32_t>(
          std::min<uint64_t>(want, available - position_));
    }
    // The descriptor is shared with the entry copies, which move its
    // position; every fill says where it reads.
    if (Sys().Seek(fd_, static_cast<off_t>(position_), SEEK_SET) == -1)
      return LastErrnoCode();
    uint32_t got = 0;
    ErrorCode code = FileRead(fd_, buffer_.get(), want, &got, false);
    if (code != kSuccess) return code;
    // The container is private to this reader; a short file here means it
    // changed under us, which is as good as damaged.
    if (got == 0) return kErrorInvalidData;
    begin_ = 0;
    end_ = got;
    return kSuccess;
  }

  const FileHandle fd_;
  const uint64_t size_;
  Inflation* const inflation_;
  std::unique_ptr<unsigned char[]> buffer_;
  uint32_t begin_ = 0;
  uint32_t end_ = 0;
  uint64_t position_ = 0;
  std::vector<char16_t> units_;
  std::vector<unsigned char> raw_;
};

}  // namespace kit_internal

namespace {

using kit_internal::TableReader;

// True when `name`, joined to the template directory, stays inside it: no
// ".." component (split at "/" and at "\\") and no NUL unit, which would cut
// the path short when it reaches the system. Empty components (a leading or
// doubled separator) are harmless because the name is always appended to the
// directory.
bool IsSafeEntryName(const WideString& name) {
  const char16_t* units = name.c_str();
  const uint32_t length = name.length();
  uint32_t component_start = 0;
  for (uint32_t i = 0; i <= length; ++i) {
    const char16_t unit = i < length ? units[i] : u'/';
    if (i < length && unit == 0) return false;
    if (unit == u'/' || unit == u'\\') {
      if (i - component_start == 2 && units[component_start] == u'.' &&
          units[component_start + 1] == u'.') {
        return false;
      }
      component_start = i + 1;
    }
  }
  return true;
}

bool SameLanguage(const WideString& a, const WideString& b) {
  return CompareNoCase(a, b) == 0;
}

// Reads one file entry at the reader's position and moves past its body. The
// offset stays relative to the data area. 13 for an entry that is too small
// for its fields or whose name would leave the template directory.
ErrorCode ReadEntryRecord(TableReader& in, KitEntry* entry) {
  uint32_t entry_size = 0;
  ErrorCode code = in.ReadU32(&entry_size);
  if (code != kSuccess) return code;
  if (entry_size < 4) return kErrorInvalidData;
  const uint64_t body_end = in.position() + (entry_size - 4);
  if (body_end > in.size()) return kErrorInvalidData;
  code = in.ReadString(body_end, &entry->name);
  if (code != kSuccess) return code;
  if (body_end - in.position() < 16) return kErrorInvalidData;
  uint32_t fields[4];
  for (uint32_t& field : fields) {
    code = in.ReadU32(&field);
    if (code != kSuccess) return code;
  }
  code = in.SkipTo(body_end);
  if (code != kSuccess) return code;
  if (!IsSafeEntryName(entry->name)) return kErrorInvalidData;
  entry->last_write = fields[0] | (static_cast<uint64_t>(fields[1]) << 32);
  entry->offset = fields[2];
  entry->size = fields[3];
  return kSuccess;
}

// A streaming reader's thread: inflates `kit` into `pipe`, closes both
// descriptors once the container is complete and tells the pipe how it
// ended.
void InflateInBackground(FileHandle kit, FileHandle container,
                         Inflation* pipe) {
  ErrorCode code = InflateInto(kit, pipe);
  if (code != kSuccess && code != kErrorInvalidData) {
    pipe->NoteReadFailure(errno);
  }
  pipe->EndInput();
  // A late write error (delayed allocation on a full disk) can surface here.
  const ErrorCode closed = FileClose(container);
  if (code == kSuccess) code = closed;
  FileClose(kit);
  pipe->Finish(code);
}

// The container's size as its descriptor sees it, in *size.
ErrorCode SizeOf(FileHandle fd, uint64_t* size) {
  struct stat status;
  if (Sys().Fstat(fd, &status) != 0) return LastErrnoCode();
  *size = static_cast<uint64_t>(status.st_size);
  return kSuccess;
}

}  // namespace

KitReader::KitReader()
    : copy_buffer_(std::make_unique<unsigned char[]>(kCopyBufferSize)) {}

KitReader::~KitReader() { Close(); }

void KitReader::Close() {
  if (inflation_ != nullptr) {
    inflation_->Abort();
    if (inflate_thread_.joinable()) inflate_thread_.join();
    inflation_.reset();
  }
  handed_off_ = false;
  stream_start_ = 0;
  cursor_.reset();
  entries_.clear();
  entry_count_ = 0;
  next_index_ = 0;
  table_start_ = data_start_ = max_entry_end_ = 0;
  buffer_start_ = buffer_end_ = sequential_end_ = 0;
  if (container_fd_ != kInvalidFileHandle) {
    FileClose(container_fd_);
    container_fd_ = kInvalidFileHandle;
  }
  if (!container_path_.empty()) {
    RunRemoveFile(container_path_);
    container_path_ = WideString();
  }
  container_size_ = 0;
}

ErrorCode KitReader::Fail(ErrorCode code) {
  Close();
  return code;
}

bool IsKitContainerName(const std::string& name) {
  if (name.size() != 9 || name.compare(0, 3, "edf") != 0) return false;
  return std::all_of(name.begin() + 3, name.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
           (c >= 'a' && c <= 'z');
  });
}

ErrorCode KitReader::MakeContainer() {
  WideString temp_dir;
  ErrorCode code = GetTempDirectory(&temp_dir);
  if (code != kSuccess) return code;
  code = MakeTempFile(temp_dir, u"edf", &container_path_);
  if (code != kSuccess) {
    failure_.path = WithoutTrailingSlashes(ToNarrow(temp_dir).c_str());
    failure_.system_error = errno;
    return code;
  }
  code = OpenContainerFile(container_path_, O_RDWR, &container_fd_);
  if (code != kSuccess) {
    failure_.path = ToNarrow(container_path_).c_str();
    failure_.system_error = errno;
    return code;
  }
  // The lock says the container is in use; it is held as long as the
  // reader's descriptor is open, and released by the kernel when the
  // process dies, however it dies. It only serves that later clean-up, so
  // a file system without locks does not stop the installation.
  Sys().Flock(container_fd_, LOCK_EX | LOCK_NB);
  return kSuccess;
}

ErrorCode KitReader::Open(const WideString& kit_path) {
  Close();
  // Close keeps the records for the failure path; a new kit starts without
  // the last kit's.
  language_records_.clear();
  failure_ = KitFailure();
  kernel_copy_ = true;
  ErrorCode code = MakeContainer();
  if (code != kSuccess) return Fail(code);
  code = InflateKit(kit_path, container_path_, &failure_);
  if (code == kSuccess) code = SizeOf(container_fd_, &container_size_);
  if (code == kSuccess) code = ParseTables();
  if (code != kSuccess) {
    // Past the inflation only the container is read.
    if (code != kErrorInvalidData && failure_.path.empty()) {
      failure_.path = ToNarrow(container_path_).c_str();
      failure_.system_error = errno;
    }
    return Fail(code);
  }
  entry_count_ = static_cast<uint32_t>(entries_.size());
  return kSuccess;
}

ErrorCode KitReader::OpenStreaming(const WideString& kit_path) {
  Close();
  language_records_.clear();
  failure_ = KitFailure();
  kernel_copy_ = true;
  ErrorCode code = MakeContainer();
  if (code != kSuccess) return Fail(code);
  FileHandle kit = kInvalidFileHandle;
  code = FileOpen(kit_path, kFileAccessRead, 0, kFileOpenExisting, &kit,
                  kFlagSequentialScan | kAttributeNormal);
  if (code != kSuccess) {
    failure_.path = ToNarrow(kit_path).c_str();
    failure_.system_error = errno;
    return Fail(code);
  }
  FileHandle container = kInvalidFileHandle;
  code = OpenContainerFile(container_path_, O_WRONLY, &container);
  if (code != kSuccess) {
    failure_.path = ToNarrow(container_path_).c_str();
    failure_.system_error = errno;
    FileClose(kit);
    return Fail(code);
  }
  inflation_ = std::make_unique<Inflation>(container);
  try {
    inflate_thread_ =
        std::thread(InflateInBackground, kit, container, inflation_.get());
  } catch (const std::system_error&) {
    // No second thread to be had: inflate now, as Open does.
    InflateInBackground(kit, container, inflation_.get());
  }
  code = ParseTablesStreaming();
  if (code != kSuccess) {
    if (inflation_->write_errno() != 0) {
      failure_.path = ToNarrow(container_path_).c_str();
      failure_.system_error = inflation_->write_errno();
    } else if (inflation_->read_errno() != 0) {
      failure_.path = ToNarrow(kit_path).c_str();
      failure_.system_error = inflation_->read_errno();
    }
    return Fail(code);
  }
  return kSuccess;
}

ErrorCode KitReader::ParseLanguageTable(TableReader& in) {
  uint32_t layout = 0;
  ErrorCode code = in.ReadU32(&layout);
  if (code != kSuccess) return code;
  if (layout != 0) {
    uint32_t record_count = 0;
    code = in.ReadU32(&record_count);
    if (code != kSuccess) return code;
    for (uint32_t i = 0; i < record_count; ++i) {
      uint32_t record_size = 0;
      code = in.ReadU32(&record_size);
      if (code != kSuccess) return code;
      if (record_size < 4) return kErrorInvalidData;
      const uint64_t body_end = in.position() + (record_size - 4);
      if (body_end > in.size()) return kErrorInvalidData;
      LanguageRecord record;
      for (WideString* field : {&record.language, &record.product,
                                &record.provider, &record.description}) {
        code = in.ReadString(body_end, field);
        if (code != kSuccess) return code;
      }
      code = in.SkipTo(body_end);
      if (code != kSuccess) return code;
      language_records_.push_back(std::move(record));
    }
  } else {
    LanguageRecord record;
    record.language = kEnglish;
    for (WideString* field :
         {&record.product, &record.provider, &record.description}) {
      code = in.ReadString(in.size(), field);
      if (code != kSuccess) return code;
    }
    language_records_.push_back(std::move(record));
  }
  return kSuccess;
}

ErrorCode KitReader::ParseTables() {
  TableReader in(container_fd_, container_size_, nullptr);
  ErrorCode code = ParseLanguageTable(in);
  if (code != kSuccess) return code;
  uint32_t entry_count = 0;
  code = in.ReadU32(&entry_count);
  if (code != kSuccess) return code;
  // Every entry takes at least 24 bytes; a count that cannot fit is refused
  // before anything is reserved for it.
  if (entry_count > (in.size() - in.position()) / 24) return kErrorInvalidData;
  entries_.reserve(entry_count);
  for (uint32_t i = 0; i < entry_count; ++i) {
    KitEntry entry;
    code = ReadEntryRecord(in, &entry);
    if (code != kSuccess) return code;
    entries_.push_back(std::move(entry));
  }

  // Offsets count from the first byte after the file table; made absolute
  // here, and every entry's bytes must lie inside the container.
  const uint64_t data_start = in.position();
  for (KitEntry& entry : entries_) {
    entry.offset += data_start;
    if (entry.offset > container_size_ ||
        entry.size > container_size_ - entry.offset) {
      return kErrorInvalidData;
    }
  }
  data_start_ = data_start;
  sequential_end_ = data_start;
  return kSuccess;
}

ErrorCode KitReader::ParseTablesStreaming() {
  // The container cannot grow beyond what its 32-bit offsets address, but
  // its real size is known only at the end; reads wait for their bytes.
  constexpr uint64_t kUnknownSize = ~uint64_t{0} >> 1;
  TableReader in(container_fd_, kUnknownSize, inflation_.get());
  ErrorCode code = ParseLanguageTable(in);
  if (code != kSuccess) return code;
  uint32_t entry_count = 0;
  code = in.ReadU32(&entry_count);
  if (code != kSuccess) return code;
  table_start_ = in.position();
  // One pass to check every entry and find where the data area begins; the
  // entries are read again, one by one, by ReadEntry.
  bool in_order = true;
  uint64_t previous_end = 0;
  for (uint32_t i = 0; i < entry_count; ++i) {
    KitEntry entry;
    code = ReadEntryRecord(in, &entry);
    if (code != kSuccess) return code;
    if (entry.offset < previous_end) in_order = false;
    previous_end = entry.offset + entry.size;
    max_entry_end_ = std::max(max_entry_end_, previous_end);
  }
  data_start_ = in.position();
  sequential_end_ = data_start_;
  entry_count_ = entry_count;
  // Bytes stored in table order are needed once each, in the order they
  // come: the worker takes them from the inflation itself, and only the
  // tables stay on disk. Other kits are read back from the container.
  if (in_order) {
    code = inflation_->HandOff(&stream_start_);
    if (code != kSuccess) return code;
    handed_off_ = true;
  }
  return kSuccess;
}

ErrorCode KitReader::ReadEntry(uint32_t index, KitEntry* entry) {
  if (index >= entry_count_) return kErrorInvalidParameter;
  if (inflation_ == nullptr) {
    *entry = entries_[index];
    return kSuccess;
  }
  if (cursor_ == nullptr || index < next_index_) {
    constexpr uint64_t kUnknownSize = ~uint64_t{0} >> 1;
    cursor_ = std::make_unique<TableReader>(container_fd_, kUnknownSize,
                                            inflation_.get(), table_start_);
    next_index_ = 0;
  }
  KitEntry read;
  for (;;) {
    const ErrorCode code = ReadEntryRecord(*cursor_, &read);
    if (code != kSuccess) {
      cursor_.reset();
      return code;
    }
    if (next_index_++ == index) break;
  }
  read.offset += data_start_;
  // Walked in table order, the stream is never needed before this entry
  // again.
  if (handed_off_) inflation_->ReleaseBefore(read.offset);
  *entry = std::move(read);
  return kSuccess;
}

ErrorCode KitReader::VisitEntries(
    const std::function<ErrorCode(uint32_t, const KitEntry&)>& visit) {
  if (inflation_ == nullptr) {
    for (uint32_t i = 0; i < entries_.size(); ++i) {
      const ErrorCode code = visit(i, entries_[i]);
      if (code != kSuccess) return code;
    }
    return kSuccess;
  }
  // The table was inflated whole before OpenStreaming returned; a reader of
  // its own reads it again from the container.
  constexpr uint64_t kUnknownSize = ~uint64_t{0} >> 1;
  TableReader in(container_fd_, kUnknownSize, inflation_.get(), table_start_);
  for (uint32_t i = 0; i < entry_count_; ++i) {
    KitEntry entry;
    ErrorCode code = ReadEntryRecord(in, &entry);
    if (code != kSuccess) return code;
    entry.offset += data_start_;
    code = visit(i, entry);
    if (code != kSuccess) return code;
  }
  return kSuccess;
}

ErrorCode KitReader::FinishInflation() {
  if (inflation_ == nullptr) return kSuccess;
  uint64_t total = 0;
  const ErrorCode code = inflation_->WaitForEnd(&total);
  if (code != kSuccess) return code;
  if (data_start_ + max_entry_end_ > total) return kErrorInvalidData;
  return kSuccess;
}

void KitReader::FindProductInfo(const WideString& language, WideString* product,
                                WideString* provider) const {
  for (const LanguageRecord& record : language_records_) {
    if (SameLanguage(record.language, language)) {
      *product = record.product;
      *provider = record.provider;
      return;
    }
  }
  *product = WideString();
  *provider = WideString();
}

WideString KitReader::FindDescription(const WideString& language) const {
  for (const LanguageRecord& record : language_records_) {
    if (SameLanguage(record.language, language)) {
      if (!record.description.empty()) return record.description;
      break;
    }
  }
  const WideString english(kEnglish);
  for (const LanguageRecord& record : language_records_) {
    if (SameLanguage(record.language, english)) return record.description;
  }
  return WideString();
}

ErrorCode KitReader::InflateKit(const WideString& kit_path,
                                const WideString& container_path) {
  KitFailure ignored;
  return InflateKit(kit_path, container_path, &ignored);
}

ErrorCode KitReader::InflateKit(const WideString& kit_path,
                                const WideString& container_path,
                                KitFailure* failure) {
  auto refused = [failure](const WideString& path, int error) {
    failure->path = ToNarrow(path).c_str();
    failure->system_error = error;
  };
  FileHandle kit = kInvalidFileHandle;
  ErrorCode code = FileOpen(kit_path, kFileAccessRead, 0, kFileOpenExisting,
                            &kit, kFlagSequentialScan | kAttributeNormal);
  if (code != kSuccess) {
    refused(kit_path, errno);
    return code;
  }
  FileHandle container = kInvalidFileHandle;
  code = OpenContainerFile(container_path, O_WRONLY, &container);
  if (code != kSuccess) {
    refused(container_path, errno);
    FileClose(kit);
    return code;
  }
  uint64_t total = 0;
  {
    Inflation pipe(container);
    const ErrorCode read = InflateInto(kit, &pipe);
    const int read_errno = errno;
    pipe.EndInput();
    pipe.Finish(read);
    // A failed write is the cause whenever there is one: the inflation only
    // stopped because of it.
    code = pipe.WaitForEnd(&total);
    if (pipe.write_errno() != 0) {
      refused(container_path, pipe.write_errno());
    } else if (read != kSuccess && read != kErrorInvalidData) {
      refused(kit_path, read_errno);
    }
  }
  // The container may have been longer than what was inflated into it.
  if (code == kSuccess &&
      Sys().Ftruncate(container, static_cast<off_t>(total)) != 0) {
    code = LastErrnoCode();
    refused(container_path, errno);
  }
  // A late write error (delayed allocation on a full disk) can surface here.
  const ErrorCode closed = FileClose(container);
  if (code == kSuccess && closed != kSuccess) {
    code = closed;
    refused(container_path, errno);
  }
  FileClose(kit);
  return code;
}

ErrorCode KitReader::ExtractEntry(uint32_t index,
                                  const WideString& destination) {
  KitEntry entry;
  ErrorCode code = ReadEntry(index, &entry);
  if (code != kSuccess) return code;
  if (container_fd_ == kInvalidFileHandle) return kErrorInvalidHandle;
  // An older file, longer or shorter, must end up holding exactly the
  // entry's bytes. Emptying it as it is opened does that without a separate
  // cut after the copy, which would cost a system call for every file.
  const NarrowString path = ToNarrow(destination);
  const FileHandle out =
      Sys().Open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0660);
  if (out == kInvalidFileHandle) return LastErrnoCode();
  code = CopyEntryTo(entry, out);
  const ErrorCode closed = FileClose(out);
  return code != kSuccess ? code : closed;
}

ErrorCode KitReader::CopyEntryTo(const KitEntry& entry,
                                 FileHandle destination) {
  if (container_fd_ == kInvalidFileHandle) return kErrorInvalidHandle;
  const uint64_t end = entry.offset + entry.size;
  ErrorCode code = kSuccess;
  if (handed_off_) {
    // The part written before the hand-over is in the container, the rest
    // comes from the inflation.
    if (entry.offset < stream_start_) {
      const uint64_t stored_end = std::min(end, stream_start_);
      code = CopyToFile(entry.offset,
                        static_cast<uint32_t>(stored_end - entry.offset),
                        destination, stream_start_);
    }
    if (code == kSuccess && end > stream_start_) {
      const uint64_t from = std::max(entry.offset, stream_start_);
      code = inflation_->CopyOut(from, end - from, destination);
    }
  } else {
    uint64_t available = container_size_;
    if (inflation_ != nullptr) code = inflation_->WaitFor(end, &available);
    if (code == kSuccess) {
      code = CopyToFile(entry.offset, entry.size, destination, available);
    }
  }
  // A time that cannot be set does not make the copy fail: the file is
  // merely copied again on a later run.
  if (code == kSuccess)
    FileSetTime(destination, nullptr, nullptr, &entry.last_write);
  return code;
}

ErrorCode KitReader::CopyToFile(uint64_t offset, uint32_t size,
                                FileHandle destination,
                                uint64_t available_end) {
  if (size <= kBufferedEntryMax || !kernel_copy_)
    return CopyThroughBuffer(offset, size, destination, available_end);
  off_t from = static_cast<off_t>(offset);
  uint64_t remaining = size;
  while (remaining > 0) {
    const ssize_t copied = Sys().CopyFileRange(container_fd_, &from,
                                               destination, nullptr, remaining);
    if (copied > 0) {
      remaining -= static_cast<uint64_t>(copied);
      continue;
    }
    if (copied < 0) {
      const int error = errno;
      if (error != EXDEV && error != ENOSYS && error != EINVAL &&
          error != EOPNOTSUPP) {
        return ErrorFromErrno(error);
      }
      kernel_copy_ = false;
    }
    // The kernel cannot copy here, or found no bytes: the buffered copy
    // takes over and tells an early end of the container from a file system
    // that merely declines.
    break;
  }
  return CopyThroughBuffer(static_cast<uint64_t>(from), remaining, destination,
                           available_end);
}

ErrorCode KitReader::CopyThroughBuffer(uint64_t offset, uint64_t size,
                                       FileHandle destination,
                                       uint64_t available_end) {
  while (size > 0) {
    if (offset < buffer_start_ || offset >= buffer_end_) {
      // Read what this entry needs. When the entries are being copied in the
      // order they are stored, read ahead to fill the buffer: the next small
      // entries then cost no read at all. Never beyond `available_end`: a
      // streaming container may still be written there.
      uint64_t want64 = offset == sequential_end_
                            ? kCopyBufferSize
                            : std::min<uint64_t>(size, kCopyBufferSize);
      if (available_end > offset) {
        want64 = std::min(want64, available_end - offset);
      }
      const uint32_t want = static_cast<uint32_t>(want64);
      buffer_start_ = buffer_end_ = 0;
      if (Sys().Seek(container_fd_, static_cast<off_t>(offset), SEEK_SET) == -1)
        return LastErrnoCode();
      uint32_t got = 0;
      ErrorCode code =
          FileRead(container_fd_, copy_buffer_.get(), want, &got, false);
      if (code != kSuccess) return code;
      if (got == 0) return kErrorInvalidData;  // the container ended early
      buffer_start_ = offset;
      buffer_end_ = offset + got;
    }
    const uint32_t piece =
        static_cast<uint32_t>(std::min<uint64_t>(size, buffer_end_ - offset));
    uint32_t written = 0;
    ErrorCode code =
        FileWrite(destination, copy_buffer_.get() + (offset - buffer_start_),
                  piece, &written, false);
    if (code != kSuccess) return code;
    offset += piece;
    size -= piece;
    sequential_end_ = offset;
  }
  return kSuccess;
}
