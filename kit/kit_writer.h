// Builds kits: the container of the reader's format, deflated as a raw
// stream. kittool packs vendors' trees with it, and tests make their kits
// with it (damaged ones by editing the container bytes before deflating).
// Output is deterministic: the same input gives the same bytes.
#ifndef KIT_KIT_WRITER_H_
#define KIT_KIT_WRITER_H_

#include <cstdint>
#include <string>
#include <vector>

#include "kit/kit_format.h"

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

// The container bytes of an in-memory spec (every file from `data`).
std::string BuildContainer(const KitSpec& spec);

// Raw DEFLATE (no header, no trailer) of `bytes` at zlib `level`.
std::string DeflateRaw(const std::string& bytes, int level = 6);

// Writes the kit for `spec` to `kit_path` (files from `data` or
// `source_path`), streaming. Returns false with a message in `error` when a
// source cannot be read, the output cannot be written, or the data does not
// fit the format's 32-bit offsets and sizes.
bool WriteKit(const KitSpec& spec, const std::string& kit_path, int level,
              std::string* error);

#endif  // KIT_KIT_WRITER_H_
