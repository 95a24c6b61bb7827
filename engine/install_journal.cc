#include "engine/install_journal.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/file_io.h"
#include "platform/system_api.h"

namespace {

constexpr char kHeader[] = "ktstp journal 1\n";
constexpr uint32_t kHeaderLength = sizeof(kHeader) - 1;
// Pending records are written once they pass this size: one write per a few
// hundred files keeps the journal's cost small next to the files' own.
constexpr size_t kBlockSize = 64 * 1024;
// The smallest record: kind, two lengths, the trailing length.
constexpr uint32_t kMinRecord = 1 + 4 + 4 + 4;
// Backwards reads go through a window of this size.
constexpr uint32_t kWindowSize = 64 * 1024;

void PutU32(std::string* out, uint32_t value) {
  const char bytes[4] = {
      static_cast<char>(value), static_cast<char>(value >> 8),
      static_cast<char>(value >> 16), static_cast<char>(value >> 24)};
  out->append(bytes, 4);
}

uint32_t GetU32(const char* in) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(in);
  return bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) |
         (static_cast<uint32_t>(bytes[3]) << 24);
}

// Parses the record occupying `record` (`size` bytes, trailing length
// included). False when it does not hold together.
bool ParseRecord(const char* record, uint32_t size, JournalKind* kind,
                 std::string* path, std::string* second) {
  if (size < kMinRecord) return false;
  const uint32_t first_length = GetU32(record + 1);
  if (first_length > size - kMinRecord) return false;
  const uint32_t second_length = GetU32(record + 5 + first_length);
  if (second_length != size - kMinRecord - first_length) return false;
  *kind = static_cast<JournalKind>(record[0]);
  path->assign(record + 5, first_length);
  second->assign(record + 9 + first_length, second_length);
  return true;
}

// Visits the records of the in-memory block `data`, newest first.
bool VisitBlock(const std::string& data, const InstallJournal::Visitor& visit) {
  uint64_t end = data.size();
  JournalKind kind;
  std::string path;
  std::string second;
  while (end > 0) {
    if (end < 4) return false;
    const uint32_t size = GetU32(data.data() + end - 4);
    if (size > end ||
        !ParseRecord(data.data() + end - size, size, &kind, &path, &second)) {
      return false;
    }
    visit(kind, path, second);
    end -= size;
  }
  return true;
}

}  // namespace

InstallJournal::~InstallJournal() { Close(); }

ErrorCode InstallJournal::Create(const std::string& path) {
  Close();
  const int fd =
      Sys().Open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd == -1) return ErrorFromErrno(errno);
  fd_ = fd;
  file_length_ = 0;
  write_failed_ = false;
  pending_.assign(kHeader, kHeaderLength);
  return kSuccess;
}

ErrorCode InstallJournal::Append(JournalKind kind, const std::string& path,
                                 const std::string& second) {
  if (fd_ == -1) return kErrorInvalidHandle;
  const size_t start = pending_.size();
  pending_.push_back(static_cast<char>(kind));
  PutU32(&pending_, static_cast<uint32_t>(path.size()));
  pending_.append(path);
  PutU32(&pending_, static_cast<uint32_t>(second.size()));
  pending_.append(second);
  PutU32(&pending_, static_cast<uint32_t>(pending_.size() - start + 4));
  if (write_failed_) return kErrorInvalidParameter;
  if (pending_.size() < kBlockSize) return kSuccess;
  return Flush();
}

ErrorCode InstallJournal::Flush() {
  // The descriptor's position may have moved past file_length_ with a write
  // that failed half-way; every block says where it goes.
  if (Sys().Seek(fd_, static_cast<off_t>(file_length_), SEEK_SET) == -1) {
    write_failed_ = true;
    return ErrorFromErrno(errno);
  }
  uint32_t written = 0;
  const ErrorCode code =
      FileWrite(fd_, pending_.data(), static_cast<uint32_t>(pending_.size()),
                &written, false);
  if (code != kSuccess) {
    write_failed_ = true;
    return code;
  }
  file_length_ += pending_.size();
  pending_.clear();
  return kSuccess;
}

ErrorCode InstallJournal::ReadAt(uint64_t position, char* out, uint32_t count) {
  if (Sys().Seek(fd_, static_cast<off_t>(position), SEEK_SET) == -1) {
    return ErrorFromErrno(errno);
  }
  uint32_t got = 0;
  const ErrorCode code = FileRead(fd_, out, count, &got, false);
  if (code != kSuccess) return code;
  return got == count ? kSuccess : kErrorInvalidData;
}

ErrorCode InstallJournal::VisitNewestFirst(const Visitor& visit) {
  if (fd_ == -1) return kSuccess;
  // The header leads the first block, in the file or still in memory.
  const bool header_in_file = file_length_ > 0;
  std::string block = pending_;
  if (!header_in_file)
    block.erase(0, std::min<size_t>(block.size(), kHeaderLength));
  if (!VisitBlock(block, visit)) return kErrorInvalidData;
  if (!header_in_file) return kSuccess;

  // The file, through a window [window_start, window_start + window.size())
  // that slides towards the header.
  std::vector<char> window;
  uint64_t window_start = 0;
  uint64_t end = file_length_;
  JournalKind kind;
  std::string path;
  std::string second;
  auto ensure = [&](uint64_t from, uint64_t to) -> ErrorCode {
    if (from >= window_start && to <= window_start + window.size()) {
      return kSuccess;
    }
    // Read up to kWindowSize bytes ending at `to`, more for a long record.
    const uint64_t length =
        std::max<uint64_t>(to - from, std::min<uint64_t>(kWindowSize, to));
    window_start = to - length;
    window.resize(length);
    return ReadAt(window_start, window.data(), static_cast<uint32_t>(length));
  };
  while (end > kHeaderLength) {
    if (end - kHeaderLength < 4) return kErrorInvalidData;
    ErrorCode code = ensure(end - 4, end);
    if (code != kSuccess) return code;
    const uint32_t size = GetU32(window.data() + (end - 4 - window_start));
    if (size > end - kHeaderLength) return kErrorInvalidData;
    code = ensure(end - size, end);
    if (code != kSuccess) return code;
    if (!ParseRecord(window.data() + (end - size - window_start), size, &kind,
                     &path, &second)) {
      return kErrorInvalidData;
    }
    visit(kind, path, second);
    end -= size;
  }
  return kSuccess;
}

void InstallJournal::Close() {
  if (fd_ != -1) {
    Sys().Close(fd_);
    fd_ = -1;
  }
  pending_.clear();
  pending_.shrink_to_fit();
  file_length_ = 0;
  write_failed_ = false;
}
