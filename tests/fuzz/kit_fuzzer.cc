// Fuzz target for the kit reader. The first byte picks what the rest is:
// even, the kit file itself (a raw DEFLATE stream as the vendor ships it);
// odd, the container, deflated here first so that the table parser is reached
// without the fuzzer having to produce valid DEFLATE. A kit that opens is
// listed, its texts are looked up and a few entries are extracted.
#include <sys/stat.h>

#include <algorithm>
#include <string>

#include "kit/kit_reader.h"
#include "kit/kit_writer.h"
#include "tests/fuzz/fuzz_util.h"
#include "text/text_conversion.h"

namespace {

// What the reader promises of every entry it lets through: no ".."
// component and no NUL unit.
bool SafeName(const WideString& name) {
  uint32_t start = 0;
  for (uint32_t i = 0; i <= name.length(); ++i) {
    char16_t unit = i < name.length() ? name[i] : u'/';
    if (i < name.length() && unit == 0) return false;
    if (unit == u'/' || unit == u'\\') {
      if (i - start == 2 && name[start] == u'.' && name[start + 1] == u'.') {
        return false;
      }
      start = i + 1;
    }
  }
  return true;
}

// The number of language records the container `bytes` announces.
uint64_t AnnouncedRecords(const std::string& bytes) {
  auto word = [&bytes](size_t at) {
    uint32_t value = 0;
    for (size_t i = 0; i < 4; ++i) {
      value |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + i]))
               << (8 * i);
    }
    return value;
  };
  return word(0) == 0 ? 1 : word(4);
}

// `container`: the container bytes when the input gave them, else empty.
// One reader serves every input, as a reader may be opened again.
void Exercise(KitReader& reader, const std::string& kit_path,
              const std::string& container) {
  const std::string& scratch = fuzz::ScratchDir();
  ErrorCode code = reader.Open(ToWide(NarrowString(kit_path.c_str())));
  if (code != kSuccess) {
    FUZZ_CHECK(reader.entries().empty());
    FUZZ_CHECK(reader.entry_count() == 0);
    // The container of a failed Open is gone already: only the kit is left.
    FUZZ_CHECK(fuzz::ScratchCount() == 1);
    return;
  }
  struct stat container_status;
  FUZZ_CHECK(stat(ToNarrow(reader.container_path()).c_str(), &container_status) ==
             0);
  const uint64_t container_size = static_cast<uint64_t>(container_status.st_size);
  FUZZ_CHECK(reader.entry_count() == reader.entries().size());
  // The records are this kit's own, none left from an earlier one.
  if (!container.empty()) {
    FUZZ_CHECK(reader.language_records().size() ==
               AnnouncedRecords(container));
  }
  for (const KitEntry& entry : reader.entries()) {
    FUZZ_CHECK(SafeName(entry.name));
    FUZZ_CHECK(entry.offset + entry.size <= container_size);
  }

  for (const LanguageRecord& record : reader.language_records()) {
    WideString product, provider;
    reader.FindProductInfo(record.language, &product, &provider);
    WideString description = reader.FindDescription(record.language);
    // The first record of a language answers for it (ignoring case).
    for (const LanguageRecord& first : reader.language_records()) {
      if (CompareNoCase(first.language, record.language) != 0) continue;
      FUZZ_CHECK(product == first.product && provider == first.provider);
      if (!first.description.empty()) {
        FUZZ_CHECK(description == first.description);
      }
      break;
    }
  }
  WideString product, provider;
  reader.FindProductInfo(u"xx", &product, &provider);
  reader.FindDescription(u"en");

  // A few entries from the front and the last one, each into a file of its
  // own: the copy holds exactly the entry's bytes.
  const uint32_t count = reader.entry_count();
  for (uint32_t i = 0; i < count; ++i) {
    if (i >= 4 && i != count - 1) continue;
    std::string destination = scratch + "/out" + std::to_string(i);
    code = reader.ExtractEntry(i, ToWide(NarrowString(destination.c_str())));
    FUZZ_CHECK(code == kSuccess);
    struct stat copied;
    FUZZ_CHECK(stat(destination.c_str(), &copied) == 0);
    FUZZ_CHECK(static_cast<uint64_t>(copied.st_size) ==
               reader.entries()[i].size);
  }
  FUZZ_CHECK(reader.ExtractEntry(count, ToWide(NarrowString(
                                            (scratch + "/past").c_str()))) ==
             kErrorInvalidParameter);
  WideString container_path = reader.container_path();
  reader.Close();
  FUZZ_CHECK(reader.entries().empty());
  FUZZ_CHECK(stat(ToNarrow(container_path).c_str(), &container_status) == -1);

  // Opened again, the same kit reads the same.
  const size_t records = reader.language_records().size();
  FUZZ_CHECK(reader.Open(ToWide(NarrowString(kit_path.c_str()))) == kSuccess);
  FUZZ_CHECK(reader.language_records().size() == records);
  FUZZ_CHECK(reader.entry_count() == count);
  container_path = reader.container_path();
  reader.Close();
  FUZZ_CHECK(stat(ToNarrow(container_path).c_str(), &container_status) == -1);
}

}  // namespace

extern "C" int FUZZ_ENTRY(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string kit_path = fuzz::ScratchDir() + "/kit.efd";
  const int descriptors = fuzz::OpenDescriptors();
  // Made once: the reader's copy buffer is large enough that setting it up
  // for every input would halve the speed.
  static KitReader* const reader = new KitReader;
  std::string container;
  std::string body(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] & 1) {
    container = body;
    body = DeflateRaw(body, 1);
  }
  FUZZ_CHECK(fuzz::WriteBytes(kit_path, body.data(), body.size()));
  Exercise(*reader, kit_path, container);
  FUZZ_CHECK(fuzz::OpenDescriptors() == descriptors);
  fuzz::ClearScratch();
  return 0;
}
