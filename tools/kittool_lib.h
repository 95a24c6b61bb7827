// kittool: the vendors' command-line tool that packs a template tree into a
// kit, lists a kit's tables, verifies a kit with the installer's own reader
// and installs a kit into a directory with the installer's own engine. The
// pieces live here, apart from main, so that tests can call them.
//
// Text arguments arrive in the locale's multibyte encoding (main calls
// setlocale first) and become UTF-16 through ToWide. The commands run on the
// calling thread; extract runs the install worker beside it and takes over
// SIGINT, SIGTERM, SIGHUP and SIGQUIT while it runs, and ignores SIGPIPE
// (so call it from the main thread).
// Texts that come from a kit reach the terminal through EscapeForTerminal
// only: a kit is untrusted, and a name must not fake a line or send escape
// sequences.
// Exit statuses: kExitOk, kExitFailure (bad input data, unreadable or
// damaged files, a report that cannot be written), kExitUsage (a command
// line that makes no sense).
#ifndef TOOLS_KITTOOL_LIB_H_
#define TOOLS_KITTOOL_LIB_H_

#include <cstdint>
#include <functional>
#include <ostream>
#include <streambuf>
#include <string>
#include <vector>

#include "engine/ui_channel.h"
#include "kit/kit_writer.h"
#include "text/terminal_text.h"

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

enum class KittoolCommand {
  kHelp,
  kVersion,
  kPack,
  kList,
  kVerify,
  kExtract,
  kChecksum
};

// One --lang record as given, still in the locale's encoding.
struct PackLanguage {
  std::string language;
  std::string product;
  std::string provider;
  std::string description;
};

// What the command line asks for.
struct KittoolOptions {
  KittoolCommand command = KittoolCommand::kHelp;
  std::string source_dir;  // pack
  std::string output;      // pack: -o
  std::string kit;         // list, verify, extract
  std::string target_dir;  // extract
  int level = 6;           // pack: zlib level 0-9
  bool single_language = false;
  std::vector<PackLanguage> languages;
};

// The text that --help prints.
std::string KittoolUsage();

// The line that --version prints: "kittool <version>" and a newline, the
// version being the project's (TQ_VERSION, from the build).
std::string KittoolVersion();

// Parses the arguments after the program name. --version counts only as
// the command (the first argument), like a bare --help. Returns false with a
// message in `error` for a usage error (unknown command or option, missing or
// repeated value, a level outside 0-9, a --product before any --lang,
// --lang mixed with --single-language, a language given twice); `options`
// then holds what was parsed so far.
bool ParseKittoolArgs(const std::vector<std::string>& args,
                      KittoolOptions* options, std::string* error);

// Every regular file under `root`, sorted byte-wise by its relative path
// ("/"-separated), as specs that read from the file: the name with "\\"
// separators, the size, and the modification time in whole seconds.
// Returns false with a message naming the path when the tree cannot be
// walked, a name holds a backslash or is not valid text in the locale's
// encoding, a name is one the installer cannot install (CheckEntryName: a
// control character, a relative path of 4096 bytes or more, in the locale's
// encoding or in UTF-8), an entry is a symbolic link or neither a file nor a
// directory, a file is larger than 4 GiB - 1, or its time lies before 1601.
bool CollectTree(const std::string& root, std::vector<KitFileSpec>* files,
                 std::string* error);

// The language records of `options` converted to UTF-16. Returns false with
// a message when a text is not valid in the locale's encoding.
bool MakeLanguageRecords(const KittoolOptions& options,
                         std::vector<LanguageRecord>* records,
                         std::string* error);

// The buffer behind kittool's standard output: bytes are written to the
// descriptor with write(2), in blocks (line by line when it is a terminal),
// retried after EINTR and short writes. The first failure keeps its errno
// and fails every later write, so that a full disk or a closed pipe reaches
// the exit status with its reason however early it happened. The
// destructor writes what is left.
class DescriptorOutput : public std::streambuf {
 public:
  explicit DescriptorOutput(int fd);
  ~DescriptorOutput() override;
  DescriptorOutput(const DescriptorOutput&) = delete;
  DescriptorOutput& operator=(const DescriptorOutput&) = delete;

  // The errno of the first failed write, or 0.
  int error() const { return error_; }

 protected:
  int_type overflow(int_type c) override;
  std::streamsize xsputn(const char* bytes, std::streamsize count) override;
  int sync() override;

 private:
  static constexpr size_t kSize = 64 * 1024;
  // Writes the put area out; false once any write has failed.
  bool Drain();

  const int fd_;
  const bool by_line_;
  int error_ = 0;
  char buffer_[kSize];
};

// "YYYY-MM-DDTHH:MM:SSZ", with ".fffffff" before the Z when the time has a
// sub-second part.
std::string FormatFileTime(FileTime time);

// The sentence for a failed KitReader::Open of `kit`.
std::string DescribeOpenFailure(ErrorCode code, const std::string& kit);

// The commands. Each writes its report to `out`, its complaints (prefixed
// "kittool: ") to `err`, and returns the exit status. verify also checks that
// every entry can be installed (CheckEntryName) and that no two install to
// the same file (NormalisedEntryPath, case-sensitive); each such problem is
// one line on `err`, naming the entries, and makes the status kExitFailure.
int RunPack(const KittoolOptions& options, std::ostream& out,
            std::ostream& err);
int RunList(const KittoolOptions& options, std::ostream& out,
            std::ostream& err);
int RunVerify(const KittoolOptions& options, std::ostream& out,
              std::ostream& err);

// A seam for tests of extract: called on the worker thread after each post
// has been reported (and the report written out), with the channel, so that
// a test can hold the job at a known entry.
struct ExtractHooks {
  std::function<void(UiChannel& channel, const ChannelState& state)> after_post;
};

// Installs the kit into the directory as the installer does (missing or
// older files only, backups, rollback of everything on failure), inflating
// the kit while it installs. Reports progress on `err`: a bar when
// `terminal`, otherwise one line "NN% path" per entry. SIGINT, SIGTERM,
// SIGHUP and SIGQUIT cancel the job, which then rolls back; SIGPIPE is
// ignored meanwhile, so a reader of `err` that goes away makes writes fail
// (EPIPE) and the job goes on. Exit status kExitOk, or kExitFailure with the
// reason on `err` (cancellation included).
int RunExtract(const KittoolOptions& options, std::ostream& out,
               std::ostream& err, bool terminal,
               const ExtractHooks* hooks = nullptr);

// Parses `args` and runs the command; extract reports progress as a bar
// when standard error is a terminal. Then flushes `out`: when any write to
// it failed, says so on `err` ("kittool: cannot write the listing: " and
// the reason, taken from a DescriptorOutput buffer or else errno) and
// returns kExitFailure.
int KittoolMain(const std::vector<std::string>& args, std::ostream& out,
                std::ostream& err, const ExtractHooks* hooks = nullptr);

#endif  // TOOLS_KITTOOL_LIB_H_
