#include "platform/directory_enumerator.h"

#include <fnmatch.h>

#include <cerrno>
#include <cstring>

#include "platform/system_api.h"
#include "text/text_conversion.h"

DirectoryEnumerator::~DirectoryEnumerator() { Close(); }

void DirectoryEnumerator::Close() {
  if (dir_ != nullptr) {
    sys_.CloseDir(dir_);
    dir_ = nullptr;
  }
}

bool DirectoryEnumerator::First(const WideString& search_path) {
  Close();
  search_path_ = ToNarrow(search_path);
  const char* text = search_path_.c_str();
  const char* slash = std::strrchr(text, '/');
  if (slash == nullptr) {
    directory_ = search_path_;
    pattern_ = search_path_;
  } else {
    // "/name" lies in the root directory, not in the directory "".
    uint32_t directory_length =
        slash == text ? 1 : static_cast<uint32_t>(slash - text);
    directory_.assign(text, directory_length);
    pattern_.assign(slash + 1, static_cast<uint32_t>(std::strlen(slash + 1)));
  }
  dir_ = sys_.OpenDir(directory_.c_str());
  if (dir_ == nullptr) return false;
  return Advance();
}

bool DirectoryEnumerator::Next() {
  if (dir_ == nullptr) return false;
  return Advance();
}

bool DirectoryEnumerator::Advance() {
  for (;;) {
    struct dirent* entry = sys_.ReadDir(dir_);
    if (entry == nullptr) {
      Close();
      return false;
    }
    int match = fnmatch(pattern_.c_str(), entry->d_name, FNM_NOESCAPE);
    if (match == FNM_NOMATCH) continue;
    if (match != 0) return false;
    NarrowString name(entry->d_name);
    NarrowString full = directory_;
    full.append("/", 1).append(name);
    if (sys_.Stat(full.c_str(), &entry_status_) == -1) continue;
    entry_name_ = name;
    return true;
  }
}

WideString DirectoryEnumerator::Name() const {
  if (dir_ == nullptr) return WideString();
  return ToWide(entry_name_);
}

uint32_t DirectoryEnumerator::Attributes() const {
  if (dir_ == nullptr) return 0;
  return S_ISDIR(entry_status_.st_mode) ? kFileAttributeDirectory : 0;
}

Status GetFileSize(SystemApi& sys, const WideString& path, uint64_t* size) {
  const NarrowString narrow = ToNarrow(path);
  struct stat status;
  if (sys.Stat(narrow.c_str(), &status) == -1) {
    return Status::System(errno, narrow.c_str());
  }
  *size = static_cast<uint64_t>(status.st_size);
  return Status::Ok();
}
