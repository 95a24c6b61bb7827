// Small text and path operations shared by the kit, the engine, the launcher
// configuration and the installation flow. Paths are WideStrings; "/" is the
// operating system's separator and "\\" arrives from kits, users and the
// launcher configuration.
#ifndef TEXT_PATH_UTILS_H_
#define TEXT_PATH_UTILS_H_

#include <cstdint>
#include <vector>

#include "text/wide_string.h"

// Replaces every occurrence of `from` in `subject`, left to right, without
// overlapping and without searching replaced text again. Returns the count.
// Throws std::length_error("basic_string") before changing anything when the
// result would be longer than WideString::kMaxLength.
int32_t ReplaceAll(WideString& subject, const WideString& from,
                   const WideString& to);

// Backslashes to slashes, in place; the list form does every entry.
void ToSlashes(WideString& path);
void ToSlashes(std::vector<WideString>& paths);

enum class SeparatorVariant {
  kSlashOnly,  // "/" unless the path ends in "/"
  kSlash,      // "/" unless the path ends in "/" or "\\"
  kBackslash,  // "\\" unless the path ends in "/" or "\\"
};
// Adds one separator to a non-empty path as `variant` says.
void AppendSeparator(WideString& path, SeparatorVariant variant);

// Removes one trailing "/" or "\\"; only one, so "dir//" becomes "dir/".
void StripSeparator(WideString& path);

// True only for exactly "/".
bool IsRootPath(const WideString& path);

// Removes the blanks (spaces and tabs) at both ends, in place.
void TrimBlanks(WideString& text);

// `path` with a leading "~" (alone, or before "/") replaced by `home`;
// other paths as they are. *expanded says whether it was replaced.
WideString ExpandHome(const WideString& path, const WideString& home,
                      bool* expanded = nullptr);

// `value` in `radix` (2 to 36), most significant digit first, lower-case
// letters for digits above 9. Radix 10 reads the value as signed (at most 11
// units, "-2147483648"), every other radix as unsigned. Throws
// std::invalid_argument for a radix outside 2 to 36.
WideString FormatInteger(uint32_t value, uint32_t radix);

#endif  // TEXT_PATH_UTILS_H_
