// The kit's checksum: the SHA-256 of the kit file, given beside it in
// "<kit>.sha256" in a format sha256sum checks (kit/checksum_file.h), so that
// a kit damaged on its way to the user is refused instead of installed. The
// kit format itself is unchanged: kits without the file install as before.
#ifndef KIT_KIT_CHECKSUM_H_
#define KIT_KIT_CHECKSUM_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/status.h"

class SystemApi;

// SHA-256 in pieces, on the processor's SHA instructions where it has them.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void Update(const void* data, size_t size);
  // The digest in 64 lowercase hex digits; the object is spent after it.
  std::string HexDigest();

 private:
  struct Context;
  std::unique_ptr<Context> context_;
};

// The kit bytes hashed so far, by the one thread that reads the kit.
struct KitDigest {
  Sha256 sha;
  uint64_t bytes = 0;
};

// What the file beside a kit says.
struct KitSidecar {
  enum class State {
    kNone,      // nothing at all is at "<kit>.sha256": no check
    kDigest,    // `digest` is what the kit must hash to
    kUnusable,  // something is there but cannot serve: the kit is refused
  };
  State state = State::kNone;
  std::string digest;  // 64 lowercase hex digits, for kDigest
  // For kUnusable: kChecksumUnusable naming the checksum file, with the
  // reason platform/status.h gives for that kind.
  Status problem;
};

// "<kit_path>.sha256".
std::string SidecarPath(const std::string& kit_path);

// Reads and parses the checksum file of the kit at `kit_path`
// (ParseChecksumFile, for the kit's base name). Only when nothing is at its
// path (not even a dangling link) is there no check. Anything else must be
// a regular file of at most 64 KiB, in the kit's directory or reached by a
// link that stays there; it is opened without blocking, so a FIFO or a
// device there is refused, never waited on.
KitSidecar ReadKitSidecar(SystemApi& sys, const std::string& kit_path);

// Hashes the file at `path` from byte `from` to its end into `digest`. The
// failure names `path`.
Status HashFileFrom(SystemApi& sys, const std::string& path, uint64_t from,
                    KitDigest* digest);
// The same for the open file `fd` (positioned reads: its offset is neither
// used nor moved); the failure has no path.
Status HashOpenFileFrom(SystemApi& sys, int fd, uint64_t from,
                        KitDigest* digest);

#endif  // KIT_KIT_CHECKSUM_H_
