#include "tools/kittool_inspect.h"

#include <errno.h>
#include <fcntl.h>

#include <clocale>
#include <cstdio>
#include <cstring>
#include <iomanip>
#include <memory>
#include <set>
#include <vector>

#include "kit/entry_names.h"
#include "kit/kit_checksum.h"
#include "kit/kit_names_check.h"
#include "kit/kit_reader.h"
#include "kit/kit_writer.h"
#include "kit/raw_inflater.h"
#include "platform/system_api.h"
#include "text/path_utils.h"
#include "text/terminal_text.h"
#include "text/text_conversion.h"
#include "tools/kittool_checksum.h"

namespace {

constexpr FileTime kTicksPerSecond = 10000000;
constexpr size_t kInputSize = 1 << 20;
constexpr size_t kOutputSize = 1 << 16;

// The locale kittool runs in, as main set it from the environment.
std::string LocaleName() {
  const char* name = std::setlocale(LC_CTYPE, nullptr);
  return name != nullptr ? name : "C";
}

WideString Wide(const std::string& text) {
  return ToWide(NarrowString(text.c_str()));
}

// What a pass over the kit's deflate stream finds, apart from the reader.
struct StreamReport {
  bool complete = false;    // the stream's last block was reached
  bool corrupt = false;     // the stream is not valid deflate data
  uint64_t corrupt_at = 0;  // input bytes taken before the complaint
  uint64_t kit_size = 0;
  uint64_t inflated_size = 0;
  uint64_t trailing = 0;  // bytes after the end of the stream
};

// Inflates `piece`, the next kit bytes (report->kit_size counts them
// already), keeping only counts.
void InflatePiece(RawInflater& inflater, const unsigned char* piece,
                  size_t size, unsigned char* out, StreamReport* report) {
  inflater.Feed(piece, size);
  for (;;) {
    const size_t left = inflater.input_left();
    size_t written = 0;
    const RawInflater::Result result =
        inflater.Inflate(out, kOutputSize, &written);
    report->inflated_size += written;
    if (result == RawInflater::Result::kEnd) {
      report->complete = true;
      report->trailing = inflater.bytes_after_end();
      return;
    }
    if (result == RawInflater::Result::kError) {
      report->corrupt = true;
      report->corrupt_at = report->kit_size - inflater.input_left();
      return;
    }
    if (written == 0 && inflater.input_left() == left) return;
  }
}

// Reads the whole kit, inflating it as far as its stream goes. Returns
// false with a message when the kit cannot be read.
bool InspectStream(SystemApi& sys, const std::string& path,
                   StreamReport* report, std::string* error) {
  const int fd = sys.Open(path.c_str(), O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0) {
    *error = "cannot open the kit \"" + path + "\": " + std::strerror(errno);
    return false;
  }
  RawInflater inflater;
  std::unique_ptr<unsigned char[]> input(new unsigned char[kInputSize]);
  std::unique_ptr<unsigned char[]> output(new unsigned char[kOutputSize]);
  bool ok = true;
  for (;;) {
    const ssize_t got = sys.Read(fd, input.get(), kInputSize);
    if (got < 0) {
      *error = "cannot read the kit \"" + path + "\": " + std::strerror(errno);
      ok = false;
      break;
    }
    if (got == 0) break;
    report->kit_size += static_cast<uint64_t>(got);
    if (report->complete) {
      report->trailing += static_cast<uint64_t>(got);
    } else if (!report->corrupt) {
      InflatePiece(inflater, input.get(), static_cast<size_t>(got),
                   output.get(), report);
    }
  }
  sys.Close(fd);
  return ok;
}

// The stream's verdict on `err`; false when it rules the kit out.
bool StreamIsWhole(const std::string& kit, const StreamReport& stream,
                   std::ostream& err) {
  if (stream.kit_size == 0) {
    err << "kittool: the kit \"" << kit << "\" is empty\n";
    return false;
  }
  if (stream.corrupt) {
    err << "kittool: the kit \"" << kit
        << "\" is not a valid raw deflate stream (invalid data near byte "
        << stream.corrupt_at << "): it is damaged, or not a kit\n";
    return false;
  }
  if (!stream.complete) {
    err << "kittool: the kit \"" << kit
        << "\" ends before its deflate stream does: it is truncated\n";
    return false;
  }
  return true;
}

// The layout word: the first four bytes of the reader's container.
bool ReadLayoutWord(SystemApi& sys, const KitReader& reader, uint32_t* layout) {
  const int fd = sys.Open(ToNarrow(reader.container_path()).c_str(),
                          O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0) return false;
  unsigned char bytes[4];
  const bool read = sys.PRead(fd, bytes, 4, 0) == 4;
  sys.Close(fd);
  if (!read) return false;
  *layout = bytes[0] | bytes[1] << 8 | bytes[2] << 16 |
            static_cast<uint32_t>(bytes[3]) << 24;
  return true;
}

std::string LayoutText(SystemApi& sys, const KitReader& reader) {
  uint32_t layout = 1;
  if (!ReadLayoutWord(sys, reader, &layout)) return "unknown";
  const size_t count = reader.language_records().size();
  if (layout == 0) {
    return "single language (one record, used for every language)";
  }
  return "language table, " + std::to_string(count) + " record" +
         (count == 1 ? "" : "s");
}

uint64_t TotalSize(const KitReader& reader) {
  uint64_t total = 0;
  for (const KitEntry& entry : reader.entries()) total += entry.size;
  return total;
}

// The end of the line for an entry refused on its own.
std::string OwnRefusalText(const NameRefusal& refusal) {
  switch (refusal.kind) {
    case NameRefusal::Kind::kInvalid:
      break;
    case NameRefusal::Kind::kLoneSurrogate:
      return "holds a UTF-16 surrogate without its pair, which no file-name "
             "encoding can write: no locale installs it";
    case NameRefusal::Kind::kNotText:
      return "holds bytes that are not valid text and that would read back "
             "as other characters: no locale installs it";
    case NameRefusal::Kind::kLocaleEncoding:
      return "cannot be written in this locale's file-name encoding (" +
             std::string(LocaleCodeset()) + ", locale \"" +
             LocaleName() +
             "\"): setup and kittool extract refuse it in this locale; a "
             "UTF-8 locale holds it";
    case NameRefusal::Kind::kTwice:
    case NameRefusal::Kind::kFileAndDirectory:
      break;
  }
  return DescribeEntryNameProblem(refusal.problem);
}

// Writes one line to `err` for each entry whose name cannot be installed
// and for each pair of entries that cannot both be (kit/kit_names_check.h);
// returns the number of lines.
uint32_t ReportUninstallableNames(KitReader& reader, std::ostream& err) {
  uint32_t problems = 0;
  const std::vector<KitEntry>& entries = reader.entries();
  const NameWalk walk = [&entries](const NameVisit& visit) {
    for (uint32_t i = 0; i < entries.size(); ++i) {
      TQ_RETURN_IF_ERROR(visit(i, entries[i].name));
    }
    return Status::Ok();
  };
  const auto shown = [&entries](uint32_t index) {
    return std::to_string(index + 1) + ", \"" +
           EscapeForTerminal(entries[index].name) + "\"";
  };
  (void)CheckKitNames(
      static_cast<uint32_t>(entries.size()), walk,
      [&](const NameRefusal& refusal) {
        ++problems;
        if (refusal.kind == NameRefusal::Kind::kTwice) {
          err << "kittool: entries " << shown(refusal.other) << ", and "
              << shown(refusal.index) << ", install to the same file\n";
        } else if (refusal.kind == NameRefusal::Kind::kFileAndDirectory) {
          err << "kittool: entries " << shown(refusal.other) << ", and "
              << shown(refusal.index) << ", need \""
              << EscapeForTerminal(ToWide(NarrowString(refusal.path.c_str())))
              << "\" both as a file and as a directory\n";
        } else if (refusal.kind == NameRefusal::Kind::kLocaleEncoding ||
                   refusal.kind == NameRefusal::Kind::kLoneSurrogate) {
          // The locale's spelling would hide what it cannot hold.
          err << "kittool: entry " << refusal.index + 1 << ", \""
              << refusal.path << "\", " << OwnRefusalText(refusal) << "\n";
        } else {
          err << "kittool: entry " << shown(refusal.index) << ", "
              << OwnRefusalText(refusal) << "\n";
        }
        return true;
      });
  return problems;
}

// The reader's verdict on `err`; false when it could not open the kit.
bool ReaderOpened(const std::string& kit, const Status& opened,
                  const StreamReport& stream, std::ostream& err) {
  if (opened.kind() == Status::Kind::kChecksumMismatch) {
    err << "kittool: the kit \"" << kit << "\" does not match its checksum "
        << "file \"" << SidecarPath(kit) << "\": it is damaged\n";
    return false;
  }
  if (opened.kind() == Status::Kind::kChecksumUnusable) {
    err << "kittool: " << DescribeUnusableChecksumFile(opened) << "\n";
    return false;
  }
  if (opened.kind() == Status::Kind::kDamagedKit) {
    err << "kittool: the kit \"" << kit << "\" inflates ("
        << stream.inflated_size
        << " bytes), but its tables are damaged: a table ends early, a "
           "record or entry size is smaller than its contents, an entry's "
           "bytes lie beyond the end of the kit, or an entry's name has a "
           "\"..\" component or a NUL character\n";
    return false;
  }
  if (!opened.ok()) {
    err << "kittool: " << DescribeOpenFailure(opened, kit) << "\n";
    return false;
  }
  // The installer's own reader takes 64-bit positions, but the format keeps
  // every position below 2 GiB; kits beyond it fail in other readers.
  if (stream.inflated_size > kMaxContainerSize ||
      stream.kit_size > kMaxKitSize) {
    err << "kittool: the kit \"" << kit << "\" is too large for the kit "
        << "format: it inflates to " << stream.inflated_size
        << " bytes; both the kit and the inflated kit must stay below 2 GiB\n";
    return false;
  }
  return true;
}

void PrintVerifyReport(SystemApi& sys, const std::string& kit,
                       const StreamReport& stream, const KitReader& reader,
                       uint32_t problems, std::ostream& out) {
  if (problems == 0) {
    out << kit << ": OK\n";
  } else {
    out << kit << ": FAILED: " << problems << " problem"
        << (problems == 1 ? "" : "s")
        << " with the entries' names, listed on standard error\n";
  }
  out << "  " << stream.kit_size << " bytes, inflating to "
      << stream.inflated_size << " bytes\n"
      << "  layout: " << LayoutText(sys, reader) << "\n"
      << "  files: " << reader.entries().size() << " (" << TotalSize(reader)
      << " bytes)\n";
  if (stream.trailing > 0) {
    out << "note: " << stream.trailing
        << " bytes after the end of the deflate stream are ignored\n";
  }
  std::vector<WideString> names;
  for (const KitEntry& entry : reader.entries()) names.push_back(entry.name);
  out << DescriptionWarnings(reader.language_records(), names);
  for (const KitEntry& entry : reader.entries()) {
    if (entry.last_write % kTicksPerSecond != 0) {
      out << "warning: \"" << EscapeForTerminal(entry.name)
          << "\" has a time with a sub-second part; the installer will copy "
             "it again on every run\n";
    }
  }
}

}  // namespace

