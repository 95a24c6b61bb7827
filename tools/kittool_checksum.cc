#include "tools/kittool_checksum.h"

#include <cerrno>

#include "kit/checksum_file.h"
#include "kit/kit_checksum.h"
#include "kit/kit_writer.h"
#include "tools/kittool_inspect.h"

namespace {

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

int RunChecksum(SystemApi& sys, const KittoolOptions& options,
                std::ostream& out, std::ostream& err) {
  KitDigest digest;
  const Status hashed = HashFileFrom(sys, options.kit, 0, &digest);
  if (!hashed.ok()) {
    err << "kittool: cannot read \"" << options.kit
        << "\": " << ReasonOf(hashed) << "\n";
    return kExitFailure;
  }
  const std::string hex = digest.sha.HexDigest();
  const Status written = WriteKitSidecar(sys, options.kit, hex);
  if (!written.ok()) {
    const std::string& path = written.path();
    err << "kittool: cannot write the checksum file \""
        << (path.empty() ? SidecarPath(options.kit) : path)
        << "\": " << ReasonOf(written) << "\n";
    return kExitFailure;
  }
  out << ChecksumLine(hex, options.kit);
  return kExitOk;
}

std::string DescribeUnusableChecksumFile(const Status& failure) {
  const std::string& path = failure.path();
  const std::string suffix = SidecarPath("");
  std::string kit_name = BaseName(path);
  if (kit_name.size() > suffix.size()) {
    kit_name.resize(kit_name.size() - suffix.size());
  }
  std::string why;
  if (failure.error() == 0) {
    why = "it is not a SHA-256 checksum of \"" + kit_name +
          "\" in a format sha256sum checks (a line it cannot read, or a "
          "line for another file)";
  } else if (failure.error() == EINVAL) {
    why =
        "it is not a regular file in the kit's directory (a FIFO, a "
        "socket, a device, or a link that leads out of that directory "
        "or to nothing)";
  } else {
    why = ReasonOf(failure);
  }
  return "the checksum file \"" + path +
         "\" cannot be used, so the kit cannot be checked and is refused: " +
         why;
}
