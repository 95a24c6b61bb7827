// Fuzz target for the launcher configuration files: the input is a
// tqlaunch.cfg. Reading it, writing the entries back and reading again must
// give the same entries in the same order, and a second write the same
// bytes. The store operations are then driven with keys and values taken
// from the file (case-changed, so that the case-insensitive matching is hit)
// and their documented results checked.
#include <string>
#include <vector>

#include "launcher_config/launcher_config.h"
#include "platform/status.h"
#include "platform/system_api.h"
#include "tests/fuzz/fuzz_util.h"
#include "text/text_conversion.h"

namespace {

bool Same(const ConfigStore& a, const ConfigStore& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].key != b[i].key || a[i].values != b[i].values) return false;
  }
  return true;
}

// ASCII letters swapped between cases.
WideString SwapCase(const WideString& text) {
  WideString out;
  for (uint32_t i = 0; i < text.length(); ++i) {
    char16_t unit = text[i];
    if (unit >= u'a' && unit <= u'z') unit = unit - u'a' + u'A';
    else if (unit >= u'A' && unit <= u'Z') unit = unit - u'A' + u'a';
    out.push_back(unit);
  }
  return out;
}

bool HasUnit(const WideString& text, char16_t unit) {
  for (uint32_t i = 0; i < text.length(); ++i) {
    if (text[i] == unit) return true;
  }
  return false;
}

// The rules a store read from a file keeps: no key twice and no value twice
// in an entry, ignoring case, and no entry without values.
void CheckStoreRules(const ConfigStore& store) {
  for (const ConfigEntry& entry : store) {
    FUZZ_CHECK(!entry.values.empty());
    FUZZ_CHECK(LauncherConfig::FindValues(store, entry.key) == &entry.values);
    ConfigStore copy = store;
    for (const WideString& value : entry.values) {
      FUZZ_CHECK(!LauncherConfig::AddValue(copy, entry.key, value));
      FUZZ_CHECK(!LauncherConfig::AddValue(copy, SwapCase(entry.key),
                                           SwapCase(value)));
    }
    FUZZ_CHECK(Same(copy, store));
  }
}

// Writing a regular file in the process's own scratch directory has no
// reason to fail.
void Write(const WideString& path, const ConfigStore& store) {
  const Status written = LauncherConfig::WriteFile(RealSystem(), path, store);
  if (!written.ok()) {
    std::fprintf(stderr, "WriteFile: %s\n", written.ToString().c_str());
    FUZZ_CHECK(false);
  }
}

ConfigStore RoundTrip(const WideString& path, const ConfigStore& store) {
  Write(path, store);
  ConfigStore again;
  LauncherConfig::ReadFile(RealSystem(), path, again);
  return again;
}

}  // namespace

extern "C" int FUZZ_ENTRY(const uint8_t* data, size_t size) {
  const std::string path = fuzz::ScratchDir() + "/tqlaunch.cfg";
  const WideString wide_path = ToWide(NarrowString(path.c_str()));
  const int descriptors = fuzz::OpenDescriptors();
  FUZZ_CHECK(fuzz::WriteBytes(path, data, size));

  ConfigStore store;
  LauncherConfig::ReadFile(RealSystem(), wide_path, store);
  CheckStoreRules(store);

  ConfigStore again = RoundTrip(wide_path, store);
  FUZZ_CHECK(Same(again, store));
  const std::string written = fuzz::ReadBytes(path);
  Write(wide_path, again);
  FUZZ_CHECK(fuzz::ReadBytes(path) == written);

  // Store operations with keys and values from the file.
  ConfigStore changed = store;
  std::vector<WideString> keys, values;
  for (const ConfigEntry& entry : store) {
    keys.push_back(entry.key);
    keys.push_back(SwapCase(entry.key));
    for (const WideString& value : entry.values) values.push_back(value);
    if (keys.size() >= 8) break;
  }
  keys.push_back(u"NewKey");
  for (size_t i = 0; i < keys.size(); ++i) {
    const WideString& key = keys[i];
    const WideString value =
        values.empty() ? WideString(u"v") : SwapCase(values[i % values.size()]);
    const std::vector<WideString>* before =
        LauncherConfig::FindValues(changed, key);
    const size_t count_before = before != nullptr ? before->size() : 0;
    const size_t entries_before = changed.size();
    bool added = LauncherConfig::AddValue(changed, key, value);
    const std::vector<WideString>* after =
        LauncherConfig::FindValues(changed, key);
    FUZZ_CHECK(after != nullptr);
    if (added) {
      FUZZ_CHECK(after->size() == count_before + 1);
      FUZZ_CHECK(after->back() == value);
      FUZZ_CHECK(changed.size() == entries_before + (before == nullptr));
    } else {
      FUZZ_CHECK(after->size() == count_before);
      FUZZ_CHECK(changed.size() == entries_before);
    }
    switch (i % 3) {
      case 0: {
        // New values, without two equal ignoring case.
        std::vector<WideString> set;
        for (size_t j = i; j < values.size() && set.size() < 3; ++j) {
          ConfigStore probe;
          for (const WideString& old : set) {
            LauncherConfig::AddValue(probe, u"k", old);
          }
          if (LauncherConfig::AddValue(probe, u"k", values[j])) {
            set.push_back(values[j]);
          }
        }
        if (set.empty()) set.push_back(u"x");
        LauncherConfig::SetValues(changed, key, set);
        const std::vector<WideString>* now =
            LauncherConfig::FindValues(changed, key);
        FUZZ_CHECK(now != nullptr && *now == set);
        FUZZ_CHECK(changed.size() == entries_before + (before == nullptr));
        break;
      }
      case 1: {
        // Removal: the entry goes and an empty one is appended.
        LauncherConfig::SetValues(changed, key, {});
        FUZZ_CHECK(changed.back().key == key && changed.back().values.empty());
        const std::vector<WideString>* now =
            LauncherConfig::FindValues(changed, key);
        FUZZ_CHECK(now != nullptr && now->empty());
        break;
      }
      default:
        break;
    }
  }

  // The changed store writes what reading gives back, less the entries
  // without values (they write no line) -- when every key and value still
  // fits on a line of its own.
  ConfigStore expected;
  bool line_safe = true;
  for (const ConfigEntry& entry : changed) {
    if (entry.values.empty()) continue;
    const bool same_key =
        LauncherConfig::FindValues(expected, entry.key) != nullptr;
    if (same_key || HasUnit(entry.key, u'=') || HasUnit(entry.key, u'\n')) {
      line_safe = false;
    }
    for (const WideString& value : entry.values) {
      if (HasUnit(value, u'\n') || (entry.key.empty() && value.empty())) {
        line_safe = false;
      }
    }
    expected.push_back(entry);
  }
  if (line_safe) FUZZ_CHECK(Same(RoundTrip(wide_path, changed), expected));

  FUZZ_CHECK(fuzz::OpenDescriptors() == descriptors);
  fuzz::ClearScratch();
  return 0;
}
