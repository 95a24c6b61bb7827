#include "tools/kittool_lib.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iomanip>
#include <memory>
#include <utility>

#include "kit/entry_names.h"
#include "kit/kit_checksum.h"
#include "kit/kit_reader.h"
#include "text/text_conversion.h"

namespace {

constexpr FileTime kTicksPerSecond = 10000000;
// Seconds from 1601-01-01 to 1970-01-01: file times cannot go further back.
constexpr int64_t kEarliestUnixSecond = -11644473600LL;

// Which text field of a language record an option names, or null.
std::string PackLanguage::*FieldFor(const std::string& option) {
  if (option == "--product") return &PackLanguage::product;
  if (option == "--provider") return &PackLanguage::provider;
  if (option == "--description") return &PackLanguage::description;
  return nullptr;
}

bool ParseLevel(const std::string& text, int* level) {
  if (text.size() != 1 || text[0] < '0' || text[0] > '9') return false;
  *level = text[0] - '0';
  return true;
}

bool ParsePack(const std::vector<std::string>& args, KittoolOptions* options,
               std::string* error) {
  // Texts given before any --lang: the single-language record, or a mistake.
  PackLanguage loose;
  std::vector<std::string> loose_given;
  std::vector<std::vector<std::string>> given;  // per --lang record
  bool options_done = false;
  bool have_output = false;
  bool have_level = false;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (options_done || arg.empty() || arg[0] != '-' || arg == "-") {
      if (!options->source_dir.empty()) {
        *error =
            "pack takes one source directory; \"" + arg + "\" is one too many";
        return false;
      }
      options->source_dir = arg;
      continue;
    }
    if (arg == "--") {
      options_done = true;
      continue;
    }
    if (arg == "--help" || arg == "-h") {
      options->command = KittoolCommand::kHelp;
      return true;
    }
    if (arg == "--single-language") {
      options->single_language = true;
      continue;
    }
    // The rest take a value: "--name value" or "--name=value".
    std::string name = arg;
    std::string value;
    size_t equals = arg.find('=');
    if (arg.compare(0, 2, "--") == 0 && equals != std::string::npos) {
      name = arg.substr(0, equals);
      value = arg.substr(equals + 1);
    } else if (name == "-o" || name == "--output" || name == "--level" ||
               name == "--lang" || FieldFor(name) != nullptr) {
      if (i + 1 >= args.size()) {
        *error = "option " + name + " needs a value";
        return false;
      }
      value = args[++i];
    } else {
      *error = "unknown option \"" + arg + "\"";
      return false;
    }
    if (name == "-o" || name == "--output") {
      if (have_output) {
        *error = "the output kit is given twice";
        return false;
      }
      if (value.empty()) {
        *error = "the output kit's name is empty";
        return false;
      }
      have_output = true;
      options->output = value;
    } else if (name == "--level") {
      if (have_level) {
        *error = "--level is given twice";
        return false;
      }
      if (!ParseLevel(value, &options->level)) {
        *error = "--level takes a number from 0 to 9, not \"" + value + "\"";
        return false;
      }
      have_level = true;
    } else if (name == "--lang") {
      if (value.empty()) {
        *error = "--lang needs a language code, such as en";
        return false;
      }
      for (const PackLanguage& record : options->languages) {
        if (strcasecmp(record.language.c_str(), value.c_str()) == 0) {
          *error = "language \"" + value +
                   "\" is given twice (the installer would only ever use "
                   "the first)";
          return false;
        }
      }
      options->languages.push_back(PackLanguage{value, "", "", ""});
      given.emplace_back();
    } else if (std::string PackLanguage::*field = FieldFor(name)) {
      PackLanguage* record =
          given.empty() ? &loose : &options->languages.back();
      std::vector<std::string>* seen =
          given.empty() ? &loose_given : &given.back();
      if (std::find(seen->begin(), seen->end(), name) != seen->end()) {
        *error = name + " is given twice for " +
                 (given.empty() ? std::string("the kit")
                                : "language \"" + record->language + "\"");
        return false;
      }
      seen->push_back(name);
      record->*field = value;
    } else {
      *error = "unknown option \"" + name + "\"";
      return false;
    }
  }
  if (options->source_dir.empty()) {
    *error = "pack needs a source directory";
    return false;
  }
  if (!have_output) {
    *error = "pack needs the output kit: -o KIT";
    return false;
  }
  if (options->single_language) {
    if (!options->languages.empty()) {
      *error = "--lang records and --single-language exclude each other";
      return false;
    }
    loose.language = "en";
    options->languages.push_back(loose);
  } else {
    if (!loose_given.empty()) {
      *error = loose_given.front() +
               " comes before any --lang (or add --single-language)";
      return false;
    }
    if (options->languages.empty()) {
      *error = "pack needs at least one --lang record, or --single-language";
      return false;
    }
  }
  return true;
}

