// Fuzz target for the kit reader. The first byte's low bit picks what the
// rest is: 0, the kit file itself (a raw DEFLATE stream as the vendor ships
// it); 1, the container, deflated here first so that the table parser is
// reached without the fuzzer having to produce valid DEFLATE. A kit that
// opens is listed, its texts are looked up and a few entries are extracted.
// With the next bit set, the streaming reader (kittool's) reads the kit too
// and must agree with Open. (The checksum file beside a kit has a target
// of its own, checksum_file.)
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>

#include "kit/kit_reader.h"
#include "kit/kit_writer.h"
#include "platform/file_io.h"
#include "platform/system_api.h"
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
  if (!reader.Open(ToWide(NarrowString(kit_path.c_str()))).ok()) {
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
    FUZZ_CHECK(
        reader.ExtractEntry(i, ToWide(NarrowString(destination.c_str()))).ok());
    struct stat copied;
    FUZZ_CHECK(stat(destination.c_str(), &copied) == 0);
    FUZZ_CHECK(static_cast<uint64_t>(copied.st_size) ==
               reader.entries()[i].size);
  }
  const std::string past = scratch + "/past";
  FUZZ_CHECK(
      reader.ExtractEntry(count, ToWide(NarrowString(past.c_str()))).code() ==
      kErrorInvalidParameter);
  WideString container_path = reader.container_path();
  reader.Close();
  FUZZ_CHECK(reader.entries().empty());
  FUZZ_CHECK(stat(ToNarrow(container_path).c_str(), &container_status) == -1);

  // Opened again, the same kit reads the same.
  const size_t records = reader.language_records().size();
  FUZZ_CHECK(reader.Open(ToWide(NarrowString(kit_path.c_str()))).ok());
  FUZZ_CHECK(reader.language_records().size() == records);
  FUZZ_CHECK(reader.entry_count() == count);
  container_path = reader.container_path();
  reader.Close();
  FUZZ_CHECK(stat(ToNarrow(container_path).c_str(), &container_status) == -1);
}

// The streaming reader (kittool's) against Open on the same kit: both
// accept it or both refuse it, and what they accept they read alike: the
// same records, entries and bytes. Streaming, entries are walked in table
// order, each once, as kittool walks them.
void CompareStreaming(KitReader& plain, KitReader& streaming,
                      const std::string& kit_path) {
  constexpr uint32_t kMaxCompared = 64;
  const std::string& scratch = fuzz::ScratchDir();
  const WideString wide_kit = ToWide(NarrowString(kit_path.c_str()));
  const bool plain_ok = plain.Open(wide_kit).ok();

  bool stream_ok = streaming.OpenStreaming(wide_kit).ok();
  if (!stream_ok) FUZZ_CHECK(streaming.entry_count() == 0);
  uint32_t walked = 0;
  if (stream_ok) {
    FUZZ_CHECK(streaming.entries().empty());
    if (plain_ok) {
      FUZZ_CHECK(streaming.entry_count() == plain.entry_count());
      FUZZ_CHECK(streaming.language_records().size() ==
                 plain.language_records().size());
      for (size_t i = 0; i < plain.language_records().size(); ++i) {
        const LanguageRecord& a = plain.language_records()[i];
        const LanguageRecord& b = streaming.language_records()[i];
        FUZZ_CHECK(a.language == b.language && a.product == b.product &&
                   a.provider == b.provider &&
                   a.description == b.description);
      }
    }
    for (; walked < streaming.entry_count() && walked < kMaxCompared;
         ++walked) {
      KitEntry entry;
      if (!streaming.ReadEntry(walked, &entry).ok()) {
        stream_ok = false;
        break;
      }
      FUZZ_CHECK(SafeName(entry.name));
      const std::string streamed = scratch + "/s" + std::to_string(walked);
      FileHandle out = kInvalidFileHandle;
      FUZZ_CHECK(FileOpen(RealSystem(), ToWide(NarrowString(streamed.c_str())),
                          kFileAccessWrite, 0, kFileCreateAlways, &out, 0)
                     .ok());
      stream_ok = streaming.CopyEntryTo(entry, out).ok();
      FUZZ_CHECK(FileClose(RealSystem(), out).ok());
      if (!stream_ok) break;
      if (!plain_ok) continue;
      const KitEntry& expected = plain.entries()[walked];
      FUZZ_CHECK(entry.name == expected.name &&
                 entry.last_write == expected.last_write &&
                 entry.size == expected.size);
      const std::string extracted = scratch + "/p" + std::to_string(walked);
      FUZZ_CHECK(
          plain.ExtractEntry(walked, ToWide(NarrowString(extracted.c_str())))
              .ok());
      FUZZ_CHECK(fuzz::ReadBytes(streamed) == fuzz::ReadBytes(extracted));
    }
    if (stream_ok) stream_ok = streaming.FinishInflation().ok();
  }
  // What Open accepts, streaming reads whole. A kit that Open refuses may
  // still look whole to a walk that stopped early, but not to a full one.
  if (plain_ok) FUZZ_CHECK(stream_ok);
  if (stream_ok && walked == streaming.entry_count()) FUZZ_CHECK(plain_ok);
  plain.Close();
  streaming.Close();
}

}  // namespace

extern "C" int FUZZ_ENTRY(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string kit_path = fuzz::ScratchDir() + "/kit.efd";
  const int descriptors = fuzz::OpenDescriptors();
  // Made once: the reader's copy buffer is large enough that setting it up
  // for every input would halve the speed.
  static KitReader* const reader = new KitReader(RealSystem());
  std::string container;
  std::string body(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] & 1) {
    container = body;
    body = DeflateRaw(body, 1);
  }
  FUZZ_CHECK(fuzz::WriteBytes(kit_path, body.data(), body.size()));
  Exercise(*reader, kit_path, container);
  if (data[0] & 2) {
    static KitReader* const streaming = new KitReader(RealSystem());
    CompareStreaming(*reader, *streaming, kit_path);
  }
  // Nothing is left of the readers' containers: the kit and the copies only.
  for (const auto& entry :
       std::filesystem::directory_iterator(fuzz::ScratchDir())) {
    const std::string name = entry.path().filename();
    FUZZ_CHECK(name == "kit.efd" || name == "past" ||
               name.find_first_not_of("0123456789", name[0] == 'o' ? 3 : 1) ==
                   std::string::npos);
  }
  FUZZ_CHECK(fuzz::OpenDescriptors() == descriptors);
  fuzz::ClearScratch();
  return 0;
}
