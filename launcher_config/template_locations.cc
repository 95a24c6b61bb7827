#include "launcher_config/template_locations.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>

#include "launcher_config/launcher_config.h"
#include "launcher_config/launcher_paths.h"
#include "platform/error_code.h"
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

// The directory that would receive the missing levels of `path`: `path`
// itself when it exists, else its nearest existing ancestor. Empty when that
// is not a directory or cannot be examined.
}  // namespace

bool ReadTemplateLocations(std::vector<WideString>& locations, bool common) {
  LauncherConfig config(common);
  config.Load();
  config.CollectValues(kTemplatesLocationKey, locations);
  ToSlashes(locations);
  DedupLocations(locations);
  return config.loaded_whole();
}

void WriteTemplateLocations(const std::vector<WideString>& locations,
                            bool common) {
  LauncherConfig config(common);
  config.Load();
  std::vector<WideString> unique = locations;
  DedupLocations(unique);
  LauncherConfig::SetValues(config.main_store, kTemplatesLocationKey, unique);
  config.Save();
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

WideString DefaultTemplateBase() {
  return KitUserDirectory() + u"WEX" + u"/" + u"wex" + u"kt" + u"/";
}

WritableCheck CheckWritableDirectory(const WideString& directory) {
  WritableCheck check;
  if (directory.empty()) {
    check.error = ENOENT;
    return check;
  }
  try {
    check.probed = ToNarrow(directory).c_str();
  } catch (const std::exception&) {
    check.error = ENAMETOOLONG;
    return check;
  }
  const std::string probe_in = NearestExistingDirectory(check.probed);
  if (probe_in.empty()) {
    check.error = errno;
    return check;
  }
  check.probed = probe_in;
  // An unnamed file answers the same question as a named one, and leaves
  // nothing in the user's directory even when the process is killed between
  // making and removing it. File systems that cannot make one get the named
  // probe.
  const int fd = Sys().Open(probe_in.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC,
                            0600);
  if (fd != -1) {
    Sys().Close(fd);
    check.writable = true;
    return check;
  }
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
    check.error = errno;
    return check;
  }
  WideString probe;
  if (MakeTempFile(ToWide(NarrowString(probe_in.c_str())), u"WEX", &probe) !=
      kSuccess) {
    check.error = errno;
    return check;
  }
  RunRemoveFile(probe);
  check.writable = true;
  return check;
}

bool IsWritableDirectory(const WideString& directory) {
  return CheckWritableDirectory(directory).writable;
}