bool ParseKitCommand(const std::vector<std::string>& args,
                     KittoolOptions* options, std::string* error) {
  bool options_done = false;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!options_done && arg == "--") {
      options_done = true;
    } else if (!options_done && (arg == "--help" || arg == "-h")) {
      options->command = KittoolCommand::kHelp;
      return true;
    } else if (!options_done && arg.size() > 1 && arg[0] == '-') {
      *error = "unknown option \"" + arg + "\"";
      return false;
    } else if (!options->kit.empty()) {
      *error = args[0] + " takes one kit; \"" + arg + "\" is one too many";
      return false;
    } else {
      options->kit = arg;
    }
  }
  if (options->kit.empty()) {
    *error = args[0] + " needs a kit file";
    return false;
  }
  return true;
}

bool ParseExtract(const std::vector<std::string>& args, KittoolOptions* options,
                  std::string* error) {
  std::vector<std::string> operands;
  bool options_done = false;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!options_done && arg == "--") {
      options_done = true;
    } else if (!options_done && (arg == "--help" || arg == "-h")) {
      options->command = KittoolCommand::kHelp;
      return true;
    } else if (!options_done && arg.size() > 1 && arg[0] == '-') {
      *error = "unknown option \"" + arg + "\"";
      return false;
    } else {
      operands.push_back(arg);
    }
  }
  if (operands.size() != 2) {
    *error = "extract takes a kit and a directory: kittool extract KIT DIR";
    return false;
  }
  if (operands[0].empty() || operands[1].empty()) {
    *error = "extract needs a kit and a directory that are not empty";
    return false;
  }
  options->kit = operands[0];
  options->target_dir = operands[1];
  return true;
}

bool HasLoneSurrogate(const WideString& text) {
  const uint32_t length = text.length();
  for (uint32_t i = 0; i < length; ++i) {
    const char16_t unit = text[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < length &&
        text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      ++i;
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      return true;
    }
  }
  return false;
}

// The conversion maps bytes that are invalid in the locale's encoding to lone
// surrogates; a kit must carry real text.
bool ConvertText(const std::string& text, WideString* wide) {
  *wide = ToWide(NarrowString(text.c_str()));
  return !HasLoneSurrogate(*wide);
}

struct FoundFile {
  std::string relative;  // "/"-separated: the sort key
  KitFileSpec spec;
};

// The path may hold anything a file name can, so it is escaped.
std::string NameProblemMessage(const std::string& path,
                               EntryNameProblem problem) {
  return "\"" + EscapeForTerminal(ToWide(NarrowString(path.c_str()))) +
         "\": its path in the kit " + DescribeEntryNameProblem(problem) +
         ", which a kit must not hold; rename it";
}

