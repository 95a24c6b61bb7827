#include "kit/kit_reader.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/file_operations.h"
#include "platform/system_api.h"
#include "text/text_conversion.h"

namespace {

// FileOpen flags that say how a file is used; the file layer ignores them.
constexpr uint32_t kAttributeNormal = 0x80;
constexpr uint32_t kFlagSequentialScan = 0x08000000;

// Raw deflate: no zlib or gzip wrapper, no checksum, 32 KiB history.
constexpr int kRawWindowBits = -15;

// Inflation reads the kit in pieces of kInflateInputSize and writes the
// container in blocks of kInflateBlockSize, kInflateBlocks of them in flight
// between the inflating thread and the writing thread. Large pieces keep the
// system calls few; memory stays at about 1.3 MiB whatever the kit's size.
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

// Writes filled blocks to the container on a second thread, so that the
// disk copy overlaps the inflation instead of adding to it. The first failed
// write is kept and ends the inflation at the next block.
class ContainerWriter {
 public:
  explicit ContainerWriter(FileHandle fd) : fd_(fd) {
    for (auto& block : blocks_)
      block = std::make_unique<unsigned char[]>(kInflateBlockSize);
    try {
      thread_ = std::thread(&ContainerWriter::Run, this);
    } catch (const std::system_error&) {
      // No thread to be had: every block is written by Submit itself.
    }
  }
  ~ContainerWriter() { Finish(); }
  ContainerWriter(const ContainerWriter&) = delete;
  ContainerWriter& operator=(const ContainerWriter&) = delete;

  // The next block to fill, once the writer has finished with it; null after
  // a write has failed.
  unsigned char* Acquire() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] {
      return error_ != kSuccess || queued_ < kInflateBlocks;
    });
    if (error_ != kSuccess) return nullptr;
    return blocks_[next_].get();
  }

  // Queues the first `length` bytes of the block that Acquire returned.
  void Submit(uint32_t length) {
    if (!thread_.joinable()) {
      if (error_ == kSuccess) error_ = WriteAll(blocks_[next_].get(), length);
      return;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      lengths_[next_] = length;
      next_ = (next_ + 1) % kInflateBlocks;
      ++queued_;
    }
    changed_.notify_all();
  }

  // Waits until every queued block is written; returns the first failure.
  ErrorCode Finish() {
    if (thread_.joinable()) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        closing_ = true;
      }
      changed_.notify_all();
      thread_.join();
    }
    return error_;
  }

 private:
  void Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] { return queued_ > 0 || closing_; });
      if (queued_ == 0) return;
      const int index = (next_ + kInflateBlocks - queued_) % kInflateBlocks;
      const uint32_t length = lengths_[index];
      const bool failed = error_ != kSuccess;
      lock.unlock();
      // After a failure blocks are dropped unwritten: the inflating thread
      // stops at its next Acquire.
      const ErrorCode code =
          failed ? kSuccess : WriteAll(blocks_[index].get(), length);
      lock.lock();
      if (code != kSuccess && error_ == kSuccess) error_ = code;
      --queued_;
      changed_.notify_all();
    }
  }

  ErrorCode WriteAll(const unsigned char* data, uint32_t length) {
    uint32_t written = 0;
    return FileWrite(fd_, data, length, &written, false);
  }

  const FileHandle fd_;
  std::unique_ptr<unsigned char[]> blocks_[kInflateBlocks];
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  // Guarded by mutex_: the block to fill next, how many blocks wait to be
  // written (the oldest at next_ - queued_), their lengths, the first
  // failure, and whether Finish has been called.
  int next_ = 0;
  int queued_ = 0;
  uint32_t lengths_[kInflateBlocks] = {};
  ErrorCode error_ = kSuccess;
  bool closing_ = false;
};

