#include "kit/kit_writer.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "kit/checksum_file.h"
#include "kit/kit_checksum.h"
#include "platform/file_operations.h"
#include "platform/system_api.h"
#include "text/text_conversion.h"

namespace {

// Any non-zero word selects the language-table layout; 1 is what we write.
constexpr uint32_t kLanguageTableLayout = 1;
// Raw deflate: no zlib header, no checksum, 32 KiB history.
constexpr int kRawWindowBits = -15;
constexpr int kMemLevel = 8;
// Sources are read and deflated in chunks of this size, so memory use does
// not grow with the tree.
constexpr size_t kChunkSize = 1 << 20;

void AppendU32(std::string* out, uint32_t value) {
  char bytes[4] = {static_cast<char>(value & 0xFF),
                   static_cast<char>((value >> 8) & 0xFF),
                   static_cast<char>((value >> 16) & 0xFF),
                   static_cast<char>((value >> 24) & 0xFF)};
  out->append(bytes, 4);
}

void AppendString(std::string* out, const WideString& text) {
  const uint32_t count = text.length();
  AppendU32(out, count);
  const char16_t* units = text.c_str();
  for (uint32_t i = 0; i < count; ++i) {
    out->push_back(static_cast<char>(units[i] & 0xFF));
    out->push_back(static_cast<char>(units[i] >> 8));
  }
}

// Bytes a string takes in the container, 64-bit so that no length wraps.
uint64_t StringBytes(const WideString& text) {
  return 4 + 2 * static_cast<uint64_t>(text.length());
}

uint64_t FileSize(const KitFileSpec& file) {
  return file.source_path.empty() ? file.data.size() : file.size;
}

std::string Narrow(const WideString& text) {
  return std::string(ToNarrow(text).c_str());
}

Status TooLarge(const std::string& what = std::string()) {
  return Status::Of(Status::Kind::kTooLarge, what);
}

// The tables in front of the data area. kTooLarge (naming the record's
// language or the file at which the limit is reached) when a record size,
// an offset or the container itself would not fit 32 bits.
Status BuildHeader(const KitSpec& spec, std::string* header) {
  header->clear();
  if (spec.single_language) {
    AppendU32(header, 0);
    if (!spec.languages.empty()) {
      const LanguageRecord& record = spec.languages.front();
      AppendString(header, record.product);
      AppendString(header, record.provider);
      AppendString(header, record.description);
    } else {
      for (int i = 0; i < 3; ++i) AppendU32(header, 0);
    }
  } else {
    AppendU32(header, kLanguageTableLayout);
    AppendU32(header, static_cast<uint32_t>(spec.languages.size()));
    for (const LanguageRecord& record : spec.languages) {
      const uint64_t size =
          4 + StringBytes(record.language) + StringBytes(record.product) +
          StringBytes(record.provider) + StringBytes(record.description);
      if (size > kMaxContainerSize) return TooLarge(Narrow(record.language));
      AppendU32(header, static_cast<uint32_t>(size));
      AppendString(header, record.language);
      AppendString(header, record.product);
      AppendString(header, record.provider);
      AppendString(header, record.description);
    }
  }
  if (spec.files.size() > kMaxContainerSize) return TooLarge();
  AppendU32(header, static_cast<uint32_t>(spec.files.size()));
  uint64_t table_end = header->size();
  for (const KitFileSpec& file : spec.files) {
    table_end += 4 + StringBytes(file.name) + 16;
    if (table_end > kMaxContainerSize) return TooLarge();
  }
  uint64_t offset = 0;
  for (const KitFileSpec& file : spec.files) {
    const uint64_t size = FileSize(file);
    if (table_end + offset + size > kMaxContainerSize) {
      return TooLarge(Narrow(file.name));
    }
    AppendU32(header, static_cast<uint32_t>(4 + StringBytes(file.name) + 16));
    AppendString(header, file.name);
    AppendU32(header, static_cast<uint32_t>(file.last_write));
    AppendU32(header, static_cast<uint32_t>(file.last_write >> 32));
    AppendU32(header, static_cast<uint32_t>(offset));
    AppendU32(header, static_cast<uint32_t>(size));
    offset += size;
  }
  return Status::Ok();
}

// A raw deflate stream writing into a file descriptor (through `sys`) or a
// string.
class Deflater {
 public:
  Deflater(int level, SystemApi* sys, int fd, std::string* sink)
      : sys_(sys), fd_(fd), sink_(sink) {
    std::memset(&stream_, 0, sizeof(stream_));
    initialised_ = deflateInit2(&stream_, level, Z_DEFLATED, kRawWindowBits,
                                kMemLevel, Z_DEFAULT_STRATEGY) == Z_OK;
    if (!initialised_) status_ = Status::Of(Status::Kind::kInvalidArgument);
  }
  ~Deflater() {
    if (initialised_) deflateEnd(&stream_);
  }
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;

  Status Feed(const char* data, size_t size) {
    return Run(data, size, Z_NO_FLUSH);
  }
  Status Finish() { return Run(nullptr, 0, Z_FINISH); }
  uint64_t total_out() const { return written_; }
  // Every byte written to the file is hashed into `sha` too.
  void HashInto(Sha256* sha) { sha_ = sha; }