bool Walk(const std::string& root, const std::string& relative,
          std::vector<FoundFile>* found, std::string* error) {
  const std::string dir_path =
      relative.empty() ? (root.empty() ? "/" : root) : root + "/" + relative;
  DIR* dir = opendir(dir_path.c_str());
  if (!dir) {
    *error = "cannot read the directory \"" + dir_path +
             "\": " + std::strerror(errno);
    return false;
  }
  std::vector<std::string> names;
  errno = 0;
  while (struct dirent* item = readdir(dir)) {
    if (std::strcmp(item->d_name, ".") != 0 &&
        std::strcmp(item->d_name, "..") != 0) {
      names.push_back(item->d_name);
    }
    errno = 0;
  }
  const int read_errno = errno;
  closedir(dir);
  if (read_errno != 0) {
    *error = "cannot read the directory \"" + dir_path +
             "\": " + std::strerror(read_errno);
    return false;
  }
  for (const std::string& name : names) {
    const std::string rel = relative.empty() ? name : relative + "/" + name;
    const std::string path = root + "/" + rel;
    if (name.find('\\') != std::string::npos) {
      *error = "\"" + path +
               "\": the name contains a backslash, which kits use as their "
               "path separator; rename it";
      return false;
    }
    // Before lstat, which fails with a less helpful "File name too long"
    // once the whole path reaches the system's limit.
    const EntryNameProblem problem = CheckEntryPath(rel);
    if (problem != EntryNameProblem::kNone) {
      *error = NameProblemMessage(path, problem);
      return false;
    }
    struct stat status;
    if (lstat(path.c_str(), &status) != 0) {
      *error = "cannot examine \"" + path + "\": " + std::strerror(errno);
      return false;
    }
    if (S_ISLNK(status.st_mode)) {
      *error = "\"" + path +
               "\" is a symbolic link; a kit holds regular files only, so "
               "replace it by a copy of what it points to";
      return false;
    }
    if (S_ISDIR(status.st_mode)) {
      if (!Walk(root, rel, found, error)) return false;
      continue;
    }
    if (!S_ISREG(status.st_mode)) {
      *error = "\"" + path + "\" is neither a regular file nor a directory";
      return false;
    }
    if (static_cast<uint64_t>(status.st_size) > UINT32_MAX) {
      *error = "\"" + path + "\" is larger than a kit can hold (" +
               std::to_string(kMaxContainerSize) + " bytes in all)";
      return false;
    }
    if (status.st_mtim.tv_sec < kEarliestUnixSecond) {
      *error = "\"" + path +
               "\" has a modification time before 1601, which a kit cannot "
               "record";
      return false;
    }
    FoundFile file;
    file.relative = rel;
    std::string backslashed = rel;
    std::replace(backslashed.begin(), backslashed.end(), '/', '\\');
    if (!ConvertText(backslashed, &file.spec.name)) {
      *error = "\"" + path +
               "\": the name is not valid text in the current locale's "
               "encoding";
      return false;
    }
    // Control characters, and lengths counted in UTF-8 as verify counts
    // them (longer than the locale's bytes in a single-byte encoding).
    const EntryNameProblem name_problem = CheckEntryName(file.spec.name);
    if (name_problem != EntryNameProblem::kNone) {
      *error = NameProblemMessage(path, name_problem);
      return false;
    }
    // Whole seconds only: the installer compares with disk times of whole
    // seconds, and a sub-second part would make it copy the file every time.
    file.spec.last_write = FileTimeFromUnixSeconds(status.st_mtim.tv_sec);
    file.spec.source_path = path;
    file.spec.size = static_cast<uint32_t>(status.st_size);
    found->push_back(std::move(file));
  }
  return true;
}

std::string CanonicalPath(const std::string& path) {
  std::unique_ptr<char, decltype(&free)> real(realpath(path.c_str(), nullptr),
                                              &free);
  return real ? std::string(real.get()) : std::string();
}

