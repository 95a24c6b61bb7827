#include "app/installer_app.h"

#include <clocale>
#include <cstring>
#include <string>

#include "text/text_conversion.h"

namespace {

// The language named by `code`, with `*code_out` set to it when known.
LanguageId FindLanguageCode(const NarrowString& code, WideString* code_out) {
  LanguageId id = StringTable::FindLanguage(code);
  if (id != kLanguageNone) *code_out = ToWide(code);
  return id;
}

// `arg` for a note: control characters escaped, so that a note stays one
// line whatever was typed.
std::string Shown(const std::string& arg) {
  std::string shown;
  for (const char c : arg) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) {
      static const char kHex[] = "0123456789abcdef";
      shown += "\\x";
      shown += kHex[byte >> 4];
      shown += kHex[byte & 0xf];
    } else {
      shown += c;
    }
  }
  return shown;
}

// "--name VALUE" or "--name=VALUE" at argv[*i]: the value, and *i past it.
bool LongValue(int argc, const char* const* argv, int* i, const char* name,
               std::string* value) {
  const size_t length = std::strlen(name);
  const char* arg = argv[*i];
  if (std::strncmp(arg, name, length) != 0) return false;
  if (arg[length] == '=') {
    *value = arg + length + 1;
    return true;
  }
  if (arg[length] != '\0' || *i + 1 >= argc) return false;
  *value = argv[++*i];
  return true;
}

// One of GTK's own options at argv[*i] (with its value, which *i passes).
bool IsToolkitOption(int argc, const char* const* argv, int* i) {
  static const char* const kWithValue[] = {
      "--display",   "--screen",    "--name",      "--class",
      "--gtk-module", "--gtk-debug", "--gtk-no-debug", "--gdk-debug",
      "--gdk-no-debug"};
  static const char* const kAlone[] = {"--sync", "--g-fatal-warnings"};
  for (const char* option : kAlone) {
    if (std::strcmp(argv[*i], option) == 0) return true;
  }
  std::string ignored;
  for (const char* option : kWithValue) {
    if (LongValue(argc, argv, i, option, &ignored)) return true;
  }
  return false;
}

// The long switches without a value: true when `arg` is one, which is then
// set in *line.
bool ReadFlag(const char* arg, CommandLine* line) {
  if (std::strcmp(arg, "--silent") == 0) {
    line->silent = true;
  } else if (std::strcmp(arg, "--dry-run") == 0) {
    // A dry run never becomes a wizard that installs.
    line->dry_run = true;
    line->silent = true;
  } else if (std::strcmp(arg, "--verbose") == 0) {
    line->verbose = true;
  } else {
    return false;
  }
  return true;
}

// The language named by `code` (from the switch `arg`), or a note.
void SetLanguage(const char* code, const char* arg, CommandLine* line) {
  line->language_id = FindLanguageCode(NarrowString(code), &line->language_code);
  if (line->language_id == kLanguageNone) {
    line->notes.push_back("unknown language \"" + Shown(code) + "\" in \"" +
                          Shown(arg) +
                          "\": the locale's language is used instead");
  }
}

bool IsHelpSwitch(const char* arg) {
  for (const char* spelling : {"-h", "--help", "-?", "/?"}) {
    if (std::strcmp(arg, spelling) == 0) return true;
  }
  return false;
}

}  // namespace

const char kUsageText[] =
    "Usage: setup [usecwd] [-S] [--kit PATH] [--target DIR] [-L<code>]\n"
    "       setup [usecwd] --dry-run [--verbose] [--kit PATH] [--target DIR]\n"
    "             [-L<code>]\n"
    "       setup -h | --help | -? | /?\n"
    "       setup --version\n"
    "\n"
    "Installs the templates of the kit tqkt.efd lying beside setup into a\n"
    "template directory: the first writable one the launcher configuration\n"
    "lists, else the default one under the home directory.\n"
    "\n"
    "  usecwd              as the first argument only: take the kit from the\n"
    "                      current directory instead\n"
    "  -S, /S, --silent    silent: install into the proposed directory\n"
    "                      without a window or questions\n"
    "  --dry-run           like -S, but write nothing anywhere: check the kit,\n"
    "                      print what would be installed and which\n"
    "                      interrupted installations a run would recover\n"
    "  --verbose           with --dry-run: each file that would be copied\n"
    "  --kit PATH          install the kit PATH (its checksum file beside it)\n"
    "  --target DIR        the template directory: -S installs there, the\n"
    "                      window starts with it\n"
    "  -L<code>, /L<code>, --lang=<code>\n"
    "                      language of the texts, one of: ru, uk, en, lv,\n"
    "                      lt, ro, de, bg, ka, kk, vi, tr, el, es, hy, it\n"
    "                      (without it, the locale's language, else en);\n"
    "                      nothing after it is read\n"
    "  --                  the end of the options\n"
    "  -h, --help, -?, /?  print this text and exit\n"
    "  --version           print the program's name and version and exit\n"
    "\n"
    "Exit status:\n"
    "  0  installed\n"
    "  1  failed (or no display for a run without -S)\n"
    "  2  cancelled, or closed before the end\n";

