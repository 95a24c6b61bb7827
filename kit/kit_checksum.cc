#include "kit/kit_checksum.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>

#include <cerrno>
#include <optional>

#include "kit/checksum_file.h"
#include "platform/beneath_dir.h"
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

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// A checksum file is a few lines; comments may make it longer, but not
// this long.
constexpr size_t kMaxSidecarSize = 64 * 1024;

KitSidecar Unusable(int error, const std::string& path) {
  KitSidecar sidecar;
  sidecar.state = KitSidecar::State::kUnusable;
  sidecar.problem = Status::Of(Status::Kind::kChecksumUnusable, path, error);
  return sidecar;
}

// The checksum file that is a link, followed only while it stays in the
// kit's directory. One that leads out of it, to nothing or to a socket
// (ENXIO) is no regular file there (EINVAL).
Status ReadLinkedSidecar(SystemApi& sys, const std::string& kit_path,
                         std::string* text) {
  BeneathDir dir(sys);
  if (dir.Open(DirectoryOf(kit_path)) != 0) return Status::System(errno);
  const Status read = ReadSmallFileBeneath(
      dir, BaseName(SidecarPath(kit_path)), text, kMaxSidecarSize);
  if (read.error() == EXDEV || read.error() == ENOENT ||
      read.error() == ENXIO) {
    return Status::System(EINVAL);
  }
  return read;
}

}  // namespace

KitSidecar ReadKitSidecar(SystemApi& sys, const std::string& kit_path) {
  const std::string path = SidecarPath(kit_path);
  struct stat status;
  if (sys.Lstat(path.c_str(), &status) != 0) {
    if (errno == ENOENT) return KitSidecar();
    return Unusable(errno, path);
  }
  // What is plainly no file is not opened at all: opening a device may do
  // something, and a socket only says ENXIO.
  if (!S_ISREG(status.st_mode) && !S_ISLNK(status.st_mode)) {
    return Unusable(S_ISDIR(status.st_mode) ? EISDIR : EINVAL, path);
  }
  // A plain file is read by its path, without following a link that may
  // have taken its place since; only a link needs the directory opened.
  std::string text;
  const Status read =
      S_ISLNK(status.st_mode)
          ? ReadLinkedSidecar(sys, kit_path, &text)
          : ReadSmallFile(sys, path, &text, kMaxSidecarSize, false);
  if (!read.ok()) return Unusable(read.error(), path);
  std::optional<std::string> digest =
      ParseChecksumFile(text, BaseName(kit_path));
  if (!digest.has_value()) return Unusable(0, path);
  KitSidecar sidecar;
  sidecar.state = KitSidecar::State::kDigest;
  sidecar.digest = std::move(*digest);
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