std::string ParentDirectory(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string Narrow(const WideString& text) {
  return std::string(ToNarrow(text).c_str());
}

// What a pass over the kit's deflate stream finds, apart from the reader.
struct StreamReport {
  bool complete = false;    // the stream's last block was reached
  std::string corrupt;      // zlib's complaint when the data is invalid
  uint64_t corrupt_at = 0;  // input bytes consumed before the complaint
  uint64_t kit_size = 0;
  uint64_t inflated_size = 0;
  uint64_t trailing = 0;  // bytes after the end of the stream
};

// Inflates the whole kit, keeping only counts. Returns false with a message
// when the kit cannot be read.
bool InspectStream(const std::string& path, StreamReport* report,
                   std::string* error) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = "cannot open the kit \"" + path + "\": " + std::strerror(errno);
    return false;
  }
  z_stream stream;
  std::memset(&stream, 0, sizeof(stream));
  if (inflateInit2(&stream, -15) != Z_OK) {
    close(fd);
    *error = "cannot start the decompressor";
    return false;
  }
  constexpr size_t kInputSize = 1 << 20;
  std::unique_ptr<unsigned char[]> input(new unsigned char[kInputSize]);
  std::unique_ptr<unsigned char[]> output(new unsigned char[1 << 16]);
  bool ok = true;
  int z = Z_OK;
  for (;;) {
    const ssize_t got = read(fd, input.get(), kInputSize);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      *error = "cannot read the kit \"" + path + "\": " + std::strerror(errno);
      ok = false;
      break;
    }
    if (got == 0) break;
    report->kit_size += static_cast<uint64_t>(got);
    if (report->complete || !report->corrupt.empty()) {
      if (report->complete) report->trailing += static_cast<uint64_t>(got);
      continue;
    }
    stream.next_in = input.get();
    stream.avail_in = static_cast<uInt>(got);
    while (stream.avail_in > 0) {
      stream.next_out = output.get();
      stream.avail_out = 1 << 16;
      z = inflate(&stream, Z_NO_FLUSH);
      report->inflated_size += (1 << 16) - stream.avail_out;
      if (z == Z_STREAM_END) {
        report->complete = true;
        report->trailing = stream.avail_in;
        break;
      }
      if (z != Z_OK) {
        report->corrupt = stream.msg ? stream.msg : "invalid data";
        report->corrupt_at = stream.total_in;
        break;
      }
    }
  }
  // The end block may still hold output once all input is in.
  while (ok && !report->complete && report->corrupt.empty()) {
    stream.next_out = output.get();
    stream.avail_out = 1 << 16;
    z = inflate(&stream, Z_NO_FLUSH);
    report->inflated_size += (1 << 16) - stream.avail_out;
    if (z == Z_STREAM_END) report->complete = true;
    if (z != Z_OK || stream.avail_out != 0) break;
  }
  inflateEnd(&stream);
  close(fd);
  return ok;
}

// The layout word: the first four bytes of the reader's container.
bool ReadLayoutWord(const KitReader& reader, uint32_t* layout) {
  std::ifstream in(Narrow(reader.container_path()), std::ios::binary);
  unsigned char bytes[4];
  if (!in.read(reinterpret_cast<char*>(bytes), 4)) return false;
  *layout = bytes[0] | bytes[1] << 8 | bytes[2] << 16 |
            static_cast<uint32_t>(bytes[3]) << 24;
  return true;
}

std::string LayoutText(const KitReader& reader) {
  uint32_t layout = 1;
  if (!ReadLayoutWord(reader, &layout)) return "unknown";
  const size_t count = reader.language_records().size();
  if (layout == 0)
    return "single language (one record, used for every language)";
  return "language table, " + std::to_string(count) + " record" +
         (count == 1 ? "" : "s");
}

uint64_t TotalSize(const KitReader& reader) {
  uint64_t total = 0;
  for (const KitEntry& entry : reader.entries()) total += entry.size;
  return total;
}

// Writes one line to `err` for each entry whose name cannot be installed and
// for each pair of entries that would install to the same file; returns the
// number of lines.
uint32_t ReportUninstallableNames(const std::vector<KitEntry>& entries,
                                  std::ostream& err) {
  uint32_t problems = 0;
  DuplicateNameFinder finder;
  for (uint32_t i = 0; i < entries.size(); ++i) {
    const EntryNameProblem problem = CheckEntryName(entries[i].name);
    if (problem == EntryNameProblem::kNone) {
      finder.Add(i, NormalisedEntryPath(EntryPathOf(entries[i].name)));
      continue;
    }
    err << "kittool: entry " << i + 1 << ", \""
        << EscapeForTerminal(entries[i].name) << "\", "
        << DescribeEntryNameProblem(problem) << "\n";
    ++problems;
  }
  // Only the pairs are compared, so memory stays flat in the names' length.
  for (const auto& [earlier, later] : finder.Candidates()) {
    if (NormalisedEntryPath(EntryPathOf(entries[earlier].name)) !=
        NormalisedEntryPath(EntryPathOf(entries[later].name))) {
      continue;
    }
    err << "kittool: entries " << earlier + 1 << ", \""
        << EscapeForTerminal(entries[earlier].name) << "\", and " << later + 1
        << ", \"" << EscapeForTerminal(entries[later].name)
        << "\", install to the same file\n";
    ++problems;
  }
  return problems;
}

}  // namespace

