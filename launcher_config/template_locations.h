// The template directories that the launcher knows, kept in its configuration
// under the key ConfigurationTemplatesLocation, one directory a line, the most
// recently used first. The installation flow reads them to propose a
// directory, falls back to the per-user default, and after a successful
// installation writes the list back with the new directory in front. Every
// other key of the configuration is kept as it was.
//
// One thread at a time. Each call builds, uses and drops its own
// LauncherConfig; nothing is kept between calls. All file work goes through
// the SystemApi passed in.
#ifndef LAUNCHER_CONFIG_TEMPLATE_LOCATIONS_H_
#define LAUNCHER_CONFIG_TEMPLATE_LOCATIONS_H_

#include <functional>
#include <string>
#include <vector>

#include "platform/status.h"
#include "text/wide_string.h"

class SystemApi;

// The key under which the launcher lists template directories.
extern const char16_t
    kTemplatesLocationKey[];  // "ConfigurationTemplatesLocation"

// Appends to `locations` the directories listed in the main file of the kind
// (`common`, see LauncherConfig), then those of its secondary file not already
// taken; turns every backslash of the whole list into a slash and drops
// repeats (DedupLocations). Files that cannot be read add nothing. Returns
// why a file that exists could not be read whole (LauncherConfig's
// load_failure: the list may then lack some of its locations), else ok.
Status ReadTemplateLocations(SystemApi& sys,
                             std::vector<WideString>& locations, bool common);

// Makes `locations`, without repeats, the key's values in the main file of
// the kind, in that order (an empty list removes the key's lines), and
// rewrites the file. Other keys keep their lines and their order; the key's
// lines take the place of its first line, or go to the end. Fails as
// LauncherConfig::Save does; the file is then unchanged.
Status WriteTemplateLocations(SystemApi& sys,
                              const std::vector<WideString>& locations,
                              bool common);

// `location` without its trailing "/" and "\\", but never without its first
// unit: "/" and "//" give "/". The form in which locations are compared, and
// in which a new one is recorded.
WideString WithoutTrailingSeparators(const WideString& location);

// Removes the later of any two entries naming the same directory: equal
// ignoring case in their WithoutTrailingSeparators form, so "/srv/t",
// "/srv/t/", "/srv/t\\" and "/SRV/T//" are one directory. The entries kept
// are unchanged (trailing separators included) and keep their order.
void DedupLocations(std::vector<WideString>& locations);

// KitUserDirectory() + "WEX/wexkt/": the base of the default template
// directory. Empty without a usable home directory.
WideString DefaultTemplateBase(SystemApi& sys);

// True when the installation could write into `directory`: an unnamed file
// (O_TMPFILE) is made in it and closed; where the file system cannot make
// one, a probe file is created (exclusively, under an unpredictable name
// with the prefix "WEX") and removed again. A directory that does not exist yet counts as
// writable when its nearest existing ancestor is a writable directory, since
// the installation creates the missing levels. False for anything else,
// including an empty path, a path that leads through a file, and a directory
// on a read-only file system. Never fails.
bool IsWritableDirectory(SystemApi& sys, const WideString& directory);

// The same probe, saying what it looked at and why it failed: the directory
// probed (the nearest existing one at or above `directory`, in the locale's
// encoding) and the system's errno when the installation could not write
// there (ENOTDIR when a file stands where a directory would have to be).
struct WritableCheck {
  bool writable = false;
  std::string probed;
  int error = 0;
};
WritableCheck CheckWritableDirectory(SystemApi& sys,
                                     const WideString& directory);
// The same question answered without writing anything, for a dry run: the
// unnamed file alone, or where the file system cannot make one the
// permissions of the nearest existing directory, as this process's
// effective ids have them (a read-only file system is refused too).
WritableCheck CheckWritableWithoutWriting(SystemApi& sys,
                                          const WideString& directory);

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

// The directory an installation proposes, for the template `locations` of
// the launcher configuration. Each location is cleaned
// (CleanTemplateLocation); "~" alone or a leading "~/" then stands for
// `home`. A location that is empty after that, still not absolute (not
// starting with "/"), or "~..." while `home` is empty, is skipped unprobed:
// it would mean a directory relative to wherever the installer happens to
// run. The first remaining one that passes `is_writable` is taken, and
// later entries are not probed; the first URL met ends the search with an
// empty `dir` (the user must type a directory). When none qualifies, the
// cleaned `default_dir`.
TargetChoice ChooseTargetDir(
    const std::vector<WideString>& locations, const WideString& default_dir,
    const WideString& home,
    const std::function<bool(const WideString&)>& is_writable);

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

#endif  // LAUNCHER_CONFIG_TEMPLATE_LOCATIONS_H_
