#include "kit/kit_reader.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "kit/inflation_pipe.h"
#include "kit/table_reader.h"
#include "platform/system_api.h"
#include "text/text_conversion.h"

namespace {

// FileOpen flags that say how a file is used; the file layer ignores them.
constexpr uint32_t kAttributeNormal = 0x80;
constexpr uint32_t kFlagSequentialScan = 0x08000000;

// Entries up to this size are copied through the copy buffer. Kits store
// files one after another and the worker copies them in that order, so the
// buffer is filled ahead and one read serves a run of small files, each then
// costing one write. Larger entries are copied inside the kernel.
constexpr uint32_t kBufferedEntryMax = 64 * 1024;

// The container cannot grow beyond what its 32-bit offsets address, but
// while it is inflated its real size is not known; reads wait for bytes.
constexpr uint64_t kUnknownSize = ~uint64_t{0} >> 1;

const char16_t kEnglish[] = u"en";

bool SameLanguage(const WideString& a, const WideString& b) {
  return CompareNoCase(a, b) == 0;
}

// The inflating thread: inflates `kit` into `pipe`, closes the kit and
// tells the pipe how it ended.
// Closes the kit at the end unless `keep_kit` (the reader then hashes the
// rest of it from the same descriptor).
void InflateInBackground(FileHandle kit, InflationPipe* pipe, KitDigest* digest,
                         bool keep_kit) {
  const ErrorCode code = InflateInto(kit, pipe, digest);
  pipe->EndInput();
  if (!keep_kit) FileClose(kit);
  pipe->Finish(code);
}

}  // namespace

KitReader::KitReader()
    : copy_buffer_(std::make_unique<unsigned char[]>(kCopyBufferSize)) {}

KitReader::~KitReader() { Close(); }

void KitReader::Close() {
  if (inflation_ != nullptr) {
    inflation_->Abort();
    if (inflate_thread_.joinable()) inflate_thread_.join();
  }
  if (kit_ != kInvalidFileHandle) {
    FileClose(kit_);
    kit_ = kInvalidFileHandle;
  }
  cursor_.reset();
  inflation_.reset();
  container_.Close();
  mode_ = Mode::kClosed;
  handed_off_ = false;
  stream_start_ = 0;
  entries_.clear();
  entry_count_ = 0;
  next_index_ = 0;
  table_start_ = data_start_ = max_entry_end_ = container_size_ = 0;
  buffer_start_ = buffer_end_ = sequential_end_ = 0;
}

ErrorCode KitReader::NoteFailure(ErrorCode code) {
  // Besides the kit's own damage, what the system refused is named.
  if (code == kSuccess || code == kErrorInvalidData || !failure_.path.empty()) {
    return code;
  }
  const int error = errno;
  const int written = inflation_ != nullptr ? inflation_->write_errno() : 0;
  const int read = inflation_ != nullptr ? inflation_->read_errno() : 0;
  if (written != 0) {
    failure_.path = container_.location();
    failure_.system_error = written;
  } else if (read != 0) {
    failure_.path = kit_path_;
    failure_.system_error = read;
  } else if (container_.is_open()) {
    // Past the inflation only the container is read.
    failure_.path = container_.location();
    failure_.system_error = error;
  }
  return code;
}

ErrorCode KitReader::Fail(ErrorCode code) {
  NoteFailure(code);
  Close();
  return code;
}

ErrorCode KitReader::Begin(const WideString& kit_path, bool whole) {
  Close();
  // Close keeps the records for the failure path; a new kit starts without
  // the last kit's.
  language_records_.clear();
  failure_ = KitFailure();
  kit_path_ = ToNarrow(kit_path).c_str();
  kernel_copy_ = true;
  digest_.reset();
  expected_digest_.clear();
  checksum_failed_ = false;
  ErrorCode code = container_.Make(&failure_);
  if (code != kSuccess) return code;
  FileHandle kit = kInvalidFileHandle;
  code = FileOpen(kit_path, kFileAccessRead, 0, kFileOpenExisting, &kit,
                  kFlagSequentialScan | kAttributeNormal);
  if (code != kSuccess) {
    failure_.path = ToNarrow(kit_path).c_str();
    failure_.system_error = errno;
    return code;
  }
  // A checksum file that cannot serve is a damaged kit: found before
  // anything is inflated or written.
  const KitSidecar sidecar = ReadKitSidecar(kit_path_);
  if (sidecar.state == KitSidecar::State::kUnusable) {
    FileClose(kit);
    checksum_failed_ = true;
    return kErrorInvalidData;
  }
  if (sidecar.state == KitSidecar::State::kDigest) {
    expected_digest_ = sidecar.digest;
    digest_ = std::make_unique<KitDigest>();
    // What the inflation does not read is hashed from this same file, not
    // from whatever the path names by then.
    kit_ = kit;
  }
  inflation_ = std::make_unique<InflationPipe>(container_.fd());
  if (whole) inflation_->Start();
  try {
    inflate_thread_ = std::thread(InflateInBackground, kit, inflation_.get(),
                                  digest_.get(), kit_ != kInvalidFileHandle);
  } catch (const std::system_error&) {
    // No second thread to be had: inflate everything now.
    inflation_->Start();
    InflateInBackground(kit, inflation_.get(), digest_.get(),
                        kit_ != kInvalidFileHandle);
  }
  return kSuccess;
}