DescriptorOutput::DescriptorOutput(int fd)
    : fd_(fd), by_line_(isatty(fd) == 1) {
  setp(buffer_, buffer_ + kSize);
}

DescriptorOutput::~DescriptorOutput() { Drain(); }

bool DescriptorOutput::Drain() {
  if (error_ != 0) {
    setp(buffer_, buffer_ + kSize);
    return false;
  }
  const char* next = pbase();
  const char* const end = pptr();
  while (next < end) {
    const ssize_t written = write(fd_, next, static_cast<size_t>(end - next));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      error_ = written < 0 ? errno : EIO;
      break;
    }
    next += written;
  }
  setp(buffer_, buffer_ + kSize);
  return error_ == 0;
}

DescriptorOutput::int_type DescriptorOutput::overflow(int_type c) {
  if (!Drain()) return traits_type::eof();
  if (traits_type::eq_int_type(c, traits_type::eof())) {
    return traits_type::not_eof(c);
  }
  *pptr() = traits_type::to_char_type(c);
  pbump(1);
  if (by_line_ && traits_type::to_char_type(c) == '\n' && !Drain()) {
    return traits_type::eof();
  }
  return c;
}

std::streamsize DescriptorOutput::xsputn(const char* bytes,
                                         std::streamsize count) {
  if (error_ != 0) return 0;
  std::streamsize done = 0;
  while (done < count) {
    if (pptr() == epptr() && !Drain()) return done;
    const std::streamsize room = epptr() - pptr();
    const std::streamsize step = std::min(room, count - done);
    std::memcpy(pptr(), bytes + done, static_cast<size_t>(step));
    pbump(static_cast<int>(step));
    done += step;
  }
  if (by_line_ && std::memchr(bytes, '\n', static_cast<size_t>(count)) &&
      !Drain()) {
    return 0;
  }
  return done;
}

int DescriptorOutput::sync() { return Drain() ? 0 : -1; }

std::string DescribeOpenFailure(ErrorCode code, const std::string& kit) {
  switch (code) {
    case kErrorFileNotFound:
      return "the kit \"" + kit + "\" does not exist";
    case kErrorTempFileNotCreated:
      return "no temporary file can be made in the temporary directory "
             "(TMPDIR) to inflate the kit into";
    case kErrorInvalidData:
      return "the kit \"" + kit +
             "\" is damaged or is not a kit; \"kittool verify\" says more";
    default:
      return "the kit \"" + kit +
             "\" cannot be read, or the temporary directory (TMPDIR) cannot "
             "take the inflated kit (error " +
             std::to_string(code) + ")";
  }
}

