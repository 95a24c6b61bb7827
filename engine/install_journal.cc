#include "engine/install_journal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/file_io.h"
#include "platform/file_operations.h"
#include "platform/system_api.h"

namespace {

constexpr char kHeader[] = "ktstp journal 4\n";
// Layout 2 had no kDirectoryTimes records, layout 3 no records written
// ahead of their steps nor paths in kFileDone and kVoid records that name
// their creation; their journals are read alike.
constexpr char kHeaderTwo[] = "ktstp journal 2\n";
constexpr char kHeaderThree[] = "ktstp journal 3\n";
constexpr uint32_t kHeaderLength = sizeof(kHeader) - 1;
static_assert(sizeof(kHeaderTwo) == sizeof(kHeader));
static_assert(sizeof(kHeaderThree) == sizeof(kHeader));
// The smallest record: kind, two lengths, the CRC, the trailing length.
constexpr uint32_t kMinRecord = 1 + 4 + 4 + 4 + 4;
// A field longer than this is no field of ours: paths are far shorter. It
// keeps a damaged length from asking for a huge buffer.
constexpr uint32_t kMaxField = 1u << 20;
// Reads go through a window of this size.
constexpr uint32_t kWindowSize = 64 * 1024;
constexpr size_t kIdentityLength = 5 * 8;

Status CorruptAt(const std::string& path) {
  return Status::Of(Status::Kind::kCorrupt, path);
}

void PutU32(std::string* out, uint32_t value) {
  const char bytes[4] = {
      static_cast<char>(value), static_cast<char>(value >> 8),
      static_cast<char>(value >> 16), static_cast<char>(value >> 24)};
  out->append(bytes, 4);
}

void PutU64(std::string* out, uint64_t value) {
  PutU32(out, static_cast<uint32_t>(value));
  PutU32(out, static_cast<uint32_t>(value >> 32));
}

uint32_t GetU32(const char* in) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(in);
  return bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) |
         (static_cast<uint32_t>(bytes[3]) << 24);
}

uint64_t GetU64(const char* in) {
  return GetU32(in) | (static_cast<uint64_t>(GetU32(in + 4)) << 32);
}

uint32_t Crc(const char* data, size_t size) {
  return static_cast<uint32_t>(
      crc32(0L, reinterpret_cast<const Bytef*>(data), static_cast<uInt>(size)));
}

bool KnownKind(char kind) {
  switch (static_cast<JournalKind>(kind)) {
    case JournalKind::kTarget:
    case JournalKind::kOwner:
    case JournalKind::kDirectoryTimes:
    case JournalKind::kCreatedDirectory:
    case JournalKind::kCreatedFile:
    case JournalKind::kFileDone:
    case JournalKind::kVoid:
    case JournalKind::kBackup:
    case JournalKind::kCommitted:
      return true;
  }
  return false;
}

// Parses the record occupying `record` (`size` bytes, trailing length
// included). False when it does not hold together.
bool ParseRecord(const char* record, uint32_t size, JournalKind* kind,
                 std::string* path, std::string* second) {
  if (size < kMinRecord || !KnownKind(record[0])) return false;
  if (GetU32(record + size - 4) != size) return false;
  const uint32_t first_length = GetU32(record + 1);
  if (first_length > size - kMinRecord) return false;
  const uint32_t second_length = GetU32(record + 5 + first_length);
  if (second_length != size - kMinRecord - first_length) return false;
  if (GetU32(record + size - 8) != Crc(record, size - 8)) return false;
  *kind = static_cast<JournalKind>(record[0]);
  path->assign(record + 5, first_length);
  second->assign(record + 9 + first_length, second_length);
  return true;
}

}  // namespace

FileIdentity IdentityOf(const struct stat& status) {
  FileIdentity identity;
  identity.device = static_cast<uint64_t>(status.st_dev);
  identity.inode = static_cast<uint64_t>(status.st_ino);
  identity.size = static_cast<uint64_t>(status.st_size);
  identity.mtime_ns = static_cast<int64_t>(status.st_mtim.tv_sec) * 1000000000 +
                      status.st_mtim.tv_nsec;
  identity.ctime_ns = static_cast<int64_t>(status.st_ctim.tv_sec) * 1000000000 +
                      status.st_ctim.tv_nsec;
  return identity;
}

std::string EncodeIdentity(const FileIdentity& identity) {
  std::string bytes;
  PutU64(&bytes, identity.device);
  PutU64(&bytes, identity.inode);
  PutU64(&bytes, identity.size);
  PutU64(&bytes, static_cast<uint64_t>(identity.mtime_ns));
  PutU64(&bytes, static_cast<uint64_t>(identity.ctime_ns));
  return bytes;
}