ErrorCode KitReader::Open(const WideString& kit_path) {
  ErrorCode code = Begin(kit_path, true);
  bool in_order = false;
  if (code == kSuccess) code = ParseTables(&in_order);
  if (code == kSuccess) code = FinishInflation();
  if (code == kSuccess) code = VerifyChecksum();
  if (code != kSuccess) return Fail(code);
  mode_ = Mode::kWhole;
  return kSuccess;
}

ErrorCode KitReader::OpenStreaming(const WideString& kit_path) {
  ErrorCode code = Begin(kit_path, false);
  bool in_order = false;
  if (code == kSuccess) code = ParseTables(&in_order);
  // Bytes stored in table order are needed once each, in the order they
  // come: the worker takes them from the inflation itself, and only the
  // tables stay on disk. Other kits are read back from the container.
  if (code == kSuccess && in_order) {
    code = inflation_->HandOff(&stream_start_);
    handed_off_ = code == kSuccess;
  }
  if (code != kSuccess) return Fail(code);
  mode_ = Mode::kStreaming;
  return kSuccess;
}

ErrorCode KitReader::Check(const WideString& kit_path) {
  ErrorCode code = OpenStreaming(kit_path);
  if (code == kSuccess) {
    code = FinishInflation();
    if (code == kSuccess) code = VerifyChecksum();
    if (code != kSuccess) return Fail(code);
  }
  Close();
  return code;
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

ErrorCode KitReader::ParseTables(bool* in_order) {
  TableReader in(&container_, kUnknownSize, inflation_.get());
  ErrorCode code = ParseLanguageTable(in);
  if (code != kSuccess) return code;
  uint32_t entry_count = 0;
  code = in.ReadU32(&entry_count);
  if (code != kSuccess) return code;
  table_start_ = in.position();
  // One pass to check every entry and find where the data area begins; the
  // entries are read again, one by one, when they are wanted.
  *in_order = true;
  uint64_t previous_end = 0;
  for (uint32_t i = 0; i < entry_count; ++i) {
    KitEntry entry;
    code = ReadEntryRecord(in, &entry);
    if (code != kSuccess) return code;
    if (entry.offset < previous_end) *in_order = false;
    previous_end = entry.offset + entry.size;
    max_entry_end_ = std::max(max_entry_end_, previous_end);
  }
  data_start_ = in.position();
  sequential_end_ = data_start_;
  entry_count_ = entry_count;
  return kSuccess;
}

ErrorCode KitReader::FinishInflation() {
  if (inflation_ == nullptr) return kSuccess;
  uint64_t total = 0;
  const ErrorCode code = inflation_->WaitForEnd(&total);
  if (code != kSuccess) return NoteFailure(code);
  if (data_start_ + max_entry_end_ > total) return kErrorInvalidData;
  if (!handed_off_) container_size_ = total;
  return kSuccess;
}

ErrorCode KitReader::VerifyChecksum() {
  if (digest_ == nullptr) return kSuccess;
  // The inflating side hashed what it read; it stops here, and the rest of
  // the kit is read for the digest alone.
  if (inflation_ != nullptr) {
    inflation_->Abort();
    if (inflate_thread_.joinable()) inflate_thread_.join();
  }
  if (HashOpenFileFrom(kit_, digest_->bytes, digest_.get()) != 0) {
    const int error = errno;
    failure_.path = kit_path_;
    failure_.system_error = error;
    return ErrorFromErrno(error);
  }
  const std::string got = digest_->sha.HexDigest();
  digest_.reset();
  if (got == expected_digest_) return kSuccess;
  checksum_failed_ = true;
  return kErrorInvalidData;
}

ErrorCode KitReader::ReadEntry(uint32_t index, KitEntry* entry) {
  if (index >= entry_count_) return kErrorInvalidParameter;
  if (index < entries_.size()) {
    *entry = entries_[index];
    return kSuccess;
  }
  if (cursor_ == nullptr || index < next_index_) {
    cursor_ = std::make_unique<TableReader>(&container_, kUnknownSize,
                                            inflation_.get(), table_start_);
    next_index_ = 0;
  }
  KitEntry read;
  for (;;) {
    const ErrorCode code = ReadEntryRecord(*cursor_, &read);
    if (code != kSuccess) {
      NoteFailure(code);
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
  if (mode_ == Mode::kClosed) return kSuccess;
  // The table was inflated whole before the open returned; a reader of its
  // own reads it again from the container.
  TableReader in(&container_, kUnknownSize, inflation_.get(), table_start_);
  for (uint32_t i = 0; i < entry_count_; ++i) {
    KitEntry entry;
    ErrorCode code = ReadEntryRecord(in, &entry);
    if (code != kSuccess) return NoteFailure(code);
    entry.offset += data_start_;
    code = visit(i, entry);
    if (code != kSuccess) return code;
  }
  return kSuccess;
}

const std::vector<KitEntry>& KitReader::entries() const {
  if (mode_ != Mode::kWhole || entries_.size() == entry_count_) {
    return entries_;
  }
  TableReader in(&container_, container_size_, nullptr, table_start_);
  entries_.reserve(entry_count_);
  for (uint32_t i = 0; i < entry_count_; ++i) {
    KitEntry entry;
    // The table was read once already; it reads the same again.
    if (ReadEntryRecord(in, &entry) != kSuccess) break;
    entry.offset += data_start_;
    entries_.push_back(std::move(entry));
  }
  return entries_;
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
  // An existing file, never made again under its name, never written
  // through a link put in its place.
  const NarrowString name = ToNarrow(container_path);
  const int container = Sys().Open(
      name.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0);
  if (container == -1) {
    code = ErrorFromErrno(errno);
    refused(container_path, errno);
    FileClose(kit);
    return code;
  }
  uint64_t total = 0;
  {
    InflationPipe pipe(container);
    pipe.Start();
    const ErrorCode read = InflateInto(kit, &pipe);
    pipe.EndInput();
    pipe.Finish(read);
    // A failed write is the cause whenever there is one: the inflation only
    // stopped because of it.
    code = pipe.WaitForEnd(&total);
    if (pipe.write_errno() != 0) {
      refused(container_path, pipe.write_errno());
    } else if (pipe.read_errno() != 0) {
      refused(kit_path, pipe.read_errno());
    }
  }
  // The container may have been longer than what was inflated into it.
  if (code == kSuccess &&
      Sys().Ftruncate(container, static_cast<off_t>(total)) != 0) {
    code = ErrorFromErrno(errno);
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
  if (!container_.is_open()) return kErrorInvalidHandle;
  // An older file, longer or shorter, must end up holding exactly the
  // entry's bytes. Emptying it as it is opened does that without a separate
  // cut after the copy, which would cost a system call for every file.
  const NarrowString path = ToNarrow(destination);
  const FileHandle out =
      Sys().Open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0660);
  if (out == kInvalidFileHandle) return ErrorFromErrno(errno);
  code = CopyEntryTo(entry, out);
  const ErrorCode closed = FileClose(out);
  return code != kSuccess ? code : closed;
}

ErrorCode KitReader::CopyEntryTo(const KitEntry& entry,
                                 FileHandle destination) {
  if (!container_.is_open()) return kErrorInvalidHandle;
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
    if (mode_ == Mode::kStreaming) {
      inflation_->Start();
      code = inflation_->WaitFor(end, &available);
    } else if (end > container_size_) {
      code = kErrorInvalidData;
    }
    if (code == kSuccess) {
      code = CopyToFile(entry.offset, entry.size, destination, available);
    }
  }
  // The inflation's own failures (the kit unreadable, the container full)
  // are named as such, not as the destination's.
  if (code != kSuccess && inflation_ != nullptr &&
      (inflation_->read_errno() != 0 || inflation_->write_errno() != 0)) {
    NoteFailure(code);
  }
  // A time that cannot be set does not make the copy fail: the file is
  // merely copied again on a later run.
  if (code == kSuccess) {
    FileSetTime(destination, nullptr, nullptr, &entry.last_write);
  }
  return code;
}

ErrorCode KitReader::CopyToFile(uint64_t offset, uint32_t size,
                                FileHandle destination,
                                uint64_t available_end) {
  if (size <= kBufferedEntryMax || !kernel_copy_) {
    return CopyThroughBuffer(offset, size, destination, available_end);
  }
  off_t from = static_cast<off_t>(offset);
  uint64_t remaining = size;
  while (remaining > 0) {
    const ssize_t copied = Sys().CopyFileRange(container_.fd(), &from,
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
      // container being inflated may still be written there.
      uint64_t want64 = offset == sequential_end_
                            ? kCopyBufferSize
                            : std::min<uint64_t>(size, kCopyBufferSize);
      if (available_end > offset) {
        want64 = std::min(want64, available_end - offset);
      }
      buffer_start_ = buffer_end_ = 0;
      uint32_t got = 0;
      const ErrorCode code =
          container_.ReadAt(offset, copy_buffer_.get(),
                            static_cast<uint32_t>(want64), &got);
      if (code != kSuccess) return code;
      if (got == 0) return kErrorInvalidData;  // the container ended early
      buffer_start_ = offset;
      buffer_end_ = offset + got;
    }
    const uint32_t piece =
        static_cast<uint32_t>(std::min<uint64_t>(size, buffer_end_ - offset));
    uint32_t written = 0;
    const ErrorCode code =
        FileWrite(destination, copy_buffer_.get() + (offset - buffer_start_),
                  piece, &written, false);
    if (code != kSuccess) return code;
    offset += piece;
    size -= piece;
    sequential_end_ = offset;
  }
  return kSuccess;
}
