// Helpers shared by the launcher configuration tests: a scoped HOME, a
// readable form of texts and stores for failure messages, and directory
// listings. Test-only.
#ifndef LAUNCHER_CONFIG_LAUNCHER_TEST_UTIL_H_
#define LAUNCHER_CONFIG_LAUNCHER_TEST_UTIL_H_

#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "launcher_config/launcher_config.h"
#include "text/text_conversion.h"
#include "text/wide_string.h"

// Sets HOME (or unsets it, for nullopt) for the scope.
class HomeScope {
 public:
  explicit HomeScope(const std::optional<std::string>& home) {
    if (const char* old = getenv("HOME")) old_ = old;
    if (home) {
      setenv("HOME", home->c_str(), 1);
    } else {
      unsetenv("HOME");
    }
  }
  ~HomeScope() {
    if (old_) {
      setenv("HOME", old_->c_str(), 1);
    } else {
      unsetenv("HOME");
    }
  }
  HomeScope(const HomeScope&) = delete;
  HomeScope& operator=(const HomeScope&) = delete;

 private:
  std::optional<std::string> old_;
};

inline WideString W(const std::u16string& units) {
  return WideString(units.data(), static_cast<uint32_t>(units.size()));
}

// A literal's bytes, NULs included (the terminator excluded).
template <size_t N>
std::string Bytes(const char (&literal)[N]) {
  return std::string(literal, N - 1);
}

// The bytes (no NULs) decoded through the locale.
inline WideString FromBytes(const std::string& bytes) {
  return ToWide(NarrowString(bytes.c_str()));
}

// Printable ASCII as itself, every other unit as \uXXXX.
inline std::string Show(const WideString& text) {
  std::string out;
  for (uint32_t i = 0; i < text.length(); ++i) {
    char16_t unit = text[i];
    if (unit >= 0x20 && unit < 0x7F && unit != u'\\') {
      out += static_cast<char>(unit);
    } else {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "\\u%04X", unsigned{unit});
      out += buffer;
    }
  }
  return out;
}

// "key=[value][value];key2=[value]".
inline std::string Dump(const ConfigStore& store) {
  std::string out;
  for (const ConfigEntry& entry : store) {
    if (!out.empty()) out += ';';
    out += Show(entry.key) + "=";
    for (const WideString& value : entry.values) {
      out += "[" + Show(value) + "]";
    }
  }
  return out;
}

inline std::vector<std::string> Shown(const std::vector<WideString>& list) {
  std::vector<std::string> out;
  for (const WideString& item : list) out.push_back(Show(item));
  return out;
}

// The names in `directory`, sorted; empty when it cannot be listed.
inline std::vector<std::string> ListDir(const std::string& directory) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry :
       std::filesystem::directory_iterator(directory, error)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

#endif  // LAUNCHER_CONFIG_LAUNCHER_TEST_UTIL_H_