bool DecodeIdentity(const std::string& bytes, FileIdentity* identity) {
  if (bytes.size() != kIdentityLength) return false;
  const char* in = bytes.data();
  identity->device = GetU64(in);
  identity->inode = GetU64(in + 8);
  identity->size = GetU64(in + 16);
  identity->mtime_ns = static_cast<int64_t>(GetU64(in + 24));
  identity->ctime_ns = static_cast<int64_t>(GetU64(in + 32));
  return true;
}

std::string EncodeTimes(const struct timespec& access,
                        const struct timespec& modification) {
  std::string bytes;
  for (const struct timespec& time : {access, modification}) {
    PutU64(&bytes, static_cast<uint64_t>(time.tv_sec));
    PutU64(&bytes, static_cast<uint64_t>(time.tv_nsec));
  }
  return bytes;
}

bool DecodeTimes(const std::string& bytes, struct timespec times[2]) {
  if (bytes.size() != 32) return false;
  for (int i = 0; i < 2; ++i) {
    times[i].tv_sec = static_cast<time_t>(GetU64(bytes.data() + 16 * i));
    const uint64_t nanoseconds = GetU64(bytes.data() + 16 * i + 8);
    if (nanoseconds >= 1000000000) return false;
    times[i].tv_nsec = static_cast<long>(nanoseconds);
  }
  return true;
}

InstallJournal::~InstallJournal() { Close(); }

Status InstallJournal::Create(const std::string& path) {
  Close();
  path_ = path;
  const int fd =
      sys_.Open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd == -1) return Failed();
  // The lock before the first byte: a recovery that finds the file takes
  // the lock to tell a live owner from a gone one.
  if (sys_.Flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const Status failure = Failed();
    sys_.Close(fd);
    return failure;
  }
  Status written = WriteAll(sys_, fd, kHeader, kHeaderLength);
  if (!written.ok()) {
    sys_.Close(fd);
    return std::move(written).WithPathIfNone(path_);
  }
  fd_ = fd;
  file_length_ = kHeaderLength;
  broken_ = false;
  return Status::Ok();
}

Status InstallJournal::Adopt(int fd, const std::string& path,
                             const Visitor& visit) {
  Close();
  path_ = path;
  fd_ = fd;
  file_length_ = 0;
  broken_ = false;
  struct stat status;
  if (sys_.Fstat(fd, &status) != 0) return Failed();
  const uint64_t size = static_cast<uint64_t>(status.st_size);
  char header[kHeaderLength];
  const uint32_t header_size =
      static_cast<uint32_t>(std::min<uint64_t>(size, kHeaderLength));
  TQ_RETURN_IF_ERROR(ReadAt(0, header, header_size));
  if (std::memcmp(header, kHeader, header_size) != 0 &&
      std::memcmp(header, kHeaderTwo, header_size) != 0 &&
      std::memcmp(header, kHeaderThree, header_size) != 0) {
    return CorruptAt(path_);
  }
  // A header cut short: the owner was killed as it made the journal, which
  // holds no record yet.
  if (size < kHeaderLength) return Status::Ok();
  file_length_ = kHeaderLength;

  // Forwards through a window [window_start, window_start + window.size()).
  std::vector<char> window;
  uint64_t window_start = 0;
  auto ensure = [&](uint64_t from, uint64_t to) -> Status {
    if (from >= window_start && to <= window_start + window.size()) {
      return Status::Ok();
    }
    const uint64_t length =
        std::min<uint64_t>(std::max<uint64_t>(to - from, kWindowSize),
                           size - from);
    window_start = from;
    window.resize(length);
    return ReadAt(from, window.data(), static_cast<uint32_t>(length));
  };
  uint64_t position = kHeaderLength;
  JournalKind kind;
  std::string record_path;
  std::string second;
  while (size - position >= kMinRecord) {
    TQ_RETURN_IF_ERROR(ensure(position, position + 5));
    const uint32_t first_length = GetU32(window.data() + (position + 1 - window_start));
    if (first_length > kMaxField) break;
    if (size - position < uint64_t{kMinRecord} + first_length) break;
    TQ_RETURN_IF_ERROR(ensure(position, position + 9 + first_length));
    const uint32_t second_length =
        GetU32(window.data() + (position + 5 + first_length - window_start));
    if (second_length > kMaxField) break;
    const uint64_t record_size =
        uint64_t{kMinRecord} + first_length + second_length;
    if (size - position < record_size) break;
    TQ_RETURN_IF_ERROR(ensure(position, position + record_size));
    if (!ParseRecord(window.data() + (position - window_start),
                     static_cast<uint32_t>(record_size), &kind, &record_path,
                     &second)) {
      break;
    }
    visit(kind, record_path, second, position);
    position += record_size;
    file_length_ = position;
  }
  if (sys_.Seek(fd_, static_cast<off_t>(file_length_), SEEK_SET) == -1) {
    return Failed();
  }
  return Status::Ok();
}

