// Builds kits: the container of the reader's format, deflated as a raw
// stream, and the checksum file beside a kit. kittool packs vendors' trees with
// it, and tests make their kits with it (damaged ones by editing the container
// bytes before deflating). Output is deterministic: the same input gives the
// same bytes.
#ifndef KIT_KIT_WRITER_H_
#define KIT_KIT_WRITER_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "kit/kit_format.h"
#include "platform/status.h"

class SystemApi;

// One file to put into a kit: its bytes come from `data`, or, when
// `source_path` is not empty, from that file (read while the kit is written,
// so trees larger than memory can be packed).
struct KitFileSpec {
  WideString name;  // "\\" separators
  FileTime last_write = 0;
  std::string data;
  std::string source_path;
  uint32_t size = 0;  // of source_path's file; ignored for `data`
};

struct KitSpec {
  bool single_language = false;  // layout 0: exactly one language record
  std::vector<LanguageRecord> languages;
  std::vector<KitFileSpec> files;
};

// The format's offsets and sizes are 32-bit, and other readers take them
// signed: both the inflated container and the kit file must stay below
// 2 GiB.
inline constexpr uint64_t kMaxContainerSize = 0x7FFFFFFF;
inline constexpr uint64_t kMaxKitSize = 0x7FFFFFFF;

// The container bytes of an in-memory spec (every file from `data`; sizes
// are surplus-free, a table-layout spec's flag word is 1). Returns an empty
// string when the spec does not fit kMaxContainerSize. With
// `single_language`, the first language record's language is not stored (the
// reader calls it "en"); without records, three empty strings are written.
std::string BuildContainer(const KitSpec& spec);

// Raw DEFLATE (no header, no trailer) of `bytes` at zlib `level` (0-9;
// windowBits -15, memLevel 8, default strategy: the same input gives the
// same bytes). Returns an empty string for a bad level.
std::string DeflateRaw(const std::string& bytes, int level = 6);

// Writes the kit for `spec` to `kit_path` (files from `data` or
// `source_path`), streaming: sources are read in 1 MiB chunks while they are
// deflated, so memory use does not grow with the tree. Inflated, the kit is
// exactly BuildContainer's bytes for the same files. The kit replaces
// `kit_path` in one step (ReplaceFile), so a failure leaves no partial kit.
// Fails with kInvalidArgument when the level is not 0-9 or a
// single-language spec has not exactly one record; the system's reason
// naming the file when a source cannot be read or the output cannot be
// written; kChanged naming a source that no longer has `size` bytes;
// kTooLarge when the data does not fit kMaxContainerSize / kMaxKitSize
// (checked before any source is read, except the compressed size), naming
// the file or language record where the limit is reached, or the kit. With
// `sha256_hex`, the kit's SHA-256 (hashed as it is written) goes there.
// `stopped` (when given) is asked between files and chunks and before the
// kit replaces `kit_path`: true ends it with kCancelled, nothing written.
Status WriteKit(SystemApi& sys, const KitSpec& spec,
                const std::string& kit_path, int level,
                std::string* sha256_hex = nullptr,
                const std::function<bool()>& stopped = nullptr);

// Writes the checksum file of the kit at `kit_path` (kit/kit_checksum.h):
// the line sha256sum writes for the kit's file name (ChecksumLine), in one
// step (ReplaceFile), so that it checks from the kit's directory.
Status WriteKitSidecar(SystemApi& sys, const std::string& kit_path,
                       const std::string& hex_digest);

#endif  // KIT_KIT_WRITER_H_
