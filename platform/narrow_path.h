// Small operations on paths already in the system's multibyte form, shared
// by the file operations and the install engine. Pure functions; any thread.
#ifndef PLATFORM_NARROW_PATH_H_
#define PLATFORM_NARROW_PATH_H_

#include <string>

// Drops trailing slashes, keeping a lone "/".
inline std::string WithoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// For a path without trailing slashes: the directory part, "" when there is
// none and "/" for a name in the root.
inline std::string ParentOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return "";
  while (slash > 0 && path[slash - 1] == '/') --slash;
  return slash == 0 ? "/" : path.substr(0, slash);
}

#endif  // PLATFORM_NARROW_PATH_H_