// Inflates everything `kit` holds up to the end of its stream into
// `container`. Returns the first failure.
ErrorCode InflateInto(FileHandle kit, FileHandle container, uint64_t* total) {
  z_stream stream;
  std::memset(&stream, 0, sizeof(stream));
  if (inflateInit2(&stream, kRawWindowBits) != Z_OK)
    return kErrorInvalidParameter;
  auto input = std::make_unique<unsigned char[]>(kInflateInputSize);
  ErrorCode code = kSuccess;
  int z = Z_OK;
  {
    ContainerWriter writer(container);
    unsigned char* block = nullptr;
    uint32_t filled = 0;
    while (code == kSuccess && z != Z_STREAM_END) {
      uint32_t got = 0;
      code = FileRead(kit, input.get(), kInflateInputSize, &got, false);
      // The end of the kit before the end of the stream is not judged here:
      // the tables and entries are checked against what was inflated.
      if (code != kSuccess || got == 0) break;
      stream.next_in = input.get();
      stream.avail_in = got;
      while (stream.avail_in > 0 && z != Z_STREAM_END) {
        if (block == nullptr) {
          block = writer.Acquire();
          if (block == nullptr) break;
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
          writer.Submit(filled);
          *total += filled;
          block = nullptr;
        }
      }
      if (block == nullptr && stream.avail_in > 0 && z != Z_STREAM_END &&
          code == kSuccess) {
        break;  // the writer failed; Finish reports it
      }
    }
    if (block != nullptr && filled > 0 && code == kSuccess) {
      writer.Submit(filled);
      *total += filled;
    }
    const ErrorCode written = writer.Finish();
    // A failed write is the cause whenever there is one: the inflation only
    // stopped because of it.
    if (written != kSuccess) code = written;
  }
  inflateEnd(&stream);
  return code;
}

// Reads the container's tables front to back through a buffer, refusing to
// read beyond the container's end or beyond the body of the record or entry
// being parsed.
class TableReader {
 public:
  TableReader(FileHandle fd, uint64_t size)
      : fd_(fd),
        size_(size),
        buffer_(std::make_unique<unsigned char[]>(kTableBufferSize)) {}

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
    units_.resize(count);
    raw_.resize(bytes);
    code = Read(raw_.data(), bytes);
    if (code != kSuccess) return code;
    for (uint32_t i = 0; i < count; ++i)
      units_[i] = static_cast<char16_t>(raw_[2 * i] | (raw_[2 * i + 1] << 8));
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
      if (Sys().Seek(fd_, static_cast<off_t>(target), SEEK_SET) == -1)
        return LastErrnoCode();
      begin_ = end_ = 0;
    }
    position_ = target;
    return kSuccess;
  }

 private:
  ErrorCode Fill() {
    uint32_t got = 0;
    ErrorCode code =
        FileRead(fd_, buffer_.get(), kTableBufferSize, &got, false);
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
  std::unique_ptr<unsigned char[]> buffer_;
  uint32_t begin_ = 0;
  uint32_t end_ = 0;
  uint64_t position_ = 0;
  std::vector<char16_t> units_;
  std::vector<unsigned char> raw_;
};

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

}  // namespace

KitReader::KitReader()
    : copy_buffer_(std::make_unique<unsigned char[]>(kCopyBufferSize)) {}

KitReader::~KitReader() { Close(); }

