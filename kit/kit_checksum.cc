#include "kit/kit_checksum.h"

#include <fcntl.h>
#include <openssl/evp.h>

#include <cerrno>

#include "platform/file_operations.h"
#include "platform/system_api.h"

struct Sha256::Context {
  EVP_MD_CTX* md = nullptr;
};

Sha256::Sha256() : context_(std::make_unique<Context>()) {
  context_->md = EVP_MD_CTX_new();
  if (context_->md != nullptr) {
    EVP_DigestInit_ex(context_->md, EVP_sha256(), nullptr);
  }
}

Sha256::~Sha256() { EVP_MD_CTX_free(context_->md); }

void Sha256::Update(const void* data, size_t size) {
  if (context_->md != nullptr) EVP_DigestUpdate(context_->md, data, size);
}

std::string Sha256::HexDigest() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  // Without a context nothing was hashed: an empty digest matches no
  // sidecar, so the kit is refused rather than waved through.
  if (context_->md == nullptr ||
      EVP_DigestFinal_ex(context_->md, digest, &length) != 1) {
    return std::string();
  }
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 15];
  }
  return hex;
}

std::string SidecarPath(const std::string& kit_path) {
  return kit_path + ".sha256";
}

namespace {

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool IsHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') ||
         (c >= 'A' && c <= 'F');
}

// A sidecar is one short line; anything longer is not one.
constexpr size_t kMaxSidecarSize = 4096;

}  // namespace

KitSidecar ReadKitSidecar(SystemApi& sys, const std::string& kit_path) {
  KitSidecar sidecar;
  std::string text;
  const Status read =
      ReadSmallFile(sys, SidecarPath(kit_path), &text, kMaxSidecarSize);
  if (!read.ok()) {
    if (read.error() != ENOENT) sidecar.state = KitSidecar::State::kUnusable;
    return sidecar;
  }
  sidecar.state = KitSidecar::State::kUnusable;
  if (!text.empty() && text.back() == '\n') text.pop_back();
  // "<64 hex>" " " (" " | "*") "<name>"
  if (text.size() < 67 || text[64] != ' ' ||
      (text[65] != ' ' && text[65] != '*')) {
    return sidecar;
  }
  for (size_t i = 0; i < 64; ++i) {
    if (!IsHex(text[i])) return sidecar;
  }
  if (text.compare(66, std::string::npos, BaseName(kit_path)) != 0) {
    return sidecar;
  }
  sidecar.digest = text.substr(0, 64);
  for (char& c : sidecar.digest) {
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
  }
  sidecar.state = KitSidecar::State::kDigest;
  return sidecar;
}

Status HashFileFrom(SystemApi& sys, const std::string& path, uint64_t from,
                    KitDigest* digest) {
  const int fd = sys.Open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY, 0);
  if (fd == -1) return Status::System(errno, path);
  Status status = HashOpenFileFrom(sys, fd, from, digest);
  sys.Close(fd);
  return std::move(status).WithPathIfNone(path);
}

Status HashOpenFileFrom(SystemApi& sys, int fd, uint64_t from,
                        KitDigest* digest) {
  constexpr size_t kPiece = 256 * 1024;
  auto buffer = std::make_unique<unsigned char[]>(kPiece);
  uint64_t offset = from;
  for (;;) {
    const ssize_t n =
        sys.PRead(fd, buffer.get(), kPiece, static_cast<off_t>(offset));
    if (n < 0) return Status::System(errno);
    if (n == 0) return Status::Ok();
    digest->sha.Update(buffer.get(), static_cast<size_t>(n));
    digest->bytes += static_cast<uint64_t>(n);
    offset += static_cast<uint64_t>(n);
  }
}
