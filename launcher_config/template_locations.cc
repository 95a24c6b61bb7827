#include "launcher_config/template_locations.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "launcher_config/launcher_config.h"
#include "launcher_config/launcher_paths.h"
#include "platform/file_operations.h"
#include "platform/system_api.h"
#include "text/path_utils.h"
#include "text/text_conversion.h"

const char16_t kTemplatesLocationKey[] = u"ConfigurationTemplatesLocation";

namespace {

struct NoCaseLess {
  bool operator()(const WideString& a, const WideString& b) const {
    return CompareNoCase(a, b) < 0;
  }
};

std::u16string_view View(const WideString& text) {
  return std::u16string_view(text.c_str(), text.length());
}

void RemoveAll(WideString& text, char16_t unit) {
  const char16_t from[] = {unit, 0};
  ReplaceAll(text, WideString(from), WideString());
}

}  // namespace

Status ReadTemplateLocations(SystemApi& sys,
                             std::vector<WideString>& locations, bool common) {
  LauncherConfig config(sys, common);
  config.Load();
  config.CollectValues(kTemplatesLocationKey, locations);
  ToSlashes(locations);
  DedupLocations(locations);
  return config.load_failure();
}

Status WriteTemplateLocations(SystemApi& sys,
                              const std::vector<WideString>& locations,
                              bool common) {
  LauncherConfig config(sys, common);
  config.Load();
  std::vector<WideString> unique = locations;
  DedupLocations(unique);
  LauncherConfig::SetValues(config.main_store, kTemplatesLocationKey, unique);
  return config.Save();
}

WideString WithoutTrailingSeparators(const WideString& location) {
  uint32_t end = location.length();
  while (end > 1 && (location[end - 1] == u'/' || location[end - 1] == u'\\')) {
    --end;
  }
  if (end == location.length()) return location;
  WideString result = location;
  result.erase(end);
  return result;
}

void DedupLocations(std::vector<WideString>& locations) {
  std::set<WideString, NoCaseLess> seen;
  auto kept = locations.begin();
  for (auto it = locations.begin(); it != locations.end(); ++it) {
    if (!seen.insert(WithoutTrailingSeparators(*it)).second) continue;
    if (kept != it) *kept = std::move(*it);
    ++kept;
  }
  locations.erase(kept, locations.end());
}

WideString DefaultTemplateBase(SystemApi& sys) {
  const WideString base = KitUserDirectory(sys);
  if (base.empty()) return base;
  return base + u"WEX" + u"/" + u"wex" + u"kt" + u"/";
}

namespace {

// The nearest existing directory at or above `directory`, into
// check->probed; false with check->error set when there is none.
bool FindProbed(SystemApi& sys, const WideString& directory,
                WritableCheck* check) {
  if (directory.empty()) {
    check->error = ENOENT;
    return false;
  }
  try {
    check->probed = ToNarrow(directory).c_str();
  } catch (const std::exception&) {
    check->error = ENAMETOOLONG;
    return false;
  }
  const std::string probe_in = NearestExistingDirectory(sys, check->probed);
  if (probe_in.empty()) {
    check->error = errno;
    return false;
  }
  check->probed = probe_in;
  return true;
}

// Whether a file can be made in check->probed, asked with an unnamed one:
// it answers the same question as a named one and leaves nothing in the
// user's directory, not even a changed time, and nothing after a kill
// between making and removing it. Nullopt where the file system cannot
// make one (check->error untouched); otherwise check->error on failure.
std::optional<bool> ProbeUnnamed(SystemApi& sys, WritableCheck* check) {
  const int fd = sys.Open(check->probed.c_str(),
                          O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (fd != -1) {
    sys.Close(fd);
    return true;
  }
  if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL) {
    return std::nullopt;
  }
  check->error = errno;
  return false;
}

// The probe of both checks; where no unnamed file can be made, a named
// one when `may_name` allows it, else the permissions.
WritableCheck CheckWritable(SystemApi& sys, const WideString& directory,
                            bool may_name) {
  WritableCheck check;
  if (!FindProbed(sys, directory, &check)) return check;
  if (const std::optional<bool> made = ProbeUnnamed(sys, &check)) {
    check.writable = *made;
    return check;
  }
  if (!may_name) {
    if (sys.Access(check.probed.c_str(), W_OK | X_OK) != 0) {
      check.error = errno;
      return check;
    }
  } else {
    std::string probe;
    const Status made = MakeTempFile(sys, check.probed, "WEX", &probe);
    if (!made.ok()) {
      check.error = made.error();
      return check;
    }
    RemoveFile(sys, probe);
  }
  check.writable = true;
  return check;
}

}  // namespace

WritableCheck CheckWritableWithoutWriting(SystemApi& sys,
                                          const WideString& directory) {
  return CheckWritable(sys, directory, false);
}

WritableCheck CheckWritableDirectory(SystemApi& sys,
                                     const WideString& directory) {
  return CheckWritable(sys, directory, true);
}

bool IsWritableDirectory(SystemApi& sys, const WideString& directory) {
  return CheckWritableDirectory(sys, directory).writable;
}

bool IsUrlLocation(const WideString& location) {
  const std::u16string_view text = View(location);
  for (std::u16string_view marker : {u"http://", u"https://", u"ftp://"}) {
    if (text.find(marker) != std::u16string_view::npos) return true;
  }
  return false;
}

WideString CleanTemplateLocation(const WideString& location) {
  if (IsUrlLocation(location)) return WideString();
  WideString result = location;
  const size_t file_marker = View(result).find(u"file://");
  if (file_marker != std::u16string_view::npos) {
    result.erase(static_cast<uint32_t>(file_marker), 7);
  }
  RemoveAll(result, u'\n');
  RemoveAll(result, u'\r');
  TrimBlanks(result);
  return result;
}

TargetChoice ChooseTargetDir(
    const std::vector<WideString>& locations, const WideString& default_dir,
    const WideString& home,
    const std::function<bool(const WideString&)>& is_writable) {
  TargetChoice choice;
  for (const WideString& location : locations) {
    // A URL is taken as the launcher's choice but cannot be installed into:
    // the user is asked for a directory instead of silently getting the
    // default.
    if (IsUrlLocation(location)) return choice;
    // Probe the directory as it will be used, not the raw text with its
    // "file://", stray line end or blanks.
    bool tilde = false;
    WideString dir = ExpandHome(CleanTemplateLocation(location), home, &tilde);
    if (tilde && home.empty()) dir = WideString();
    // A relative location would follow the current directory of whoever
    // started the installer, not the launcher's idea of the place.
    const bool usable = !dir.empty() && dir[0] == u'/';
    if (usable && is_writable(dir)) {
      choice.dir = dir;
      return choice;
    }
  }
  choice.dir = CleanTemplateLocation(default_dir);
  if (!locations.empty()) {
    choice.fell_back = true;
    choice.first_skipped = locations.front();
  }
  return choice;
}

std::vector<WideString> LocationsAfterSuccess(
    const std::vector<WideString>& locations, const WideString& target_dir) {
  // Every trailing separator goes, so that runs into one directory typed
  // as "t", "t/" or "t//" record it in one spelling.
  const WideString location = WithoutTrailingSeparators(target_dir);
  std::vector<WideString> result;
  result.reserve(locations.size() + 1);
  result.push_back(location);
  result.insert(result.end(), locations.begin(), locations.end());
  return result;
}

ConfigWrites ConfigFilesToWrite(bool common_locations_used,
                                bool common_config_exists) {
  return ConfigWrites{!common_locations_used, common_config_exists};
}
