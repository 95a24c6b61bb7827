// The decisions of the installation flow, as plain functions over plain
// values: which template directory the wizard proposes, how a typed
// directory becomes the one installed into, what the progress page shows,
// whether the temporary directory has room for the kit, where the kit and
// its description lie, which launcher configuration files are rewritten and
// how the run ends. The dialog (installer_dlg.h) only copies the results into
// widgets, so these are tested without a display.
//
// No GTK types here. Pure functions, callable from any thread, except
// WelcomeText, which looks texts up in the current language.
#ifndef UI_FLOW_LOGIC_H_
#define UI_FLOW_LOGIC_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "text/wide_string.h"

// What the progress page shows for a percentage: the finish text instead of
// the start text exactly at 100, and the bar's fraction.
struct ProgressView {
  bool finished;
  double fraction;  // percent / 100, kept within 0.0 .. 1.0
};
ProgressView ViewFor(int percent);

// True when `location` contains "http://", "https://" or "ftp://" anywhere
// (case-sensitive): a place the installation cannot write into.
bool IsUrlLocation(const WideString& location);

// The template directory as it will be used: empty for a URL location;
// otherwise the first "file://" removed, every line feed and carriage return
// dropped, then the blanks (spaces and tabs) around what is left removed.
WideString CleanTemplateLocation(const WideString& location);

// What ChooseTargetDir proposes.
struct TargetChoice {
  WideString dir;  // empty when a URL comes before any usable location
  // The configuration listed locations but none of them could be used, so
  // `dir` is the default directory.
  bool fell_back = false;
  // With `fell_back`: the first listed location, as it was listed (for a
  // note to the user). Empty otherwise.
  WideString first_skipped;
};

// The directory the wizard proposes, for the template `locations` of the
// launcher configuration. Each location is cleaned (CleanTemplateLocation);
// "~" alone or a leading "~/" then stands for `home`. A location that is
// empty after that, still not absolute (not starting with "/"), or "~..."
// while `home` is empty, is skipped unprobed: it would mean a directory
// relative to wherever the installer happens to run. The first remaining
// one that passes `is_writable` is taken, and later entries are not probed;
// the first URL met ends the search with an empty `dir` (the user must type
// a directory). When none qualifies, the cleaned `default_dir`.
TargetChoice ChooseTargetDir(
    const std::vector<WideString>& locations, const WideString& default_dir,
    const WideString& home,
    const std::function<bool(const WideString&)>& is_writable);

// The directory typed on the directory page, made absolute: "~" alone or a
// leading "~/" stands for `home`; any other path not starting with "/" is
// taken relative to `current_dir`. Backslashes become slashes and the blanks
// (spaces and tabs) around the text are removed first, as for a location
// from the configuration. Empty when nothing but blanks was typed, or when
// it is relative and `current_dir` is empty (the current directory is
// unknown): an empty directory is never installed into.
WideString NormaliseTypedDirectory(WideString typed,
                                   const WideString& current_dir,
                                   const WideString& home);

// True when a kit of `kit_size` bytes needs more room than `free_bytes` of
// the temporary directory: three times its size (computed without
// overflow) is more than the free bytes. A size or free-space figure that
// could not be read (nullopt) skips the check.
bool LacksSpaceForKit(std::optional<uint64_t> kit_size,
                      std::optional<uint64_t> free_bytes);

// The kit beside the executable at `executable_path`: everything before the
// path's last "/" (all of it when there is none) + "/tqkt.efd". Empty for an
// empty path.
WideString KitPathBeside(const WideString& executable_path);

// The description document: `target_dir` and `description` joined as they
// are (no separator is inserted), with backslashes turned into slashes.
WideString DescriptionPath(const WideString& target_dir,
                           const WideString& description);

// The welcome page's text: "IDS_WELCOME_TITLE" " " product " (" provider
// ")." with "IDS_DEFPRODUCT" / "IDS_DEFPROVIDER" for empty names.
WideString WelcomeText(WideString product, WideString provider);

// The template locations to record after a successful installation into
// `target_dir`: the directory without any trailing "/" or "\\" ("/" itself
// stays "/"), in front of `locations`, which keep their spelling (repeats
// are dropped by the writer, DedupLocations).
std::vector<WideString> LocationsAfterSuccess(
    const std::vector<WideString>& locations, const WideString& target_dir);

// Which launcher configuration files take the new location. The user's file
// unless the locations came from the common file (which is then written
// instead); the common file also whenever it exists.
struct ConfigWrites {
  bool user;
  bool common;
};
ConfigWrites ConfigFilesToWrite(bool common_locations_used,
                                bool common_config_exists);

// What Cancel, Escape and the window's close button do: on a final step
// (success, error, cancelled) the wizard finishes at once; on any other it
// asks first.
enum class CloseAction { kAsk, kFinish };
CloseAction CloseActionFor(bool final_step);

// How a run ended, and the process's exit status for it.
enum class Outcome {
  kUnfinished,  // closed before the installation ended
  kSucceeded,
  kFailed,     // a pre-check or the installation failed
  kCancelled,  // the user cancelled the copying (or a signal did)
  kNoDisplay,  // no display and not silent: nothing was attempted
};
// 0 succeeded, 1 failed or no display, 2 cancelled or closed before success.
int ExitStatusFor(Outcome outcome);

#endif  // UI_FLOW_LOGIC_H_