std::string DescriptionWarnings(const std::vector<LanguageRecord>& records,
                                const std::vector<WideString>& names) {
  // Compared with "/" separators, as the installer joins the description
  // to the template directory.
  std::set<WideString> known;
  for (WideString name : names) {
    ToSlashes(name);
    known.insert(std::move(name));
  }
  std::string warnings;
  for (const LanguageRecord& record : records) {
    if (record.description.empty()) continue;
    WideString name = record.description;
    ToSlashes(name);
    if (known.count(name) != 0) continue;
    warnings += "warning: the description \"" +
                EscapeForTerminal(record.description) + "\" of language \"" +
                EscapeForTerminal(record.language) +
                "\" names no file of the kit; the installer cannot offer to "
                "open it\n";
  }
  return warnings;
}

std::string FormatFileTime(FileTime time) {
  const int64_t seconds = UnixSecondsFromFileTime(time);
  const uint32_t fraction = static_cast<uint32_t>(time % kTicksPerSecond);
  // Days and seconds of the day, then the civil date of the proleptic
  // Gregorian calendar (days since 1970-01-01 to year, month, day).
  int64_t days = seconds / 86400;
  int64_t rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t day_of_era = days - era * 146097;
  const int64_t year_of_era = (day_of_era - day_of_era / 1460 +
                               day_of_era / 36524 - day_of_era / 146096) /
                              365;
  const int64_t day_of_year =
      day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const int64_t mp = (5 * day_of_year + 2) / 153;
  const int64_t day = day_of_year - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
  char text[64];
  int length = std::snprintf(
      text, sizeof(text), "%04lld-%02lld-%02lldT%02lld:%02lld:%02lld",
      static_cast<long long>(year), static_cast<long long>(month),
      static_cast<long long>(day), static_cast<long long>(rest / 3600),
      static_cast<long long>(rest / 60 % 60),
      static_cast<long long>(rest % 60));
  if (fraction != 0) {
    length +=
        std::snprintf(text + length, sizeof(text) - length, ".%07u", fraction);
  }
  std::snprintf(text + length, sizeof(text) - length, "Z");
  return text;
}

