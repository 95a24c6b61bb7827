#include "tools/kittool_args.h"

#include <strings.h>

#include <algorithm>
#include <cstdint>

namespace {

constexpr char kUsageText[] =
    "Usage:\n"
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
    "  kittool --help | -h\n"
    "  kittool --version\n"
    "\n"
    "-o KIT is also --output KIT; an option's value may follow it after\n"
    "\"=\" (--level=9, --output=KIT); \"--\" ends the options, so that\n"
    "an operand may begin with \"-\".\n"
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
    "         writes and checks. A --description that names no file\n"
    "         of the tree earns a warning (verify says the same).\n"
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

// A pack command line being read.
struct PackParse {
  KittoolOptions* options;
  // Texts given before any --lang: the single-language record, or a
  // mistake; and the options that gave them.
  PackLanguage loose;
  std::vector<std::string> loose_given;
  // The text options given for each --lang record so far.
  std::vector<std::vector<std::string>> given;
  // The options that may come only once, as far as they came.
  std::vector<std::string> seen;
};

using PackSetter = bool (*)(PackParse& parse, const std::string& value,
                            std::string* error);

// One option of pack.
struct PackOption {
  const char* name;
  const char* other_name;  // the same option spelt otherwise, or null
  bool takes_value;        // "--name value" or "--name=value"
  // What it sets: a text of the current language record (each given once
  // per record), or else whatever `set` does.
  std::string PackLanguage::*field;
  PackSetter set;
  // What is said when it comes twice; null when it may come again (or, for
  // a record's text, once per record).
  const char* twice;
};

bool SetOutput(PackParse& parse, const std::string& value, std::string* error) {
  if (value.empty()) {
    *error = "the output kit's name is empty";
    return false;
  }
  parse.options->output = value;
  return true;
}

bool SetLevel(PackParse& parse, const std::string& value, std::string* error) {
  if (value.size() != 1 || value[0] < '0' || value[0] > '9') {
    *error = "--level takes a number from 0 to 9, not \"" + value + "\"";
    return false;
  }
  parse.options->level = value[0] - '0';
  return true;
}

bool AddLanguage(PackParse& parse, const std::string& value,
                 std::string* error) {
  if (value.empty()) {
    *error = "--lang needs a language code, such as en";
    return false;
  }
  for (const PackLanguage& record : parse.options->languages) {
    if (strcasecmp(record.language.c_str(), value.c_str()) == 0) {
      *error = "language \"" + value +
               "\" is given twice (the installer would only ever use the "
               "first)";
      return false;
    }
  }
  parse.options->languages.push_back(PackLanguage{value, "", "", ""});
  parse.given.emplace_back();
  return true;
}

bool SetSingleLanguage(PackParse& parse, const std::string&, std::string*) {
  parse.options->single_language = true;
  return true;
}

const PackOption kPackOptions[] = {
    {"-o", "--output", true, nullptr, SetOutput,
     "the output kit is given twice"},
    {"--level", nullptr, true, nullptr, SetLevel, "--level is given twice"},
    {"--lang", nullptr, true, nullptr, AddLanguage, nullptr},
    {"--product", nullptr, true, &PackLanguage::product, nullptr, nullptr},
    {"--provider", nullptr, true, &PackLanguage::provider, nullptr, nullptr},
    {"--description", nullptr, true, &PackLanguage::description, nullptr,
     nullptr},
    {"--single-language", nullptr, false, nullptr, SetSingleLanguage, nullptr},
};

const PackOption* FindPackOption(const std::string& name) {
  for (const PackOption& option : kPackOptions) {
    if (name == option.name ||
        (option.other_name != nullptr && name == option.other_name)) {
      return &option;
    }
  }
  return nullptr;
}

// A text of the record the last --lang started, or of the loose one.
bool SetRecordText(std::string PackLanguage::*field, const std::string& name,
                   const std::string& value, PackParse& parse,
                   std::string* error) {
  const bool loose = parse.given.empty();
  PackLanguage* record =
      loose ? &parse.loose : &parse.options->languages.back();
  std::vector<std::string>* seen =
      loose ? &parse.loose_given : &parse.given.back();
  if (std::find(seen->begin(), seen->end(), name) != seen->end()) {
    *error = name + " is given twice for " +
             (loose ? std::string("the kit")
                    : "language \"" + record->language + "\"");
    return false;
  }
  seen->push_back(name);
  record->*field = value;
  return true;
}

bool ApplyPackOption(const PackOption& option, const std::string& name,
                     const std::string& value, PackParse& parse,
                     std::string* error) {
  if (option.field != nullptr) {
    return SetRecordText(option.field, name, value, parse, error);
  }
  if (option.twice != nullptr) {
    if (std::find(parse.seen.begin(), parse.seen.end(), option.name) !=
        parse.seen.end()) {
      *error = option.twice;
      return false;
    }
    parse.seen.push_back(option.name);
  }
  return option.set(parse, value, error);
}

// The option at args[*i], which starts with "-"; *i moves past its value.
bool ParsePackOption(const std::vector<std::string>& args, size_t* i,
                     PackParse& parse, std::string* error) {
  const std::string& arg = args[*i];
  std::string name = arg;
  std::string value;
  const size_t equals = arg.find('=');
  const bool inline_value =
      arg.compare(0, 2, "--") == 0 && equals != std::string::npos;
  if (inline_value) {
    name = arg.substr(0, equals);
    value = arg.substr(equals + 1);
  }
  const PackOption* option = FindPackOption(name);
  if (option == nullptr || (inline_value && !option->takes_value)) {
    *error = "unknown option \"" + name + "\"";
    return false;
  }
  if (option->takes_value && !inline_value) {
    if (*i + 1 >= args.size()) {
      *error = "option " + name + " needs a value";
      return false;
    }
    value = args[++*i];
  }
  return ApplyPackOption(*option, name, value, parse, error);
}

// What a whole pack command line must hold.
bool FinishPack(PackParse& parse, std::string* error) {
  KittoolOptions* options = parse.options;
  if (options->source_dir.empty()) {
    *error = "pack needs a source directory";
    return false;
  }
  if (options->output.empty()) {
    *error = "pack needs the output kit: -o KIT";
    return false;
  }
  if (options->single_language) {
    if (!options->languages.empty()) {
      *error = "--lang records and --single-language exclude each other";
      return false;
    }
    parse.loose.language = "en";
    options->languages.push_back(parse.loose);
    return true;
  }
  if (!parse.loose_given.empty()) {
    *error = parse.loose_given.front() +
             " comes before any --lang (or add --single-language)";
    return false;
  }
  if (options->languages.empty()) {
    *error = "pack needs at least one --lang record, or --single-language";
    return false;
  }
  return true;
}

bool ParsePack(const std::vector<std::string>& args, KittoolOptions* options,
               std::string* error) {
  PackParse parse{options, {}, {}, {}, {}};
  bool options_done = false;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (options_done || arg.empty() || arg[0] != '-' || arg == "-") {
      if (!options->source_dir.empty()) {
        *error =
            "pack takes one source directory; \"" + arg + "\" is one too many";
        return false;
      }
      options->source_dir = arg;
    } else if (arg == "--") {
      options_done = true;
    } else if (arg == "--help" || arg == "-h") {
      options->command = KittoolCommand::kHelp;
      return true;
    } else if (!ParsePackOption(args, &i, parse, error)) {
      return false;
    }
  }
  return FinishPack(parse, error);
}

