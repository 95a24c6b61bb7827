// kittool: the vendors' command-line tool that packs a template tree into a
// kit, lists a kit's tables, verifies a kit with the installer's own reader
// and installs a kit into a directory with the installer's own engine. The
// pieces live here, apart from main, so that tests can call them.
//
// Text arguments arrive in the locale's multibyte encoding (main calls
// setlocale first) and become UTF-16 through ToWide. The commands run on the
// calling thread; extract runs the install worker beside it and takes over
// SIGINT and SIGTERM while it runs (so call it from the main thread).
// Exit statuses: kExitOk, kExitFailure (bad input data, unreadable or
// damaged files), kExitUsage (a command line that makes no sense).
#ifndef TOOLS_KITTOOL_LIB_H_
#define TOOLS_KITTOOL_LIB_H_

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "engine/ui_channel.h"
#include "kit/kit_writer.h"

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

enum class KittoolCommand { kHelp, kPack, kList, kVerify, kExtract };

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

// Parses the arguments after the program name. Returns false with a message
// in `error` for a usage error (unknown command or option, missing or
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
// encoding, an entry is a symbolic link or neither a file nor a directory, a
// file is larger than 4 GiB - 1, or its time lies before 1601.
bool CollectTree(const std::string& root, std::vector<KitFileSpec>* files,
                 std::string* error);

// The language records of `options` converted to UTF-16. Returns false with
// a message when a text is not valid in the locale's encoding.
bool MakeLanguageRecords(const KittoolOptions& options,
                         std::vector<LanguageRecord>* records,
                         std::string* error);

// "YYYY-MM-DDTHH:MM:SSZ", with ".fffffff" before the Z when the time has a
// sub-second part.
std::string FormatFileTime(FileTime time);

// The sentence for a failed KitReader::Open of `kit`.
std::string DescribeOpenFailure(ErrorCode code, const std::string& kit);

// The commands. Each writes its report to `out`, its complaints (prefixed
// "kittool: ") to `err`, and returns the exit status.
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
// `terminal`, otherwise one line "NN% path" per entry. SIGINT and SIGTERM
// cancel the job, which then rolls back. Exit status kExitOk, or
// kExitFailure with the reason on `err` (cancellation included).
int RunExtract(const KittoolOptions& options, std::ostream& out,
               std::ostream& err, bool terminal,
               const ExtractHooks* hooks = nullptr);

// Parses `args` and runs the command; extract reports progress as a bar
// when standard error is a terminal.
int KittoolMain(const std::vector<std::string>& args, std::ostream& out,
                std::ostream& err, const ExtractHooks* hooks = nullptr);

#endif  // TOOLS_KITTOOL_LIB_H_