std::string ReasonOf(const Status& failure) {
  if (failure.error() != 0) return std::strerror(failure.error());
  return "error " + std::to_string(failure.code());
}

std::string DescribeOpenFailure(const Status& failure, const std::string& kit) {
  if (failure.kind() == Status::Kind::kChecksumUnusable) {
    return DescribeUnusableChecksumFile(failure);
  }
  if (failure.IsKitDamage()) {
    return "the kit \"" + kit +
           "\" is damaged or is not a kit; \"kittool verify\" says more";
  }
  switch (failure.kind()) {
    case Status::Kind::kKitNotFound:
      return "the kit \"" + kit + "\" does not exist";
    case Status::Kind::kNoTempFile:
      return "no temporary file can be made in the temporary directory "
             "(TMPDIR) \"" +
             failure.path() + "\" to inflate the kit into: " +
             ReasonOf(failure);
    case Status::Kind::kNoSpace:
      return "the temporary directory (TMPDIR) \"" + failure.path() +
             "\" cannot take the inflated kit: " + ReasonOf(failure);
    default:
      break;
  }
  // The reader names the file that failed: the kit, or its inflated copy.
  const std::string& path = failure.path();
  if (!path.empty() && path != kit) {
    return "the temporary directory (TMPDIR) cannot take the inflated kit, \"" +
           path + "\": " + ReasonOf(failure);
  }
  if (failure.error() == ENOENT) {
    return "the kit \"" + kit + "\" does not exist";
  }
  return "the kit \"" + kit + "\" cannot be read: " + ReasonOf(failure);
}