enum class Operands { kRead, kHelp, kRefused };

// The operands after the command into *operands; "--" ends the options.
// kHelp for a help switch; kRefused, with `error`, for an unknown option or
// an operand beyond `most` (the command takes `what`).
Operands ReadOperands(const std::vector<std::string>& args, size_t most,
                      const char* what, std::vector<std::string>* operands,
                      std::string* error) {
  bool options_done = false;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!options_done && arg == "--") {
      options_done = true;
    } else if (!options_done && (arg == "--help" || arg == "-h")) {
      return Operands::kHelp;
    } else if (!options_done && arg.size() > 1 && arg[0] == '-') {
      *error = "unknown option \"" + arg + "\"";
      return Operands::kRefused;
    } else if (operands->size() == most) {
      *error = args[0] + " takes " + what + "; \"" + arg + "\" is one too many";
      return Operands::kRefused;
    } else {
      operands->push_back(arg);
    }
  }
  return Operands::kRead;
}

// list, verify and checksum: one kit.
bool ParseKitCommand(const std::vector<std::string>& args,
                     KittoolOptions* options, std::string* error) {
  std::vector<std::string> operands;
  switch (ReadOperands(args, 1, "one kit", &operands, error)) {
    case Operands::kHelp:
      options->command = KittoolCommand::kHelp;
      return true;
    case Operands::kRefused:
      return false;
    case Operands::kRead:
      break;
  }
  if (operands.empty() || operands[0].empty()) {
    *error = args[0] + " needs a kit file";
    return false;
  }
  options->kit = operands[0];
  return true;
}

bool ParseExtract(const std::vector<std::string>& args, KittoolOptions* options,
                  std::string* error) {
  std::vector<std::string> operands;
  switch (ReadOperands(args, SIZE_MAX, "", &operands, error)) {
    case Operands::kHelp:
      options->command = KittoolCommand::kHelp;
      return true;
    case Operands::kRefused:
      return false;
    case Operands::kRead:
      break;
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

}  // namespace

std::string KittoolUsage() { return kUsageText; }

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
