// A fresh directory for one test, removed with everything in it (links are
// removed, never followed) when the object goes away. Made with the real
// system, never through the SystemApi seam, so that fault injection in a test
// cannot disturb its own set-up. Linked only into tests.
#ifndef PLATFORM_SCOPED_TEMP_DIR_H_
#define PLATFORM_SCOPED_TEMP_DIR_H_

#include <string>
#include <vector>

#include "text/wide_string.h"

class ScopedTempDir {
 public:
  // Aborts the test program when no directory can be made under /tmp.
  ScopedTempDir();
  ~ScopedTempDir();
  ScopedTempDir(const ScopedTempDir&) = delete;
  ScopedTempDir& operator=(const ScopedTempDir&) = delete;

  // The directory, without a trailing "/".
  const std::string& path() const { return path_; }
  // path() + "/" + name.
  std::string Path(const std::string& name) const;
  // The same as a WideString.
  WideString WidePath(const std::string& name = "") const;

 private:
  std::string path_;
};

// Small file helpers for tests, on the real system. WriteFile replaces the
// file's contents and returns false when it cannot; ReadFile returns the
// contents, or "<missing>" when the file cannot be read.
bool WriteFile(const std::string& path, const std::string& contents);
std::string ReadFile(const std::string& path);
// ToWide of the bytes.
WideString WidePath(const std::string& path);
// The names in `dir` but "." and "..", sorted, into *names; false when it
// cannot be listed.
bool ListDirectory(const std::string& dir, std::vector<std::string>* names);

#endif  // PLATFORM_SCOPED_TEMP_DIR_H_