const char kVersionText[] = "setup " TQ_VERSION "\n";

CommandLine ParseCommandLine(int argc, const char* const* argv) {
  CommandLine result;
  int first = 1;
  if (argc >= 2 && std::strcmp(argv[1], "usecwd") == 0) {
    result.use_current_dir = true;
    first = 2;
  }
  // Help and version win over everything, so they are looked for apart
  // from the switch scan below, which stops at the first language switch.
  for (int i = 1; i < argc; ++i) {
    if (IsHelpSwitch(argv[i])) result.help = true;
    if (std::strcmp(argv[i], "--version") == 0) result.version = true;
  }
  const auto note = [&result](const std::string& arg, const std::string& why) {
    result.notes.push_back("ignored \"" + Shown(arg) + "\": " + why);
  };
  const auto language = [&result](const char* code, const char* arg) {
    SetLanguage(code, arg, &result);
  };
  const char* scan_end = nullptr;  // the language switch, or "--"
  for (int i = first; i < argc; ++i) {
    const char* arg = argv[i];
    if (IsHelpSwitch(arg) || std::strcmp(arg, "--version") == 0) continue;
    if (scan_end != nullptr) {
      note(arg, std::string("nothing after \"") + Shown(scan_end) +
                    "\" is read");
      continue;
    }
    std::string value;
    if (std::strcmp(arg, "--") == 0) {
      scan_end = arg;
    } else if (ReadFlag(arg, &result)) {
      // Read.
    } else if (std::strncmp(arg, "--lang=", 7) == 0) {
      language(arg + 7, arg);
      scan_end = arg;
    } else if (LongValue(argc, argv, &i, "--kit", &value)) {
      result.kit = value;
    } else if (LongValue(argc, argv, &i, "--target", &value)) {
      result.target = value;
    } else if (std::strcmp(arg, "--kit") == 0 ||
               std::strcmp(arg, "--target") == 0) {
      note(arg, "it needs a value");
    } else if (IsToolkitOption(argc, argv, &i)) {
      // The toolkit's, read by gtk_init.
    } else if (arg[0] == '-' || arg[0] == '/') {
      // Clearing bit 0x20 folds the ASCII letter to upper case. The second
      // byte may be the terminator ("-"), which matches nothing.
      const unsigned char letter = static_cast<unsigned char>(arg[1]) & ~0x20u;
      if (letter == 'S') {
        result.silent = true;
      } else if (letter == 'L') {
        // Only the first language switch counts, known or not.
        language(arg + 2, arg);
        scan_end = arg;
      } else {
        note(arg, "not an option of setup");
      }
    } else if (std::strcmp(arg, "usecwd") == 0) {
      note(arg, "it counts only as the first argument");
    } else {
      note(arg, "not an option of setup");
    }
  }
  if (result.verbose && !result.dry_run) {
    result.notes.push_back(
        "ignored \"--verbose\": it counts only with --dry-run");
  }
  return result;
}

LanguageId LanguageFromLocaleName(const char* name, WideString* code) {
  *code = u"en";
  if (name == nullptr) return kLanguageEnglish;
  const size_t length = std::strlen(name);
  LanguageId id = FindLanguageCode(
      NarrowString(name, static_cast<uint32_t>(length < 2 ? length : 2)), code);
  return id != kLanguageNone ? id : kLanguageEnglish;
}

LanguageId LanguageFromEnvironment(WideString* code) {
  // The language of the messages, as the C library chooses it (LC_ALL,
  // then LC_MESSAGES, then LANG): a locale whose categories differ has a
  // composite name, and its messages are what the reasons come in.
  if (std::setlocale(LC_ALL, "") == nullptr) {
    return LanguageFromLocaleName(nullptr, code);
  }
  return LanguageFromLocaleName(std::setlocale(LC_MESSAGES, nullptr), code);
}

InstallerApp::InstallerApp(int argc, char** argv) : argc_(argc), argv_(argv) {}

void InstallerApp::Run() {
  command_line_ = ParseCommandLine(argc_, argv_);
  language_id_ = command_line_.language_id;
  if (language_id_ == kLanguageNone) {
    language_id_ = LanguageFromEnvironment(&command_line_.language_code);
    command_line_.language_id = language_id_;
  }
  StringTable::SetCurrentLanguage(language_id_);
  title_ = StringTable::Lookup("IDR_MAINFRAME");
}