std::string KittoolUsage() {
  return "Usage:\n"
         "  kittool pack SOURCE_DIR -o KIT [--level N]\n"
         "          --lang CODE [--product TEXT] [--provider TEXT]"
         " [--description PATH]\n"
         "          [--lang CODE ...]...\n"
         "  kittool pack SOURCE_DIR -o KIT [--level N] --single-language\n"
         "          [--product TEXT] [--provider TEXT] [--description PATH]\n"
         "  kittool list KIT\n"
         "  kittool verify KIT\n"
         "  kittool extract KIT DIR\n"
         "  kittool checksum KIT\n"
         "  kittool --help\n"
         "  kittool --version\n"
         "\n"
         "pack     puts every regular file under SOURCE_DIR into the kit KIT,\n"
         "         named by its relative path with \"\\\" separators, with "
         "its\n"
         "         modification time in whole seconds, in byte-wise order of\n"
         "         the paths. Each --lang starts a language record; the\n"
         "         --product, --provider and --description after it belong\n"
         "         to that record. --single-language writes the older layout\n"
         "         with one record that the installer uses for every\n"
         "         language. --level is the compression level, 0 (store)\n"
         "         to 9 (smallest); the default is 6. The same tree and\n"
         "         options always give the same kit, byte for byte.\n"
         "         Symbolic links, names with a backslash or a control\n"
         "         character and relative paths of 4096 bytes or more are\n"
         "         refused; the inflated kit must stay below 2 GiB. Beside\n"
         "         KIT goes KIT.sha256, its SHA-256 in the format sha256sum\n"
         "         writes and checks.\n"
         "list     prints the kit's language records and its files (name,\n"
         "         size in bytes, modification time in UTC).\n"
         "verify   inflates and reads the kit as the installer does and says\n"
         "         what is wrong with it, including entry names that cannot\n"
         "         be installed (empty, ending in a separator, a \".\" or\n"
         "         \"..\" component, a component over 255 bytes, 4096 bytes\n"
         "         or more, a control character) and entries that install to\n"
         "         the same file; each is one line on standard error.\n"
         "extract  installs the kit into DIR as the installer does: files\n"
         "         that are missing or older there are written, the files\n"
         "         they replace are backed up first, and on any failure, or\n"
         "         on Ctrl-C, SIGTERM, SIGHUP or SIGQUIT, everything is\n"
         "         rolled back and DIR is left as it was. Progress goes to\n"
         "         standard error: a bar on a terminal, otherwise one line\n"
         "         \"NN% path\" per file.\n"
         "checksum writes KIT.sha256 beside an existing kit.\n"
         "--help   prints this text; --version prints \"kittool\" and its\n"
         "         version.\n"
         "\n"
         "When KIT.sha256 lies beside a kit, list, verify and extract (and\n"
         "the installer) refuse a kit that does not match it, and a\n"
         "KIT.sha256 that cannot be read, is malformed or names another\n"
         "file, as a damaged kit.\n"
         "\n"
         "Texts from a kit (names, languages, products, providers,\n"
         "descriptions) are printed as \"ls -b\" prints names: a backslash\n"
         "as \\\\ (so a name's separators show as \"sub\\\\file\"), bell,\n"
         "backspace, tab, newline, vertical tab, form feed and carriage\n"
         "return as \\a \\b \\t \\n \\v \\f \\r, any other control\n"
         "character as octal bytes (\\033 for escape, \\177 for delete),\n"
         "and a byte that is not valid text as \\xNN in hexadecimal.\n"
         "\n"
         "Exit status: 0 success, 1 failure (a report that cannot be fully\n"
         "written included), 2 bad usage.\n";
}

std::string KittoolVersion() { return "kittool " TQ_VERSION "\n"; }

bool ParseKittoolArgs(const std::vector<std::string>& args,
                      KittoolOptions* options, std::string* error) {
  if (args.empty()) {
    *error = "no command given";
    return false;
  }
  const std::string& command = args[0];
  if (command == "--help" || command == "-h" || command == "help") {
    options->command = KittoolCommand::kHelp;
    return true;
  }
  if (command == "--version") {
    options->command = KittoolCommand::kVersion;
    return true;
  }
  if (command == "pack") {
    options->command = KittoolCommand::kPack;
    return ParsePack(args, options, error);
  }
  if (command == "extract") {
    options->command = KittoolCommand::kExtract;
    return ParseExtract(args, options, error);
  }
  if (command == "list" || command == "verify" || command == "checksum") {
    options->command = command == "list"     ? KittoolCommand::kList
                       : command == "verify" ? KittoolCommand::kVerify
                                             : KittoolCommand::kChecksum;
    return ParseKitCommand(args, options, error);
  }
  *error = "unknown command \"" + command + "\"";
  return false;
}

bool CollectTree(const std::string& root, std::vector<KitFileSpec>* files,
                 std::string* error) {
  struct stat status;
  if (stat(root.c_str(), &status) != 0) {
    *error = "cannot open the source directory \"" + root +
             "\": " + std::strerror(errno);
    return false;
  }
  if (!S_ISDIR(status.st_mode)) {
    *error = "\"" + root + "\" is not a directory";
    return false;
  }
  std::string base = root;
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  std::vector<FoundFile> found;
  if (!Walk(base == "/" ? "" : base, "", &found, error)) return false;
  std::sort(found.begin(), found.end(),
            [](const FoundFile& a, const FoundFile& b) {
              return a.relative < b.relative;
            });
  files->clear();
  files->reserve(found.size());
  for (FoundFile& file : found) files->push_back(std::move(file.spec));
  return true;
}