void KitReader::Close() {
  entries_.clear();
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

ErrorCode KitReader::Open(const WideString& kit_path) {
  Close();
  kernel_copy_ = true;
  WideString temp_dir;
  ErrorCode code = GetTempDirectory(&temp_dir);
  if (code != kSuccess) return Fail(code);
  code = MakeTempFile(temp_dir, u"edf", &container_path_);
  if (code != kSuccess) return Fail(code);
  code = InflateKit(kit_path, container_path_);
  if (code != kSuccess) return Fail(code);
  code = FileOpen(container_path_, kFileAccessRead | kFileAccessWrite, 0,
                  kFileOpenExisting, &container_fd_, kAttributeNormal);
  if (code != kSuccess) return Fail(code);
  struct stat status;
  if (Sys().Fstat(container_fd_, &status) != 0) return Fail(LastErrnoCode());
  container_size_ = static_cast<uint64_t>(status.st_size);
  code = ParseTables();
  if (code != kSuccess) return Fail(code);
  return kSuccess;
}

ErrorCode KitReader::ParseTables() {
  TableReader in(container_fd_, container_size_);
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

  uint32_t entry_count = 0;
  code = in.ReadU32(&entry_count);
  if (code != kSuccess) return code;
  // Every entry takes at least 24 bytes; a count that cannot fit is refused
  // before anything is reserved for it.
  if (entry_count > (in.size() - in.position()) / 24) return kErrorInvalidData;
  entries_.reserve(entry_count);
  for (uint32_t i = 0; i < entry_count; ++i) {
    uint32_t entry_size = 0;
    code = in.ReadU32(&entry_size);
    if (code != kSuccess) return code;
    if (entry_size < 4) return kErrorInvalidData;
    const uint64_t body_end = in.position() + (entry_size - 4);
    if (body_end > in.size()) return kErrorInvalidData;
    KitEntry entry;
    code = in.ReadString(body_end, &entry.name);
    if (code != kSuccess) return code;
    if (body_end - in.position() < 16) return kErrorInvalidData;
    uint32_t fields[4];
    for (uint32_t& field : fields) {
      code = in.ReadU32(&field);
      if (code != kSuccess) return code;
    }
    code = in.SkipTo(body_end);
    if (code != kSuccess) return code;
    if (!IsSafeEntryName(entry.name)) return kErrorInvalidData;
    entry.last_write = fields[0] | (static_cast<uint64_t>(fields[1]) << 32);
    entry.offset = fields[2];
    entry.size = fields[3];
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
  sequential_end_ = data_start;
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
  FileHandle kit = kInvalidFileHandle;
  ErrorCode code = FileOpen(kit_path, kFileAccessRead, 0, kFileOpenExisting,
                            &kit, kFlagSequentialScan | kAttributeNormal);
  if (code != kSuccess) return code;
  FileHandle container = kInvalidFileHandle;
  code = FileOpen(container_path, kFileAccessWrite, 0, kFileCreateAlways,
                  &container, kAttributeNormal);
  if (code != kSuccess) {
    FileClose(kit);
    return code;
  }
  uint64_t total = 0;
  code = InflateInto(kit, container, &total);
  // The container may have been longer than what was inflated into it.
  if (code == kSuccess &&
      Sys().Ftruncate(container, static_cast<off_t>(total)) != 0) {
    code = LastErrnoCode();
  }
  // A late write error (delayed allocation on a full disk) can surface here.
  const ErrorCode closed = FileClose(container);
  if (code == kSuccess) code = closed;
  FileClose(kit);
  return code;
}

ErrorCode KitReader::ExtractEntry(uint32_t index,
                                  const WideString& destination) {
  if (index >= entries_.size()) return kErrorInvalidParameter;
  if (container_fd_ == kInvalidFileHandle) return kErrorInvalidHandle;
  const KitEntry& entry = entries_[index];
  // An older file, longer or shorter, must end up holding exactly the
  // entry's bytes. Emptying it as it is opened does that without a separate
  // cut after the copy, which would cost a system call for every file.
  const NarrowString path = ToNarrow(destination);
  const FileHandle out =
      Sys().Open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0660);
  if (out == kInvalidFileHandle) return LastErrnoCode();
  ErrorCode code = CopyToFile(entry.offset, entry.size, out);
  // A time that cannot be set does not make the copy fail: the file is
  // merely copied again on a later run.
  if (code == kSuccess) FileSetTime(out, nullptr, nullptr, &entry.last_write);
  const ErrorCode closed = FileClose(out);
  return code != kSuccess ? code : closed;
}

ErrorCode KitReader::CopyToFile(uint64_t offset, uint32_t size,
                                FileHandle destination) {
  if (size <= kBufferedEntryMax || !kernel_copy_)
    return CopyThroughBuffer(offset, size, destination);
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
  return CopyThroughBuffer(static_cast<uint64_t>(from), remaining, destination);
}

ErrorCode KitReader::CopyThroughBuffer(uint64_t offset, uint64_t size,
                                       FileHandle destination) {
  while (size > 0) {
    if (offset < buffer_start_ || offset >= buffer_end_) {
      // Read what this entry needs. When the entries are being copied in the
      // order they are stored, read ahead to fill the buffer: the next small
      // entries then cost no read at all.
      const uint64_t want64 = offset == sequential_end_
                                  ? kCopyBufferSize
                                  : std::min<uint64_t>(size, kCopyBufferSize);
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
