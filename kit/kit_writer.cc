#include "kit/kit_writer.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "kit/kit_checksum.h"
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

// Writes all `size` bytes to `fd`. False with errno set when a write
// fails; one that takes nothing counts as a full disk.
bool WriteAllTo(int fd, const unsigned char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// A new file beside `target`, to be written and then renamed over it, so
// that a failure never leaves a truncated file under the target's name.
// Created 0666 less the umask, as any shipped file. Returns the descriptor,
// with the file's path in *part_path; -1 with a message in *error.
int CreatePartFile(const std::string& target, std::string* part_path,
                   std::string* error) {
  int fd = -1;
  for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
    *part_path = target + ".part" + std::to_string(getpid()) + "-" +
                 std::to_string(attempt);
    fd =
        open(part_path->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    *error = "cannot create \"" + *part_path + "\": " + std::strerror(errno);
  }
  return fd;
}

// Closes the file CreatePartFile made and, when it was written whole (`ok`),
// renames it over `target`; otherwise, or when closing or renaming fails,
// removes it. A failed close is reported as `write_failure` and the reason.
// Returns whether `target` was replaced.
bool FinishPartFile(int fd, const std::string& part_path,
                    const std::string& target, bool ok,
                    const std::string& write_failure, std::string* error) {
  if (close(fd) != 0 && ok) {
    *error = write_failure + std::strerror(errno);
    ok = false;
  }
  if (ok && rename(part_path.c_str(), target.c_str()) != 0) {
    *error = "cannot create \"" + target + "\": " + std::strerror(errno);
    ok = false;
  }
  if (!ok) unlink(part_path.c_str());
  return ok;
}

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

// The tables in front of the data area. Fails (with a message) when a record
// size, an offset or the container itself would not fit 32 bits.
bool BuildHeader(const KitSpec& spec, std::string* header, std::string* error) {
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
      if (size > kMaxContainerSize) {
        *error = "the texts of language record \"" + Narrow(record.language) +
                 "\" are too long for the kit format";
        return false;
      }
      AppendU32(header, static_cast<uint32_t>(size));
      AppendString(header, record.language);
      AppendString(header, record.product);
      AppendString(header, record.provider);
      AppendString(header, record.description);
    }
  }
  if (spec.files.size() > kMaxContainerSize) {
    *error = "too many files for the kit format";
    return false;
  }
  AppendU32(header, static_cast<uint32_t>(spec.files.size()));
  uint64_t table_end = header->size();
  for (const KitFileSpec& file : spec.files) {
    table_end += 4 + StringBytes(file.name) + 16;
    if (table_end > kMaxContainerSize) {
      *error = "the file table is too large for the kit format";
      return false;
    }
  }
  uint64_t offset = 0;
  for (const KitFileSpec& file : spec.files) {
    const uint64_t size = FileSize(file);
    if (table_end + offset + size > kMaxContainerSize) {
      *error =
          "the files do not fit the kit format: its offsets and sizes "
          "are 32-bit and the inflated kit must stay below 2 GiB (" +
          std::to_string(kMaxContainerSize) + " bytes); the limit is " +
          "reached at \"" + Narrow(file.name) + "\"";
      return false;
    }
    AppendU32(header, static_cast<uint32_t>(4 + StringBytes(file.name) + 16));
    AppendString(header, file.name);
    AppendU32(header, static_cast<uint32_t>(file.last_write));
    AppendU32(header, static_cast<uint32_t>(file.last_write >> 32));
    AppendU32(header, static_cast<uint32_t>(offset));
    AppendU32(header, static_cast<uint32_t>(size));
    offset += size;
  }
  return true;
}

// A raw deflate stream writing into a file descriptor or a string.
class Deflater {
 public:
  Deflater(int level, int fd, std::string* sink) : fd_(fd), sink_(sink) {
    std::memset(&stream_, 0, sizeof(stream_));
    ok_ = deflateInit2(&stream_, level, Z_DEFLATED, kRawWindowBits, kMemLevel,
                       Z_DEFAULT_STRATEGY) == Z_OK;
    initialised_ = ok_;
    if (!ok_)
      error_ =
          "cannot start the compressor (level " + std::to_string(level) + ")";
  }
  ~Deflater() {
    if (initialised_) deflateEnd(&stream_);
  }
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;

  bool Feed(const char* data, size_t size) {
    return Run(data, size, Z_NO_FLUSH);
  }
  bool Finish() { return Run(nullptr, 0, Z_FINISH); }
  uint64_t total_out() const { return written_; }
  // Every byte written to the file is hashed into `sha` too.
  void HashInto(Sha256* sha) { sha_ = sha; }
  const std::string& error() const { return error_; }