int RunList(SystemApi& sys, const KittoolOptions& options, std::ostream& out,
            std::ostream& err) {
  KitReader reader(sys);
  const Status opened = reader.Open(Wide(options.kit));
  if (!opened.ok()) {
    err << "kittool: " << DescribeOpenFailure(opened, options.kit) << "\n";
    return kExitFailure;
  }
  out << "Kit: " << options.kit << "\n"
      << "Layout: " << LayoutText(sys, reader) << "\n";
  for (const LanguageRecord& record : reader.language_records()) {
    out << "Language: " << EscapeForTerminal(record.language) << "\n"
        << "  product:     " << EscapeForTerminal(record.product) << "\n"
        << "  provider:    " << EscapeForTerminal(record.provider) << "\n"
        << "  description: " << EscapeForTerminal(record.description) << "\n";
  }
  out << "Files: " << reader.entries().size() << " (" << TotalSize(reader)
      << " bytes)\n";
  for (const KitEntry& entry : reader.entries()) {
    out << "  " << std::left << std::setw(28)
        << FormatFileTime(entry.last_write) << std::right << std::setw(10)
        << entry.size << "  " << EscapeForTerminal(entry.name) << "\n";
  }
  return kExitOk;
}

int RunVerify(SystemApi& sys, const KittoolOptions& options, std::ostream& out,
              std::ostream& err) {
  const std::string& kit = options.kit;
  StreamReport stream;
  std::string error;
  if (!InspectStream(sys, kit, &stream, &error)) {
    err << "kittool: " << error << "\n";
    return kExitFailure;
  }
  if (!StreamIsWhole(kit, stream, err)) return kExitFailure;
  KitReader reader(sys);
  if (!ReaderOpened(kit, reader.Open(Wide(kit)), stream, err)) {
    return kExitFailure;
  }
  const uint32_t problems = ReportUninstallableNames(reader, err);
  PrintVerifyReport(sys, kit, stream, reader, problems, out);
  return problems == 0 ? kExitOk : kExitFailure;
}
