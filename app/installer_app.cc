#include "app/installer_app.h"

#include <clocale>
#include <cstring>

#include "text/text_conversion.h"

namespace {

// The language named by `code`, with `*code_out` set to it when known.
LanguageId FindLanguageCode(const NarrowString& code, WideString* code_out) {
  LanguageId id = StringTable::FindLanguage(code);
  if (id != kLanguageNone) *code_out = ToWide(code);
  return id;
}

bool IsHelpSwitch(const char* arg) {
  for (const char* spelling : {"-h", "--help", "-?", "/?"}) {
    if (std::strcmp(arg, spelling) == 0) return true;
  }
  return false;
}

}  // namespace

const char kUsageText[] =
    "Usage: setup [usecwd] [-S] [-L<code>]\n"
    "       setup -h | --help | -? | /?\n"
    "       setup --version\n"
    "\n"
    "Installs the templates of the kit tqkt.efd lying beside setup into a\n"
    "template directory: the first writable one the launcher configuration\n"
    "lists, else the default one under the home directory.\n"
    "\n"
    "  usecwd              as the first argument only: take the kit from the\n"
    "                      current directory instead\n"
    "  -S, /S              silent: install into the proposed directory\n"
    "                      without a window or questions\n"
    "  -L<code>, /L<code>  language of the texts, one of: ru, uk, en, lv,\n"
    "                      lt, ro, de, bg, ka, kk, vi, tr, el, es, hy, it\n"
    "                      (without it, the locale's language, else en)\n"
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
  for (int i = first; i < argc; ++i) {
    const char* arg = argv[i];
    if (arg[0] != '-' && arg[0] != '/') continue;
    // Clearing bit 0x20 folds the ASCII letter to upper case. The second
    // byte may be the terminator ("-"), which matches nothing.
    const unsigned char letter = static_cast<unsigned char>(arg[1]) & ~0x20u;
    if (letter == 'S') {
      result.silent = true;
    } else if (letter == 'L') {
      result.language_id =
          FindLanguageCode(NarrowString(arg + 2), &result.language_code);
      break;  // only the first language switch counts, known or not
    }
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
  return LanguageFromLocaleName(std::setlocale(LC_ALL, ""), code);
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