Status InstallJournal::Append(JournalKind kind, const std::string& path,
                                 const std::string& second) {
  if (fd_ == -1) return Status::Of(Status::Kind::kInvalidHandle);
  if (broken_) return Status::System(EIO, path_);
  record_.clear();
  record_.push_back(static_cast<char>(kind));
  PutU32(&record_, static_cast<uint32_t>(path.size()));
  record_.append(path);
  PutU32(&record_, static_cast<uint32_t>(second.size()));
  record_.append(second);
  PutU32(&record_, Crc(record_.data(), record_.size()));
  PutU32(&record_, static_cast<uint32_t>(record_.size() + 4));
  // The descriptor's position is the file's end: every write before was
  // whole, or was cut off again below.
  Status written = WriteAll(sys_, fd_, record_.data(), record_.size());
  if (written.ok()) {
    file_length_ += record_.size();
    return Status::Ok();
  }
  // A record half in the file would hide every later one from a reader.
  // (A failed write may have written part of it whatever it reports.)
  if (sys_.Ftruncate(fd_, static_cast<off_t>(file_length_)) != 0 ||
      sys_.Seek(fd_, static_cast<off_t>(file_length_), SEEK_SET) == -1) {
    broken_ = true;
  }
  return std::move(written).WithPathIfNone(path_);
}

Status InstallJournal::Sync() {
  if (fd_ == -1) return Status::Of(Status::Kind::kInvalidHandle);
  return sys_.Fsync(fd_) == 0 ? Status::Ok() : Failed();
}

Status InstallJournal::TruncateTo(uint64_t length) {
  if (fd_ == -1) return Status::Of(Status::Kind::kInvalidHandle);
  if (length > file_length_) return Status::Of(Status::Kind::kInvalidArgument);
  if (sys_.Ftruncate(fd_, static_cast<off_t>(length)) != 0 ||
      sys_.Seek(fd_, static_cast<off_t>(length), SEEK_SET) == -1) {
    return Failed();
  }
  file_length_ = length;
  return Status::Ok();
}

Status InstallJournal::ReadAt(uint64_t position, char* out, uint32_t count) {
  if (sys_.Seek(fd_, static_cast<off_t>(position), SEEK_SET) == -1) {
    return Failed();
  }
  uint32_t got = 0;
  Status read = FileRead(sys_, fd_, out, count, &got, false);
  if (!read.ok()) return std::move(read).WithPathIfNone(path_);
  return got == count ? Status::Ok() : CorruptAt(path_);
}

Status InstallJournal::VisitNewestFirst(const Visitor& visit) {
  if (fd_ == -1) return Status::Ok();
  // The reads move the descriptor; appends after the visit go to the end.
  struct Restore {
    InstallJournal* journal;
    ~Restore() {
      journal->sys_.Seek(journal->fd_,
                         static_cast<off_t>(journal->file_length_), SEEK_SET);
    }
  } restore{this};
  // The file, through a window [window_start, window_start + window.size())
  // that slides towards the header.
  std::vector<char> window;
  uint64_t window_start = 0;
  uint64_t end = file_length_;
  JournalKind kind;
  std::string path;
  std::string second;
  auto ensure = [&](uint64_t from, uint64_t to) -> Status {
    if (from >= window_start && to <= window_start + window.size()) {
      return Status::Ok();
    }
    // Read up to kWindowSize bytes ending at `to`, more for a long record.
    const uint64_t length =
        std::max<uint64_t>(to - from, std::min<uint64_t>(kWindowSize, to));
    window_start = to - length;
    window.resize(length);
    return ReadAt(window_start, window.data(), static_cast<uint32_t>(length));
  };
  while (end > kHeaderLength) {
    if (end - kHeaderLength < kMinRecord) return CorruptAt(path_);
    TQ_RETURN_IF_ERROR(ensure(end - 4, end));
    const uint32_t size = GetU32(window.data() + (end - 4 - window_start));
    if (size > end - kHeaderLength || size < kMinRecord) return CorruptAt(path_);
    TQ_RETURN_IF_ERROR(ensure(end - size, end));
    if (!ParseRecord(window.data() + (end - size - window_start), size, &kind,
                     &path, &second)) {
      return CorruptAt(path_);
    }
    visit(kind, path, second, end - size);
    end -= size;
  }
  return Status::Ok();
}

Status InstallJournal::Failed() const { return Status::System(errno, path_); }

void InstallJournal::Close() {
  if (fd_ != -1) {
    sys_.Close(fd_);
    fd_ = -1;
  }
  file_length_ = 0;
  broken_ = false;
}
