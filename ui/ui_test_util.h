// Helpers shared by the wizard's tests: kits made for a case, environment
// and working-directory scopes, widget inspection, a recording stand-in for
// "xdg-open", and a system seam that holds the worker at a chosen file until
// the test lets it go. Test-only.
#ifndef UI_UI_TEST_UTIL_H_
#define UI_UI_TEST_UTIL_H_

#include <gtk/gtk.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "l10n/string_table.h"
#include "platform/fault_injection.h"
#include "text/wide_string.h"

std::string Narrow(const WideString& text);  // UTF-8
// The text of `key` in the current language, as UTF-8.
std::string Text(const char* key);
// The text of `key` in `language`, whatever the current language is.
std::string TextIn(LanguageId language, const char* key);

// One file of a test kit: name with "\\" separators, contents, time in Unix
// seconds.
struct TestFile {
  std::string name;
  std::string data;
  int64_t unix_time = 1700000000;
};
// Writes a kit with an English and a Russian record (product "Quillbrook",
// provider "Ardenvale", descriptions `description` and "ru.html") and the
// files, compressed at `level` (0: stored, so that a changed byte still
// inflates); returns false when it cannot be written.
bool WriteTestKit(const std::string& path, const std::vector<TestFile>& files,
                  const std::string& description = "doc\\readme.html",
                  int level = 6);

// Opens the display for a GUI test (gtk_init_check). False when there is
// none: DISPLAY is unset, or it is set but cannot be opened after a few
// tries, which is also recorded as a test failure, so that a lost display
// is never taken for "no display" and skipped.
bool OpenTestDisplay();

// Sets (or, for nullopt, unsets) an environment variable for the scope.
class EnvScope {
 public:
  EnvScope(const char* name, const std::optional<std::string>& value);
  ~EnvScope();
  EnvScope(const EnvScope&) = delete;
  EnvScope& operator=(const EnvScope&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// Changes the working directory for the scope.
class CwdScope {
 public:
  explicit CwdScope(const std::string& dir);
  ~CwdScope();
  CwdScope(const CwdScope&) = delete;
  CwdScope& operator=(const CwdScope&) = delete;

 private:
  std::string old_;
};

// Writes an executable "xdg-open" into `dir` that appends each of its
// arguments, one a line, and then "fd0=", "fd1=", "fd2=" with what its
// standard descriptors are, to `log`.
bool WriteRecordingOpener(const std::string& dir, const std::string& log);
// Waits (up to a generous limit) for `path` to exist with a complete line.
std::string WaitForFileLine(const std::string& path);

// Files below `dir` (relative paths, sorted), directories with a "/".
std::vector<std::string> ListTree(const std::string& dir);
// The modification time of `path` in Unix seconds, -1 when missing.
int64_t ModificationTime(const std::string& path);

// Makes the text conversions use a ru_RU.KOI8-R locale generated into
// `dir` (a single-byte encoding that is not UTF-8). False when the locale
// cannot be generated or loaded. Undo with RestoreConverterForTesting.
bool UseKoi8rConverter(const std::string& dir);

// Runs pending GTK events.
void PumpEvents();
// What a label shows (without the mark of its access key).
std::string LabelText(GtkWidget* label);
// The label inside a button (null when it has none), and what it shows.
GtkWidget* ButtonTextLabel(GtkWidget* button);
std::string ButtonLabel(GtkWidget* button);
// The widget's position in its GtkFixed.
void FixedPosition(GtkWidget* widget, int* x, int* y);
void SizeRequest(GtkWidget* widget, int* width, int* height);
bool Visible(GtkWidget* widget);
bool Sensitive(GtkWidget* widget);
// Sends a key press (or release) to `window`'s handlers as the display
// would, key code included, so that key bindings see it too; `state` holds
// the modifiers down with it (GDK_MOD1_MASK for Alt).
void SendKey(GtkWidget* window, guint keyval, bool release = false,
             guint state = 0);
// Whether the keyboard of the display has a key for `keyval`.
bool KeyboardHas(guint keyval);
// Sends the window manager's close request.
void SendDelete(GtkWidget* window);

#endif  // UI_UI_TEST_UTIL_H_