bool MakeLanguageRecords(const KittoolOptions& options,
                         std::vector<LanguageRecord>* records,
                         std::string* error) {
  records->clear();
  for (const PackLanguage& given : options.languages) {
    LanguageRecord record;
    const std::pair<const std::string*, WideString*> fields[] = {
        {&given.language, &record.language},
        {&given.product, &record.product},
        {&given.provider, &record.provider},
        {&given.description, &record.description}};
    for (const auto& [text, wide] : fields) {
      if (!ConvertText(*text, wide)) {
        *error = "\"" + *text +
                 "\" is not valid text in the current locale's encoding";
        return false;
      }
    }
    records->push_back(record);
  }
  return true;
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

int RunPack(const KittoolOptions& options, std::ostream& out,
            std::ostream& err) {
  std::string error;
  // A kit inside the tree it packs would be packed again by the next run.
  const std::string source = CanonicalPath(options.source_dir);
  const std::string target_dir = CanonicalPath(ParentDirectory(options.output));
  if (!source.empty() && !target_dir.empty() &&
      (target_dir == source ||
       target_dir.compare(0, source.size() + 1, source + "/") == 0 ||
       source == "/")) {
    err << "kittool: the kit \"" << options.output
        << "\" would lie inside the tree it packs, \"" << options.source_dir
        << "\"; write it elsewhere\n";
    return kExitFailure;
  }
  KitSpec spec;
  spec.single_language = options.single_language;
  if (!MakeLanguageRecords(options, &spec.languages, &error) ||
      !CollectTree(options.source_dir, &spec.files, &error)) {
    err << "kittool: " << error << "\n";
    return kExitFailure;
  }
  uint64_t total = 0;
  for (const KitFileSpec& file : spec.files) total += file.size;
  std::string digest;
  if (!WriteKit(spec, options.output, options.level, &error, &digest) ||
      !WriteKitSidecar(options.output, digest, &error)) {
    err << "kittool: " << error << "\n";
    return kExitFailure;
  }
  struct stat status;
  const long long kit_size =
      stat(options.output.c_str(), &status) == 0 ? status.st_size : -1;
  out << "Packed " << spec.files.size() << " files (" << total
      << " bytes) into \"" << options.output << "\" (" << kit_size
      << " bytes).\n";
  return kExitOk;
}

int RunChecksum(const KittoolOptions& options, std::ostream& out,
                std::ostream& err) {
  KitDigest digest;
  if (HashFileFrom(options.kit, 0, &digest) != 0) {
    err << "kittool: cannot read \"" << options.kit
        << "\": " << std::strerror(errno) << "\n";
    return kExitFailure;
  }
  const std::string hex = digest.sha.HexDigest();
  std::string error;
  if (hex.empty() || !WriteKitSidecar(options.kit, hex, &error)) {
    err << "kittool: " << (hex.empty() ? "cannot hash the kit" : error)
        << "\n";
    return kExitFailure;
  }
  out << hex << "  " << SidecarPath(options.kit) << "\n";
  return kExitOk;
}

int RunList(const KittoolOptions& options, std::ostream& out,
            std::ostream& err) {
  KitReader reader;
  const ErrorCode code = reader.Open(ToWide(NarrowString(options.kit.c_str())));
  if (code != kSuccess) {
    err << "kittool: " << DescribeOpenFailure(code, options.kit) << "\n";
    return kExitFailure;
  }
  out << "Kit: " << options.kit << "\n"
      << "Layout: " << LayoutText(reader) << "\n";
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

int RunVerify(const KittoolOptions& options, std::ostream& out,
              std::ostream& err) {
  const std::string& kit = options.kit;
  StreamReport stream;
  std::string error;
  if (!InspectStream(kit, &stream, &error)) {
    err << "kittool: " << error << "\n";
    return kExitFailure;
  }
  if (stream.kit_size == 0) {
    err << "kittool: the kit \"" << kit << "\" is empty\n";
    return kExitFailure;
  }
  if (!stream.corrupt.empty()) {
    err << "kittool: the kit \"" << kit
        << "\" is not a valid raw deflate stream (" << stream.corrupt
        << " near byte " << stream.corrupt_at
        << "): it is damaged, or not a kit\n";
    return kExitFailure;
  }
  if (!stream.complete) {
    err << "kittool: the kit \"" << kit
        << "\" ends before its deflate stream does: it is truncated\n";
    return kExitFailure;
  }
  KitReader reader;
  const ErrorCode code = reader.Open(ToWide(NarrowString(kit.c_str())));
  if (code == kErrorInvalidData && reader.checksum_failed()) {
    err << "kittool: the kit \"" << kit << "\" does not match its checksum "
        << "file \"" << SidecarPath(kit) << "\" (or that file cannot be read, "
        << "is malformed or names another file): it is damaged\n";
    return kExitFailure;
  }
  if (code == kErrorInvalidData) {
    err << "kittool: the kit \"" << kit << "\" inflates ("
        << stream.inflated_size
        << " bytes), but its tables are damaged: a table ends early, a "
           "record or entry size is smaller than its contents, an entry's "
           "bytes lie beyond the end of the kit, or an entry's name has a "
           "\"..\" component or a NUL character\n";
    return kExitFailure;
  }
  if (code != kSuccess) {
    err << "kittool: " << DescribeOpenFailure(code, kit) << "\n";
    return kExitFailure;
  }
  // The installer's own reader takes 64-bit positions, but the format keeps
  // every position below 2 GiB; kits beyond it fail in other readers.
  if (stream.inflated_size > kMaxContainerSize ||
      stream.kit_size > kMaxKitSize) {
    err << "kittool: the kit \"" << kit << "\" is too large for the kit "
        << "format: it inflates to " << stream.inflated_size
        << " bytes; both the kit and the inflated kit must stay below 2 GiB\n";
    return kExitFailure;
  }
  const uint32_t problems = ReportUninstallableNames(reader.entries(), err);
  if (problems == 0) {
    out << kit << ": OK\n";
  } else {
    out << kit << ": FAILED: " << problems << " problem"
        << (problems == 1 ? "" : "s")
        << " with the entries' names, listed on standard error\n";
  }
  out << "  " << stream.kit_size << " bytes, inflating to "
      << stream.inflated_size << " bytes\n"
      << "  layout: " << LayoutText(reader) << "\n"
      << "  files: " << reader.entries().size() << " (" << TotalSize(reader)
      << " bytes)\n";
  if (stream.trailing > 0) {
    out << "note: " << stream.trailing
        << " bytes after the end of the deflate stream are ignored\n";
  }
  for (const KitEntry& entry : reader.entries()) {
    if (entry.last_write % kTicksPerSecond != 0) {
      out << "warning: \"" << EscapeForTerminal(entry.name)
          << "\" has a time with a sub-second part; the installer will copy "
             "it again on every run\n";
    }
  }
  return problems == 0 ? kExitOk : kExitFailure;
}

int KittoolMain(const std::vector<std::string>& args, std::ostream& out,
                std::ostream& err, const ExtractHooks* hooks) {
  KittoolOptions options;
  std::string error;
  if (!ParseKittoolArgs(args, &options, &error)) {
    err << "kittool: " << error << "\n"
        << "Run \"kittool --help\" for the usage.\n";
    return kExitUsage;
  }
  int status = kExitUsage;
  const char* report = "the report";
  switch (options.command) {
    case KittoolCommand::kHelp:
      out << KittoolUsage();
      status = kExitOk;
      report = "the usage";
      break;
    case KittoolCommand::kVersion:
      out << KittoolVersion();
      status = kExitOk;
      report = "the version";
      break;
    case KittoolCommand::kPack:
      status = RunPack(options, out, err);
      break;
    case KittoolCommand::kList:
      status = RunList(options, out, err);
      report = "the listing";
      break;
    case KittoolCommand::kVerify:
      status = RunVerify(options, out, err);
      break;
    case KittoolCommand::kExtract:
      status = RunExtract(options, out, err, isatty(STDERR_FILENO) == 1, hooks);
      break;
    case KittoolCommand::kChecksum:
      status = RunChecksum(options, out, err);
      break;
  }
  // A listing cut short by a full disk must not pass for a whole one.
  errno = 0;
  out.flush();
  if (!out) {
    const auto* buffer = dynamic_cast<const DescriptorOutput*>(out.rdbuf());
    const int error = buffer != nullptr ? buffer->error() : errno;
    err << "kittool: cannot write " << report << ": "
        << (error != 0 ? std::strerror(error) : "output error") << "\n";
    return kExitFailure;
  }
  return status;
}
