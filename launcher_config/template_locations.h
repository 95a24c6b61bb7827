// The template directories that the launcher knows, kept in its configuration
// under the key ConfigurationTemplatesLocation, one directory a line, the most
// recently used first. The installation flow reads them to propose a
// directory, falls back to the per-user default, and after a successful
// installation writes the list back with the new directory in front. Every
// other key of the configuration is kept as it was.
//
// GTK main thread only. Each call builds, uses and drops its own
// LauncherConfig; nothing is kept between calls.
#ifndef LAUNCHER_CONFIG_TEMPLATE_LOCATIONS_H_
#define LAUNCHER_CONFIG_TEMPLATE_LOCATIONS_H_

#include <string>
#include <vector>

#include "text/wide_string.h"

// The key under which the launcher lists template directories.
extern const char16_t
    kTemplatesLocationKey[];  // "ConfigurationTemplatesLocation"

// Appends to `locations` the directories listed in the main file of the kind
// (`common`, see LauncherConfig), then those of its secondary file not already
// taken; turns every backslash of the whole list into a slash and drops
// repeats (DedupLocations). Never fails: files that cannot be read add
// nothing. Returns false when a file that exists could not be read whole
// (the list may then lack some of its locations).
bool ReadTemplateLocations(std::vector<WideString>& locations, bool common);

// Makes `locations`, without repeats, the key's values in the main file of
// the kind, in that order (an empty list removes the key's lines), and
// rewrites the file. Other keys keep their lines and their order; the key's
// lines take the place of its first line, or go to the end. Throws what
// LauncherConfig::Save throws (kConfigCannotOpen, kConfigCannotWrite); the
// file is then unchanged.
void WriteTemplateLocations(const std::vector<WideString>& locations,
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
// directory.
WideString DefaultTemplateBase();

// True when the installation could write into `directory`: an unnamed file
// (O_TMPFILE) is made in it and closed; where the file system cannot make
// one, a probe file is created (exclusively, under an unpredictable name
// with the prefix "WEX") and removed again. A directory that does not exist yet counts as
// writable when its nearest existing ancestor is a writable directory, since
// the installation creates the missing levels. False for anything else,
// including an empty path, a path that leads through a file, and a directory
// on a read-only file system. Never fails.
bool IsWritableDirectory(const WideString& directory);

// The same probe, saying what it looked at and why it failed: the directory
// probed (the nearest existing one at or above `directory`, in the locale's
// encoding) and the system's errno when the installation could not write
// there (ENOTDIR when a file stands where a directory would have to be).
struct WritableCheck {
  bool writable = false;
  std::string probed;
  int error = 0;
};
WritableCheck CheckWritableDirectory(const WideString& directory);

#endif  // LAUNCHER_CONFIG_TEMPLATE_LOCATIONS_H_
