// The application object between the process entry and the installer dialog:
// reads the command line, chooses the user-interface language (from -L, else
// from the environment's locale, else English), makes it the string table's
// current language and looks up the window title.
//
// The decisions are plain functions over plain values so that they can be
// tested without a display. Main thread only; Run also sets the process
// locale from the environment when no -L switch chose the language.
#ifndef APP_INSTALLER_APP_H_
#define APP_INSTALLER_APP_H_

#include <string>
#include <vector>

#include "l10n/string_table.h"
#include "text/wide_string.h"

// What the command line asks for. The whole vocabulary is:
//   usecwd            only as argv[1], exactly: look for the kit in the
//                     current directory instead of beside the executable
//   -S, /S            silent (any case of S; the rest of the argument is
//                     ignored, so -Silent counts)
//   -L<code>, /L<code> language by its exact two-letter code; the first such
//                     switch ends the scan, known code or not
//   -h, --help, -?, /? exactly, anywhere (after -L too): print kUsageText and
//                     do nothing else
//   --version         exactly, anywhere: print kVersionText and do nothing
//                     else (help wins when both are given)
//   --silent          the same as -S
//   --lang=<code>     the same as -L<code>, and ends the scan as it does
//   --kit PATH, --kit=PATH
//                     the kit to install instead of tqkt.efd beside setup
//                     (its checksum file is looked for beside it)
//   --target DIR, --target=DIR
//                     the template directory: a silent run installs there;
//                     the wizard's directory page starts with it
//   --dry-run         a silent run that writes nothing (-S implied): what
//                     would be copied, and the installations a start
//                     would recover
//   --verbose         with --dry-run: also each file that would be copied
//   --                the end of the options: nothing after it is read
// GTK's own options (--display, --sync, ...) are left to the toolkit.
// Everything else is ignored, as are the words after the language switch;
// each such word, and a language code that is not known, gets a note.
struct CommandLine {
  bool use_current_dir = false;
  bool silent = false;
  bool dry_run = false;
  bool verbose = false;
  bool help = false;
  bool version = false;
  LanguageId language_id = kLanguageNone;  // none unless -L named a known code
  WideString language_code = u"en";        // set only with language_id
  std::string kit;                         // empty: beside setup
  std::string target;                      // empty: the proposed one
  // One line each, in English, for standard error: what was not read, and
  // what was done instead.
  std::vector<std::string> notes;
};

// REQUIRES: argv[0] .. argv[argc - 1] are NUL-terminated (argv[0] unread).
CommandLine ParseCommandLine(int argc, const char* const* argv);

// What setup prints to standard output for the help switches: the
// vocabulary above and the exit statuses, in English, ending in a newline.
extern const char kUsageText[];

// What setup prints for --version: "setup <version>" and a newline, the
// version being the project's (TQ_VERSION, from the build).
extern const char kVersionText[];

// The language whose code is the first two bytes of the locale name `name`
// (all of it if shorter). English when `name` is null or its start is no
// known code, as for "C", "POSIX" and composite names ("LC_CTYPE=...;...").
// `*code` receives the chosen language's code.
LanguageId LanguageFromLocaleName(const char* name, WideString* code);

// Makes the environment's locale (LC_ALL, LC_*, LANG) the process locale and
// returns LanguageFromLocaleName of the name of its messages' locale
// (LC_ALL, else LC_MESSAGES, else LANG). If the environment names a locale
// that does not exist, the process locale is left as it was and the result
// is English.
LanguageId LanguageFromEnvironment(WideString* code);

class InstallerApp {
 public:
  // `argv` is not copied and must outlive the object.
  InstallerApp(int argc, char** argv);
  InstallerApp(const InstallerApp&) = delete;
  InstallerApp& operator=(const InstallerApp&) = delete;

  // Chooses the language, sets it as the current one and looks up the title.
  void Run();

  // After Run: the chosen language (1..16) and its title; the values for the
  // dialog, with language_id and language_code final.
  LanguageId language_id() const { return language_id_; }
  const WideString& title() const { return title_; }
  const CommandLine& command_line() const { return command_line_; }

 private:
  int argc_;
  char** argv_;
  LanguageId language_id_ = kLanguageNone;
  WideString title_;
  CommandLine command_line_;
};

#endif  // APP_INSTALLER_APP_H_
