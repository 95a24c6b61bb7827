#include "platform/scoped_temp_dir.h"

#include <dirent.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "text/text_conversion.h"

ScopedTempDir::ScopedTempDir() {
  char name[] = "/tmp/platform-test-XXXXXX";
  if (mkdtemp(name) == nullptr) {
    std::perror("mkdtemp");
    std::abort();
  }
  path_ = name;
}

ScopedTempDir::~ScopedTempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string ScopedTempDir::Path(const std::string& name) const {
  return path_ + "/" + name;
}

WideString ScopedTempDir::WidePath(const std::string& name) const {
  return ::WidePath(name.empty() ? path_ : Path(name));
}

bool WriteFile(const std::string& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
  return static_cast<bool>(out.flush());
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "<missing>";
  std::ostringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

WideString WidePath(const std::string& path) {
  return ToWide(NarrowString(path.c_str()));
}

bool ListDirectory(const std::string& dir, std::vector<std::string>* names) {
  names->clear();
  DIR* listing = opendir(dir.c_str());
  if (listing == nullptr) return false;
  while (struct dirent* entry = readdir(listing)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names->push_back(name);
  }
  closedir(listing);
  std::sort(names->begin(), names->end());
  return true;
}
