// The toolkit's own texts (the folder chooser's lists and headings, the
// texts of its stock items) in the wizard's language, which `-L` may make
// another than the locale's. The toolkit translates through gettext, which
// takes the LANGUAGE list first whenever the messages' locale is not plain
// "C"; where it has no translation for a language, its texts stay English
// (the wizard's own labels come from the string tables in any case).
//
// Main thread, before any other thread runs: it changes the environment and
// the process's LC_MESSAGES.
#ifndef UI_TOOLKIT_LANGUAGE_H_
#define UI_TOOLKIT_LANGUAGE_H_

#include <optional>
#include <string>

class ToolkitLanguage {
 public:
  // Makes `code` ("ru", ...) the language of the toolkit's texts.
  explicit ToolkitLanguage(const std::string& code);
  // Puts LANGUAGE and LC_MESSAGES back as they were.
  ~ToolkitLanguage();
  ToolkitLanguage(const ToolkitLanguage&) = delete;
  ToolkitLanguage& operator=(const ToolkitLanguage&) = delete;

  // Puts the environment's LANGUAGE back as it was, for a program started
  // from here (the document opener), which should speak the user's
  // language, not the installer's.
  void RestoreEnvironment();

 private:
  // Makes `messages` the LC_MESSAGES locale, so that gettext looks again.
  void Reset(const std::string& messages);

  std::optional<std::string> old_language_;
  std::string old_messages_;
  bool restored_ = false;
};

#endif  // UI_TOOLKIT_LANGUAGE_H_
