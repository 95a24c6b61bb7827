// kittool's command line: which command, with which operands and options,
// and the exit statuses every command returns. Plain values, no system
// calls; any thread.
//
// Text arguments stay in the locale's multibyte encoding here; the commands
// convert what goes into a kit.
#ifndef TOOLS_KITTOOL_ARGS_H_
#define TOOLS_KITTOOL_ARGS_H_

#include <string>
#include <vector>

// Exit statuses: success; a failure (bad input data, unreadable or damaged
// files, a report that cannot be written); a command line that makes no
// sense.
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
  std::string kit;         // list, verify, extract, checksum
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

#endif  // TOOLS_KITTOOL_ARGS_H_
