// The distribution kit's records, shared by the reader (the installer) and
// the writer (kittool).
//
// A kit file is one raw DEFLATE stream; inflated it is the container: all
// integers u32 little-endian, a string is a u32 count N of UTF-16LE units and
// then the N units. The first word selects the layout: 0 is the
// single-language layout (product, provider, description follow, language
// "en"); any other value is followed by a record count and records of
// {u32 size, language, product, provider, description, surplus bytes}. Then
// come an entry count and entries of {u32 size, name with "\\" separators,
// u32 time low, u32 time high, u32 offset in the data area, u32 size, surplus
// bytes}, and the data area with the files' bytes.
#ifndef KIT_KIT_FORMAT_H_
#define KIT_KIT_FORMAT_H_

#include <cstdint>

#include "platform/file_io.h"
#include "text/wide_string.h"

// The kit file's name beside the installer.
inline constexpr char kKitFileName[] = "tqkt.efd";

// What the welcome page and the final step show for one UI language.
struct LanguageRecord {
  WideString language;
  WideString product;
  WideString provider;
  WideString description;
};

// One file of the kit.
struct KitEntry {
  WideString name;      // relative path, "\\" as separator
  FileTime last_write;  // 100 ns since 1601-01-01 UTC
  uint64_t offset;      // absolute position in the container after Open
  uint32_t size;
};

#endif  // KIT_KIT_FORMAT_H_
