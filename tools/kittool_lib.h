// kittool: the vendors' command-line tool that packs a template tree into a
// kit, lists a kit's tables and verifies a kit with the installer's own
// reader. The pieces live here, apart from main, so that tests can call them.
//
// Text arguments arrive in the locale's multibyte encoding (main calls
// setlocale first) and become UTF-16 through ToWide. Single-threaded.
// Exit statuses: kExitOk, kExitFailure (bad input data, unreadable or
// damaged files), kExitUsage (a command line that makes no sense).
#ifndef TOOLS_KITTOOL_LIB_H_
#define TOOLS_KITTOOL_LIB_H_

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "kit/kit_writer.h"

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

enum class KittoolCommand { kHelp, kPack, kList, kVerify };

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
  std::string kit;         // list, verify
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

// The commands. Each writes its report to `out`, its complaints (prefixed
// "kittool: ") to `err`, and returns the exit status.
int RunPack(const KittoolOptions& options, std::ostream& out,
            std::ostream& err);
int RunList(const KittoolOptions& options, std::ostream& out,
            std::ostream& err);
int RunVerify(const KittoolOptions& options, std::ostream& out,
              std::ostream& err);

// Parses `args` and runs the command.
int KittoolMain(const std::vector<std::string>& args, std::ostream& out,
                std::ostream& err);

#endif  // TOOLS_KITTOOL_LIB_H_
