// The kit's checksum: the SHA-256 of the kit file, given beside it in
// "<kit>.sha256" in the format sha256sum writes and checks ("<64 hex
// digits>  <kit file name>" and a line feed), so that a kit damaged on its
// way to the user is refused instead of installed. The kit format itself is
// unchanged: kits without the file install as before.
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
    kNone,      // there is no "<kit>.sha256": no check
    kDigest,    // `digest` is what the kit must hash to
    kUnusable,  // unreadable, malformed or naming another file: the kit
                // counts as damaged
  };
  State state = State::kNone;
  std::string digest;  // 64 lowercase hex digits, for kDigest
};

// "<kit_path>.sha256".
std::string SidecarPath(const std::string& kit_path);

// Reads and parses the sidecar of the kit at `kit_path`. One line: 64 hex
// digits, a blank, a blank or "*" (the binary mark), the kit's own file
// name, an optional line feed; nothing else.
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
