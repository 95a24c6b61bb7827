#include "ui/flow_logic.h"

#include <string_view>

#include "l10n/string_table.h"
#include "launcher_config/template_locations.h"
#include "text/path_utils.h"

namespace {

std::u16string_view View(const WideString& text) {
  return std::u16string_view(text.c_str(), text.length());
}

void RemoveAll(WideString& text, char16_t unit) {
  const char16_t from[] = {unit, 0};
  ReplaceAll(text, WideString(from), WideString());
}

bool IsBlank(char16_t unit) { return unit == u' ' || unit == u'\t'; }

void TrimBlanks(WideString& text) {
  uint32_t end = text.length();
  while (end > 0 && IsBlank(text[end - 1])) --end;
  uint32_t begin = 0;
  while (begin < end && IsBlank(text[begin])) ++begin;
  if (end < text.length()) text.erase(end);
  if (begin > 0) text.erase(0, begin);
}

bool StartsWithHome(const WideString& path) {
  return path == u"~" || View(path).substr(0, 2) == u"~/";
}

// `path` with its leading "~" replaced by `home`.
WideString WithHome(const WideString& path, const WideString& home) {
  WideString result = home;
  result.append(path, 1);
  return result;
}

}  // namespace

ProgressView ViewFor(int percent) {
  // The bar refuses fractions outside 0..1; the worker posts only 0..100.
  const int clamped = percent < 0 ? 0 : percent > 100 ? 100 : percent;
  return ProgressView{percent == 100, static_cast<double>(clamped) / 100.0};
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
    WideString dir = CleanTemplateLocation(location);
    if (StartsWithHome(dir)) {
      dir = home.empty() ? WideString() : WithHome(dir, home);
    }
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

WideString NormaliseTypedDirectory(WideString typed,
                                   const WideString& current_dir,
                                   const WideString& home) {
  ToSlashes(typed);
  TrimBlanks(typed);
  if (typed.empty()) return typed;
  if (StartsWithHome(typed)) return WithHome(typed, home);
  if (typed[0] == u'/') return typed;
  if (current_dir.empty()) return WideString();
  WideString result = current_dir;
  AppendSeparator(result, SeparatorVariant::kSlashOnly);
  result.append(typed);
  return result;
}

bool LacksSpaceForKit(std::optional<uint64_t> kit_size,
                      std::optional<uint64_t> free_bytes) {
  if (!kit_size || !free_bytes) return false;
  return static_cast<unsigned __int128>(*kit_size) * 3 > *free_bytes;
}

WideString KitPathBeside(const WideString& executable_path) {
  if (executable_path.empty()) return WideString();
  const std::u16string_view path = View(executable_path);
  const size_t slash = path.rfind(u'/');
  WideString result = executable_path;
  if (slash != std::u16string_view::npos) {
    result.erase(static_cast<uint32_t>(slash));
  }
  return result + u"/tqkt.efd";
}

WideString DescriptionPath(const WideString& target_dir,
                           const WideString& description) {
  WideString path = target_dir + description;
  ToSlashes(path);
  return path;
}

WideString WelcomeText(WideString product, WideString provider) {
  if (product.empty()) product = StringTable::Lookup("IDS_DEFPRODUCT");
  if (provider.empty()) provider = StringTable::Lookup("IDS_DEFPROVIDER");
  return StringTable::Lookup("IDS_WELCOME_TITLE") + u" " + product + u" (" +
         provider + u").";
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

CloseAction CloseActionFor(bool final_step) {
  return final_step ? CloseAction::kFinish : CloseAction::kAsk;
}

int ExitStatusFor(Outcome outcome) {
  switch (outcome) {
    case Outcome::kSucceeded:
      return 0;
    case Outcome::kFailed:
    case Outcome::kNoDisplay:
      return 1;
    case Outcome::kUnfinished:
    case Outcome::kCancelled:
      break;
  }
  return 2;
}