 private:
  Status Run(const char* data, size_t size, int flush) {
    if (!status_.ok()) return status_;
    // avail_in is 32-bit: hand large inputs over in pieces.
    do {
      const size_t piece = size > (1u << 30) ? (1u << 30) : size;
      stream_.next_in =
          reinterpret_cast<Bytef*>(const_cast<char*>(data ? data : ""));
      stream_.avail_in = static_cast<uInt>(piece);
      const int mode = piece == size ? flush : Z_NO_FLUSH;
      int rc;
      do {
        stream_.next_out = out_;
        stream_.avail_out = sizeof(out_);
        rc = deflate(&stream_, mode);
        if (rc == Z_STREAM_ERROR) {
          status_ = Status::Of(Status::Kind::kInvalidArgument);
          return status_;
        }
        TQ_RETURN_IF_ERROR(Emit(sizeof(out_) - stream_.avail_out));
      } while (stream_.avail_out == 0 ||
               (mode == Z_FINISH && rc != Z_STREAM_END));
      if (data) data += piece;
      size -= piece;
    } while (size > 0);
    return Status::Ok();
  }

  Status Emit(size_t count) {
    written_ += count;
    if (sha_ != nullptr) sha_->Update(out_, count);
    if (sink_) {
      sink_->append(reinterpret_cast<char*>(out_), count);
      return Status::Ok();
    }
    status_ = WriteAll(*sys_, fd_, out_, count);
    return status_;
  }

  z_stream stream_;
  bool initialised_ = false;
  Status status_;
  SystemApi* sys_;
  int fd_;
  std::string* sink_;
  uint64_t written_ = 0;
  Sha256* sha_ = nullptr;
  unsigned char out_[64 * 1024];
};

// Feeds the file at `file.source_path` to `deflater`, checking that it still
// has the size the table promised (kChanged otherwise). Each chunk is filled
// completely before it is fed, so that the stream (at level 0 its stored
// blocks follow the input pieces) does not depend on how the system splits
// the reads.
Status FeedSource(SystemApi& sys, const KitFileSpec& file, Deflater* deflater,
                  char* buffer, const std::function<bool()>& stopped) {
  const std::string& path = file.source_path;
  const int fd = sys.Open(path.c_str(), O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0) return Status::System(errno, path);
  uint64_t total = 0;
  Status status;
  bool at_end = false;
  while (status.ok() && !at_end && total <= file.size) {
    size_t filled = 0;
    while (filled < kChunkSize) {
      const ssize_t n = sys.Read(fd, buffer + filled, kChunkSize - filled);
      if (n < 0) {
        status = Status::System(errno, path);
        break;
      }
      if (n == 0) {
        at_end = true;
        break;
      }
      filled += static_cast<size_t>(n);
    }
    total += filled;
    // Bytes beyond the promised size are never fed: the table is written.
    if (!status.ok() || filled == 0 || total > file.size) break;
    if (stopped && stopped()) {
      status = Status::Of(Status::Kind::kCancelled);
      break;
    }
    status = deflater->Feed(buffer, filled);
  }
  sys.Close(fd);
  if (status.ok() && total != file.size) {
    status = Status::Of(Status::Kind::kChanged, path);
  }
  return status;
}

}  // namespace

std::string BuildContainer(const KitSpec& spec) {
  std::string container;
  if (!BuildHeader(spec, &container).ok()) return std::string();
  for (const KitFileSpec& file : spec.files) container += file.data;
  return container;
}

std::string DeflateRaw(const std::string& bytes, int level) {
  std::string out;
  Deflater deflater(level, nullptr, -1, &out);
  if (!deflater.Feed(bytes.data(), bytes.size()).ok() ||
      !deflater.Finish().ok()) {
    return std::string();
  }
  return out;
}

Status WriteKit(SystemApi& sys, const KitSpec& spec,
                const std::string& kit_path, int level,
                std::string* sha256_hex,
                const std::function<bool()>& stopped) {
  if (level < 0 || level > 9 ||
      (spec.single_language && spec.languages.size() != 1)) {
    return Status::Of(Status::Kind::kInvalidArgument);
  }
  std::string header;
  TQ_RETURN_IF_ERROR(BuildHeader(spec, &header));
  Sha256 sha;
  TQ_RETURN_IF_ERROR(ReplaceFile(sys, kit_path, [&](int fd) {
    Deflater deflater(level, &sys, fd, nullptr);
    if (sha256_hex != nullptr) deflater.HashInto(&sha);
    std::unique_ptr<char[]> buffer(new char[kChunkSize]);
    TQ_RETURN_IF_ERROR(deflater.Feed(header.data(), header.size()));
    for (const KitFileSpec& file : spec.files) {
      if (stopped && stopped()) return Status::Of(Status::Kind::kCancelled);
      TQ_RETURN_IF_ERROR(
          file.source_path.empty()
              ? deflater.Feed(file.data.data(), file.data.size())
              : FeedSource(sys, file, &deflater, buffer.get(), stopped));
    }
    TQ_RETURN_IF_ERROR(deflater.Finish());
    if (deflater.total_out() > kMaxKitSize) return TooLarge(kit_path);
    return Status::Ok();
  }, std::nullopt, stopped));
  if (sha256_hex != nullptr) *sha256_hex = sha.HexDigest();
  return Status::Ok();
}

Status WriteKitSidecar(SystemApi& sys, const std::string& kit_path,
                       const std::string& hex_digest) {
  const std::string text =
      ChecksumLine(hex_digest, kit_path.substr(kit_path.rfind('/') + 1));
  return ReplaceFile(sys, SidecarPath(kit_path), [&](int fd) {
    return WriteAll(sys, fd, text.data(), text.size());
  });
}