 private:
  bool Run(const char* data, size_t size, int flush) {
    if (!ok_) return false;
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
          ok_ = false;
          error_ = "the compressor failed";
          return false;
        }
        if (!Emit(sizeof(out_) - stream_.avail_out)) return false;
      } while (stream_.avail_out == 0 ||
               (mode == Z_FINISH && rc != Z_STREAM_END));
      if (data) data += piece;
      size -= piece;
    } while (size > 0);
    return true;
  }

  bool Emit(size_t count) {
    written_ += count;
    if (sha_ != nullptr) sha_->Update(out_, count);
    if (sink_) {
      sink_->append(reinterpret_cast<char*>(out_), count);
      return true;
    }
    if (!WriteAllTo(fd_, out_, count)) {
      ok_ = false;
      error_ = std::string("cannot write the kit: ") + std::strerror(errno);
      return false;
    }
    return true;
  }

  z_stream stream_;
  bool initialised_ = false;
  bool ok_ = false;
  int fd_;
  std::string* sink_;
  uint64_t written_ = 0;
  Sha256* sha_ = nullptr;
  std::string error_;
  unsigned char out_[64 * 1024];
};

// Feeds the file at `file.source_path` to `deflater`, checking that it still
// has the size the table promised. Each chunk is filled completely before it
// is fed, so that the stream (at level 0 its stored blocks follow the input
// pieces) does not depend on how the system splits the reads.
bool FeedSource(const KitFileSpec& file, Deflater* deflater, char* buffer,
                std::string* error) {
  const std::string& path = file.source_path;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = "cannot open \"" + path + "\": " + std::strerror(errno);
    return false;
  }
  uint64_t total = 0;
  bool ok = true;
  bool at_end = false;
  while (ok && !at_end && total <= file.size) {
    size_t filled = 0;
    while (filled < kChunkSize) {
      const ssize_t n = read(fd, buffer + filled, kChunkSize - filled);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        *error = "cannot read \"" + path + "\": " + std::strerror(errno);
        ok = false;
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
    if (!ok || filled == 0 || total > file.size) break;
    if (!deflater->Feed(buffer, filled)) {
      *error = deflater->error();
      ok = false;
    }
  }
  close(fd);
  if (ok && total != file.size) {
    *error = "\"" + path + "\" changed while it was packed (expected " +
             std::to_string(file.size) + " bytes)";
    ok = false;
  }
  return ok;
}

}  // namespace

std::string BuildContainer(const KitSpec& spec) {
  std::string container;
  std::string error;
  if (!BuildHeader(spec, &container, &error)) return std::string();
  for (const KitFileSpec& file : spec.files) container += file.data;
  return container;
}

std::string DeflateRaw(const std::string& bytes, int level) {
  std::string out;
  Deflater deflater(level, -1, &out);
  if (!deflater.Feed(bytes.data(), bytes.size()) || !deflater.Finish()) {
    return std::string();
  }
  return out;
}

bool WriteKit(const KitSpec& spec, const std::string& kit_path, int level,
              std::string* error, std::string* sha256_hex) {
  if (level < 0 || level > 9) {
    *error = "the compression level must lie between 0 and 9";
    return false;
  }
  if (spec.single_language && spec.languages.size() != 1) {
    *error = "the single-language layout holds exactly one language record";
    return false;
  }
  std::string header;
  if (!BuildHeader(spec, &header, error)) return false;

  std::string temp_path;
  const int fd = CreatePartFile(kit_path, &temp_path, error);
  if (fd < 0) return false;
  bool ok = true;
  Sha256 sha;
  {
    Deflater deflater(level, fd, nullptr);
    if (sha256_hex != nullptr) deflater.HashInto(&sha);
    std::unique_ptr<char[]> buffer(new char[kChunkSize]);
    ok = deflater.Feed(header.data(), header.size());
    for (size_t i = 0; ok && i < spec.files.size(); ++i) {
      const KitFileSpec& file = spec.files[i];
      if (file.source_path.empty()) {
        ok = deflater.Feed(file.data.data(), file.data.size());
      } else if (!FeedSource(file, &deflater, buffer.get(), error)) {
        close(fd);
        unlink(temp_path.c_str());
        return false;
      }
    }
    ok = ok && deflater.Finish();
    if (!ok) {
      *error = deflater.error();
    } else if (deflater.total_out() > kMaxKitSize) {
      ok = false;
      *error = "the compressed kit would be " +
               std::to_string(deflater.total_out()) +
               " bytes; the installer reads at most " +
               std::to_string(kMaxKitSize);
    }
  }
  ok = FinishPartFile(fd, temp_path, kit_path, ok,
                      "cannot write the kit: ", error);
  if (ok && sha256_hex != nullptr) *sha256_hex = sha.HexDigest();
  return ok;
}

bool WriteKitSidecar(const std::string& kit_path, const std::string& hex_digest,
                     std::string* error) {
  const std::string path = SidecarPath(kit_path);
  const std::string text =
      hex_digest + "  " + kit_path.substr(kit_path.rfind('/') + 1) + "\n";
  std::string temp_path;
  const int fd = CreatePartFile(path, &temp_path, error);
  if (fd < 0) return false;
  const bool ok = WriteAllTo(
      fd, reinterpret_cast<const unsigned char*>(text.data()), text.size());
  if (!ok) {
    *error = "cannot write \"" + temp_path + "\": " + std::strerror(errno);
  }
  return FinishPartFile(fd, temp_path, path, ok,
                        "cannot write \"" + temp_path + "\": ", error);
}
