#include "kit/kit_reader.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "kit/inflation_pipe.h"
#include "kit/table_reader.h"
#include "platform/file_operations.h"
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

Status Damaged() { return Status::Of(Status::Kind::kDamagedKit); }

bool SameLanguage(const WideString& a, const WideString& b) {
  return CompareNoCase(a, b) == 0;
}

// The inflating thread: inflates `kit` into `pipe`, closes the kit unless
// `keep_kit` (the reader then hashes the rest of it from the same
// descriptor), and tells the pipe how it ended.
void InflateInBackground(FileHandle kit, InflationPipe* pipe, KitDigest* digest,
                         bool keep_kit) {
  Status result = InflateInto(kit, pipe, digest);
  pipe->EndInput();
  if (!keep_kit) (void)FileClose(pipe->sys(), kit);
  pipe->Finish(std::move(result));
}

}  // namespace

KitReader::KitReader(SystemApi& sys)
    : sys_(sys),
      container_(sys),
      copy_buffer_(std::make_unique<unsigned char[]>(kCopyBufferSize)) {}

KitReader::~KitReader() { Close(); }

void KitReader::Close() {
  if (inflation_ != nullptr) {
    inflation_->Abort();
    if (inflate_thread_.joinable()) inflate_thread_.join();
  }
  if (kit_ != kInvalidFileHandle) {
    (void)FileClose(sys_, kit_);
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

Status KitReader::Explain(Status status) {
  // A kit that looks short because the container could not be written or
  // the kit read is no damaged kit: the failure that stopped the inflation
  // is what happened.
  if (status.ok() || inflation_ == nullptr) return status;
  Status cause = inflation_->io_failure();
  return cause.ok() ? status : cause;
}

Status KitReader::Fail(Status status) {
  status = Explain(std::move(status));
  Close();
  return status;
}

Status KitReader::Begin(const WideString& kit_path, bool whole) {
  Close();
  // Close keeps the records for the failure path; a new kit starts without
  // the last kit's.
  language_records_.clear();
  kit_path_ = ToNarrow(kit_path).c_str();
  kernel_copy_ = true;
  digest_.reset();
  expected_digest_.clear();
  TQ_RETURN_IF_ERROR(container_.Make());
  FileHandle kit = kInvalidFileHandle;
  TQ_RETURN_IF_ERROR(FileOpen(sys_, kit_path, kFileAccessRead, 0,
                              kFileOpenExisting, &kit,
                              kFlagSequentialScan | kAttributeNormal));
  // A checksum file that cannot serve is a damaged kit: found before
  // anything is inflated or written.
  const KitSidecar sidecar = ReadKitSidecar(sys_, kit_path_);
  if (sidecar.state == KitSidecar::State::kUnusable) {
    (void)FileClose(sys_, kit);
    return sidecar.problem;
  }
  if (sidecar.state == KitSidecar::State::kDigest) {
    expected_digest_ = sidecar.digest;
    digest_ = std::make_unique<KitDigest>();
    // What the inflation does not read is hashed from this same file, not
    // from whatever the path names by then.
    kit_ = kit;
  }
  inflation_ = std::make_unique<InflationPipe>(sys_, container_.fd(),
                                               container_.location(), kit_path_);
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
  return Status::Ok();
}

Status KitReader::Open(const WideString& kit_path) {
  Status status = Begin(kit_path, true);
  bool in_order = false;
  if (status.ok()) status = ParseTables(&in_order);
  if (status.ok()) status = FinishInflation();
  if (status.ok()) status = VerifyChecksum();
  if (!status.ok()) return Fail(std::move(status));
  mode_ = Mode::kWhole;
  return Status::Ok();
}

Status KitReader::OpenStreaming(const WideString& kit_path) {
  Status status = Begin(kit_path, false);
  bool in_order = false;
  if (status.ok()) status = ParseTables(&in_order);
  // Bytes stored in table order are needed once each, in the order they
  // come: the worker takes them from the inflation itself, and only the
  // tables stay on disk. Other kits are read back from the container.
  if (status.ok() && in_order) {
    status = inflation_->HandOff(&stream_start_);
    handed_off_ = status.ok();
  }
  if (!status.ok()) return Fail(std::move(status));
  mode_ = Mode::kStreaming;
  return Status::Ok();
}

Status KitReader::Check(const WideString& kit_path) {
  Status status = OpenStreaming(kit_path);
  if (status.ok()) {
    status = FinishInflation();
    if (status.ok()) status = VerifyChecksum();
    if (!status.ok()) return Fail(std::move(status));
  }
  Close();
  return status;
}

Status KitReader::ParseLanguageTable(TableReader& in) {
  uint32_t layout = 0;
  TQ_RETURN_IF_ERROR(in.ReadU32(&layout));
  if (layout == 0) {
    LanguageRecord record;
    record.language = kEnglish;
    for (WideString* field :
         {&record.product, &record.provider, &record.description}) {
      TQ_RETURN_IF_ERROR(in.ReadString(in.size(), field));
    }
    language_records_.push_back(std::move(record));
    return Status::Ok();
  }
  uint32_t record_count = 0;
  TQ_RETURN_IF_ERROR(in.ReadU32(&record_count));
  for (uint32_t i = 0; i < record_count; ++i) {
    uint32_t record_size = 0;
    TQ_RETURN_IF_ERROR(in.ReadU32(&record_size));
    if (record_size < 4) return Damaged();
    const uint64_t body_end = in.position() + (record_size - 4);
    if (body_end > in.size()) return Damaged();
    LanguageRecord record;
    for (WideString* field : {&record.language, &record.product,
                              &record.provider, &record.description}) {
      TQ_RETURN_IF_ERROR(in.ReadString(body_end, field));
    }
    TQ_RETURN_IF_ERROR(in.SkipTo(body_end));
    language_records_.push_back(std::move(record));
  }
  return Status::Ok();
}

Status KitReader::ParseTables(bool* in_order) {
  TableReader in(&container_, kUnknownSize, inflation_.get());
  TQ_RETURN_IF_ERROR(ParseLanguageTable(in));
  uint32_t entry_count = 0;
  TQ_RETURN_IF_ERROR(in.ReadU32(&entry_count));
  table_start_ = in.position();
  // One pass to check every entry and find where the data area begins; the
  // entries are read again, one by one, when they are wanted.
  *in_order = true;
  uint64_t previous_end = 0;
  for (uint32_t i = 0; i < entry_count; ++i) {
    KitEntry entry;
    TQ_RETURN_IF_ERROR(ReadEntryRecord(in, &entry));
    if (entry.offset < previous_end) *in_order = false;
    previous_end = entry.offset + entry.size;
    max_entry_end_ = std::max(max_entry_end_, previous_end);
  }
  data_start_ = in.position();
  sequential_end_ = data_start_;
  entry_count_ = entry_count;
  return Status::Ok();
}

Status KitReader::FinishInflation() {
  if (inflation_ == nullptr) return Status::Ok();
  uint64_t total = 0;
  Status status = inflation_->WaitForEnd(&total);
  if (!status.ok()) return Explain(std::move(status));
  if (data_start_ + max_entry_end_ > total) return Damaged();
  if (!handed_off_) container_size_ = total;
  return Status::Ok();
}

Status KitReader::VerifyChecksum() {
  if (digest_ == nullptr) return Status::Ok();
  // The inflating side hashed what it read; it stops here, and the rest of
  // the kit is read for the digest alone.
  if (inflation_ != nullptr) {
    inflation_->Abort();
    if (inflate_thread_.joinable()) inflate_thread_.join();
  }
  Status hashed = HashOpenFileFrom(sys_, kit_, digest_->bytes, digest_.get());
  if (!hashed.ok()) return std::move(hashed).WithPathIfNone(kit_path_);
  const std::string got = digest_->sha.HexDigest();
  digest_.reset();
  if (got == expected_digest_) return Status::Ok();
  return Status::Of(Status::Kind::kChecksumMismatch, SidecarPath(kit_path_));
}

Status KitReader::ReadEntry(uint32_t index, KitEntry* entry) {
  if (index >= entry_count_) {
    return Status::Of(Status::Kind::kInvalidArgument);
  }
  if (index < entries_.size()) {
    *entry = entries_[index];
    return Status::Ok();
  }
  if (cursor_ == nullptr || index < next_index_) {
    cursor_ = std::make_unique<TableReader>(&container_, kUnknownSize,
                                            inflation_.get(), table_start_);
    next_index_ = 0;
  }
  KitEntry read;
  for (;;) {
    Status status = ReadEntryRecord(*cursor_, &read);
    if (!status.ok()) {
      cursor_.reset();
      return Explain(std::move(status));
    }
    if (next_index_++ == index) break;
  }
  read.offset += data_start_;
  *entry = std::move(read);
  return Status::Ok();
}

Status KitReader::VisitEntries(
    const std::function<Status(uint32_t, const KitEntry&)>& visit) {
  if (mode_ == Mode::kClosed) return Status::Ok();
  // The table was inflated whole before the open returned; a reader of its
  // own reads it again from the container.
  TableReader in(&container_, kUnknownSize, inflation_.get(), table_start_);
  for (uint32_t i = 0; i < entry_count_; ++i) {
    KitEntry entry;
    Status status = ReadEntryRecord(in, &entry);
    if (!status.ok()) return Explain(std::move(status));
    entry.offset += data_start_;
    TQ_RETURN_IF_ERROR(visit(i, entry));
  }
  return Status::Ok();
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
    if (!ReadEntryRecord(in, &entry).ok()) break;
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

Status KitReader::ExtractEntry(uint32_t index, const WideString& destination) {
  KitEntry entry;
  TQ_RETURN_IF_ERROR(ReadEntry(index, &entry));
  if (!container_.is_open()) return Status::Of(Status::Kind::kInvalidHandle);
  // An older file, longer or shorter, must end up holding exactly the
  // entry's bytes. Emptying it as it is opened does that without a separate
  // cut after the copy, which would cost a system call for every file.
  const NarrowString path = ToNarrow(destination);
  const FileHandle out =
      sys_.Open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0660);
  if (out == kInvalidFileHandle) return Status::System(errno, path.c_str());
  Status status = CopyEntryTo(entry, out);
  Status closed = FileClose(sys_, out);
  if (status.ok()) status = std::move(closed);
  return std::move(status).WithPathIfNone(path.c_str());
}

Status KitReader::CopyEntryTo(const KitEntry& entry, FileHandle destination) {
  if (!container_.is_open()) return Status::Of(Status::Kind::kInvalidHandle);
  const uint64_t end = entry.offset + entry.size;
  Status status;
  if (handed_off_) {
    // Copied in table order, the stream is never needed before this entry
    // again: the entries skipped since the last copy need not be kept. (Not
    // when an entry is read: a reader may look ahead in the table.)
    inflation_->ReleaseBefore(entry.offset);
    // The part written before the hand-over is in the container, the rest
    // comes from the inflation.
    if (entry.offset < stream_start_) {
      const uint64_t stored_end = std::min(end, stream_start_);
      status = CopyToFile(entry.offset,
                          static_cast<uint32_t>(stored_end - entry.offset),
                          destination, stream_start_);
    }
    if (status.ok() && end > stream_start_) {
      const uint64_t from = std::max(entry.offset, stream_start_);
      status = inflation_->CopyOut(from, end - from, destination);
    }
  } else {
    uint64_t available = container_size_;
    if (mode_ == Mode::kStreaming) {
      inflation_->Start();
      status = inflation_->WaitFor(end, &available);
    } else if (end > container_size_) {
      status = Damaged();
    }
    if (status.ok()) {
      status = CopyToFile(entry.offset, entry.size, destination, available);
    }
  }
  // The inflation's own failures (the kit unreadable, the container full)
  // are named as such, not as the destination's.
  if (!status.ok()) return Explain(std::move(status));
  // A time that cannot be set does not make the copy fail: the file is
  // merely copied again on a later run.
  (void)FileSetTime(sys_, destination, nullptr, nullptr, &entry.last_write);
  return Status::Ok();
}

Status KitReader::CopyToFile(uint64_t offset, uint32_t size,
                             FileHandle destination, uint64_t available_end) {
  if (size <= kBufferedEntryMax || !kernel_copy_) {
    return CopyThroughBuffer(offset, size, destination, available_end);
  }
  off_t from = static_cast<off_t>(offset);
  uint64_t remaining = size;
  while (remaining > 0) {
    const ssize_t copied = sys_.CopyFileRange(container_.fd(), &from,
                                              destination, nullptr, remaining);
    if (copied > 0) {
      remaining -= static_cast<uint64_t>(copied);
      continue;
    }
    if (copied < 0) {
      const int error = errno;
      if (error != EXDEV && error != ENOSYS && error != EINVAL &&
          error != EOPNOTSUPP) {
        return Status::System(error);
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

Status KitReader::CopyThroughBuffer(uint64_t offset, uint64_t size,
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
      TQ_RETURN_IF_ERROR(container_.ReadAt(offset, copy_buffer_.get(),
                                           static_cast<uint32_t>(want64),
                                           &got));
      if (got == 0) return Damaged();  // the container ended early
      buffer_start_ = offset;
      buffer_end_ = offset + got;
    }
    const uint32_t piece =
        static_cast<uint32_t>(std::min<uint64_t>(size, buffer_end_ - offset));
    TQ_RETURN_IF_ERROR(WriteAll(sys_, destination,
                                copy_buffer_.get() + (offset - buffer_start_),
                                piece));
    offset += piece;
    size -= piece;
    sequential_end_ = offset;
  }
  return Status::Ok();
}
