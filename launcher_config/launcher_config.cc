#include "launcher_config/launcher_config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "launcher_config/launcher_paths.h"
#include "platform/file_operations.h"
#include "platform/system_api.h"
#include "text/text_conversion.h"

namespace {

constexpr size_t kReadBlock = 64 * 1024;
// Past this many links a configuration path is taken as a loop.
constexpr int kMaxLinkHops = 40;
// Files with more lines than this are merged through a hash index; below it
// the plain scan is cheaper than building the index.
constexpr size_t kIndexedLineCount = 64;

// The conversions stop at a 0 element, so text that holds NULs is converted
// piece by piece around them; a NUL byte and a NUL unit stand for each other.
void AppendEncoded(const char16_t* units, size_t count, std::string& out) {
  size_t start = 0;
  while (start <= count) {
    size_t end = start;
    while (end < count && units[end] != 0) ++end;
    if (end > start) {
      size_t needed = WideToMultibyte(units + start, end - start, nullptr, 0);
      size_t offset = out.size();
      // WideToMultibyte zero-fills the whole area and needs room for no
      // terminator: `needed` bytes hold the text exactly.
      out.resize(offset + needed);
      WideToMultibyte(units + start, end - start, out.data() + offset, needed);
    }
    if (end == count) break;
    out.push_back('\0');
    start = end + 1;
  }
}

std::string Encode(const WideString& text) {
  std::string out;
  AppendEncoded(text.c_str(), text.length(), out);
  return out;
}

void AppendDecoded(const char* bytes, size_t count, std::u16string& out) {
  size_t start = 0;
  while (start <= count) {
    const void* nul = memchr(bytes + start, 0, count - start);
    size_t end = nul != nullptr ? static_cast<const char*>(nul) - bytes : count;
    if (end > start) {
      size_t offset = out.size();
      // One unit a byte is enough for the encodings in use; the count that
      // comes back says when it is not.
      size_t capacity = end - start;
      out.resize(offset + capacity);
      size_t units = MultibyteToWide(bytes + start, end - start,
                                     out.data() + offset, capacity);
      if (units > capacity) {
        out.resize(offset + units);
        MultibyteToWide(bytes + start, end - start, out.data() + offset, units);
      }
      out.resize(offset + units);
    }
    if (end == count) break;
    out.push_back(u'\0');
    start = end + 1;
  }
}

bool HasNul(const WideString& text) {
  const char16_t* units = text.c_str();
  for (uint32_t i = 0; i < text.length(); ++i) {
    if (units[i] == 0) return true;
  }
  return false;
}

// The pieces of `text` between NUL units.
std::vector<WideString> SplitAtNul(const WideString& text) {
  std::vector<WideString> pieces;
  const char16_t* units = text.c_str();
  uint32_t start = 0;
  for (uint32_t i = 0; i <= text.length(); ++i) {
    if (i == text.length() || units[i] == 0) {
      pieces.emplace_back(units + start, i - start);
      start = i + 1;
    }
  }
  return pieces;
}

// CompareNoCase, extended over NUL units (which it would stop at).
bool SameNoCase(const WideString& a, const WideString& b) {
  if (!HasNul(a) && !HasNul(b)) return CompareNoCase(a, b) == 0;
  std::vector<WideString> pieces_a = SplitAtNul(a);
  std::vector<WideString> pieces_b = SplitAtNul(b);
  if (pieces_a.size() != pieces_b.size()) return false;
  for (size_t i = 0; i < pieces_a.size(); ++i) {
    if (CompareNoCase(pieces_a[i], pieces_b[i]) != 0) return false;
  }
  return true;
}

// CompareNoCase folds the multibyte form byte by byte. The fold is learnt
// from CompareNoCase itself, one byte against another, so that a text's
// folded bytes are equal exactly when CompareNoCase finds the texts equal,
// whatever the locale; that lets large files be merged through a hash.
class ByteFold {
 public:
  ByteFold() {
    WideString single[256];
    for (int c = 1; c < 256; ++c) {
      char byte = static_cast<char>(c);
      single[c] = ToWide(NarrowString(&byte, 1));
      fold_[c] = static_cast<char>(c);
      for (int d = 1; d < c; ++d) {
        if (static_cast<unsigned char>(fold_[d]) == d &&
            CompareNoCase(single[c], single[d]) == 0) {
          fold_[c] = static_cast<char>(d);
          break;
        }
      }
    }
    fold_[0] = 0;
  }

  std::string Folded(const WideString& text) const {
    std::string bytes = Encode(text);
    for (char& b : bytes) b = fold_[static_cast<unsigned char>(b)];
    return bytes;
  }

 private:
  char fold_[256];
};

// AddValue for many lines at once, with the same results: one hash lookup a
// line instead of a scan of the whole store.
class IndexedAdder {
 public:
  explicit IndexedAdder(ConfigStore& store) : store_(store) {
    for (size_t i = 0; i < store.size(); ++i) {
      if (!entries_.emplace(fold_.Folded(store[i].key), i).second) {
        usable_ = false;  // keys repeated against the rule: scan instead
      }
    }
  }

  void Add(const WideString& key, const WideString& value) {
    if (!usable_) {
      LauncherConfig::AddValue(store_, key, value);
      return;
    }
    auto [found, added] = entries_.emplace(fold_.Folded(key), store_.size());
    if (added) {
      store_.push_back(ConfigEntry{key, {value}});
      values_[found->second].insert(fold_.Folded(value));
      return;
    }
    size_t index = found->second;
    auto known = values_.find(index);
    if (known == values_.end()) {
      known = values_.emplace(index, std::unordered_set<std::string>()).first;
      for (const WideString& old : store_[index].values) {
        known->second.insert(fold_.Folded(old));
      }
    }
    if (known->second.insert(fold_.Folded(value)).second) {
      store_[index].values.push_back(value);
    }
  }

 private:
  ConfigStore& store_;
  ByteFold fold_;
  bool usable_ = true;
  std::unordered_map<std::string, size_t> entries_;
  // Folded values of the entries touched so far.
  std::unordered_map<size_t, std::unordered_set<std::string>> values_;
};

// The UTF-8 byte-order mark some editors put at the start of a file.
constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";
constexpr size_t kByteOrderMarkSize = 3;

// The whole file, read in blocks of whatever size the system returns. It is
// opened without blocking and must be a regular file: a FIFO, a device or a
// directory put at its place would hang the installer or feed it without
// end. *missing says that there is no file at all (which is no failure).
Status ReadBytes(SystemApi& sys, const std::string& path, std::string& bytes,
                 bool* missing) {
  *missing = false;
  const int fd = sys.Open(
      path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0);
  if (fd == -1) {
    *missing = errno == ENOENT || errno == ENOTDIR;
    return *missing ? Status::Ok() : Status::System(errno, path);
  }
  Status result;
  struct stat status;
  if (sys.Fstat(fd, &status) != 0) {
    result = Status::System(errno, path);
  } else if (!S_ISREG(status.st_mode)) {
    result = Status::Of(Status::Kind::kNotAFile, path);
  }
  while (result.ok()) {
    size_t offset = bytes.size();
    bytes.resize(offset + kReadBlock);
    ssize_t n = sys.Read(fd, bytes.data() + offset, kReadBlock);
    bytes.resize(offset + (n > 0 ? static_cast<size_t>(n) : 0));
    if (n == 0) break;
    if (n < 0) result = Status::System(errno, path);
  }
  sys.Close(fd);
  return result;
}

// Adds the lines of the file at `path` to `store`; *bom says whether the
// file began with a byte-order mark, which is no part of its first key.
Status ReadLines(SystemApi& sys, const WideString& path, ConfigStore& store,
                 bool* bom = nullptr) {
  if (bom != nullptr) *bom = false;
  std::string narrow;
  try {
    std::string bytes;
    bool missing = false;
    narrow = ToNarrow(path).c_str();
    if (narrow.empty()) return Status::Ok();
    TQ_RETURN_IF_ERROR(ReadBytes(sys, narrow, bytes, &missing));
    if (missing) return Status::Ok();
    if (bytes.compare(0, kByteOrderMarkSize, kByteOrderMark) == 0) {
      bytes.erase(0, kByteOrderMarkSize);
      if (bom != nullptr) *bom = true;
    }
    std::u16string text;
    AppendDecoded(bytes.data(), bytes.size(), text);
    bytes = std::string();

    struct Line {
      size_t start, equals, end;  // equals == end: no "="
    };
    std::vector<Line> lines;
    size_t start = 0;
    size_t equals = std::u16string::npos;
    for (size_t i = 0; i <= text.size(); ++i) {
      if (i == text.size() || text[i] == u'\n') {
        if (equals == std::u16string::npos) equals = i;
        // An empty line and a lone "=" carry nothing.
        if (i - start > (equals < i ? 1u : 0u)) {
          lines.push_back(Line{start, equals, i});
        }
        start = i + 1;
        equals = std::u16string::npos;
      } else if (text[i] == u'=' && equals == std::u16string::npos) {
        equals = i;
      }
    }
    auto piece = [&text](size_t from, size_t to) {
      if (to - from > WideString::kMaxLength) throw std::length_error("line");
      return WideString(text.data() + from, static_cast<uint32_t>(to - from));
    };
    if (lines.size() <= kIndexedLineCount) {
      for (const Line& line : lines) {
        LauncherConfig::AddValue(
            store, piece(line.start, line.equals),
            piece(line.equals + (line.equals < line.end), line.end));
      }
    } else {
      IndexedAdder adder(store);
      for (const Line& line : lines) {
        adder.Add(piece(line.start, line.equals),
                  piece(line.equals + (line.equals < line.end), line.end));
      }
    }
    return Status::Ok();
  } catch (const std::exception&) {
    // A file too large for memory reads as one that cannot be read.
    return Status::System(ENOMEM, narrow);
  }
}

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Follows `path` through symbolic links to the name that is not a link (which
// may not exist yet). Relative link texts are taken from the link's own
// directory. False on a loop or when a name cannot be examined.
bool ResolveLinks(SystemApi& sys, std::string path, std::string& resolved,
                  struct stat& status, bool& exists) {
  for (int hop = 0; hop <= kMaxLinkHops; ++hop) {
    if (sys.Lstat(path.c_str(), &status) == -1) {
      if (errno != ENOENT) return false;
      exists = false;
      resolved = path;
      return true;
    }
    if (!S_ISLNK(status.st_mode)) {
      exists = true;
      resolved = path;
      return true;
    }
    size_t size =
        status.st_size > 0 ? static_cast<size_t>(status.st_size) + 1 : 4096;
    std::string target;
    for (;;) {
      target.assign(size, '\0');
      ssize_t n = sys.Readlink(path.c_str(), target.data(), size);
      if (n < 0) return false;
      if (static_cast<size_t>(n) < size) {
        target.resize(static_cast<size_t>(n));
        break;
      }
      size *= 2;  // the text may have been cut
    }
    if (target.empty()) return false;
    path = target[0] == '/' ? target : DirectoryOf(path) + "/" + target;
  }
  errno = ELOOP;
  return false;
}

// The process's umask. /proc tells it without changing it; only where /proc
// cannot be read is it set and put back, and then to 077 for the moment in
// between, so that a file another thread creates meanwhile gets fewer
// permissions, never more.
mode_t CurrentUmask(SystemApi& sys) {
  std::string status;
  bool missing = false;
  if (ReadBytes(sys, "/proc/self/status", status, &missing).ok() && !missing) {
    size_t at = status.find("\nUmask:");
    if (at != std::string::npos) {
      char* end = nullptr;
      unsigned long value = strtoul(status.c_str() + at + 7, &end, 8);
      if (end != status.c_str() + at + 7 && value <= 0777) {
        return static_cast<mode_t>(value);
      }
    }
  }
  mode_t mask = umask(077);
  umask(mask);
  return mask;
}

}  // namespace

void LauncherConfig::Load() {
  WideString main_path = common ? CommonConfigPath(sys_) : UserConfigPath(sys_);
  WideString secondary_path =
      common ? UserConfigPath(sys_) : KitUserConfigPath(sys_);
  secondary_failure_ = ReadLines(sys_, secondary_path, secondary_store);
  main_failure_ = ReadLines(sys_, main_path, main_store, &main_bom_);
}

Status LauncherConfig::load_failure() const {
  return main_failure_.ok() ? secondary_failure_ : main_failure_;
}

Status LauncherConfig::Save() {
  const WideString path = common ? CommonConfigPath(sys_) : UserConfigPath(sys_);
  const std::string narrow = ToNarrow(path).c_str();
  if (narrow.empty()) return Status::System(ENOENT, narrow);
  // Rewriting a file that was not read whole would lose the lines it did
  // not see.
  if (!main_failure_.ok()) return main_failure_;
  const std::string directory = DirectoryOf(narrow);
  struct stat status;
  if (sys_.Lstat(narrow.c_str(), &status) != 0) {
    (void)MakeDirectories(sys_, directory);
  }
  if (WriteFile(sys_, path, main_store, main_bom_).ok()) return Status::Ok();
  // The directory may have gone, or never been made because a link or a
  // stale entry looked like the file; one more attempt after making it.
  (void)MakeDirectories(sys_, directory);
  return WriteFile(sys_, path, main_store, main_bom_);
}

void LauncherConfig::ReadFile(SystemApi& sys, const WideString& path,
                              ConfigStore& store) {
  (void)ReadLines(sys, path, store);
}

Status LauncherConfig::WriteFile(SystemApi& sys, const WideString& path,
                                 const ConfigStore& store,
                                 bool byte_order_mark) {
  std::string text;
  std::string narrow_path;
  try {
    narrow_path = ToNarrow(path).c_str();
    for (const ConfigEntry& entry : store) {
      std::string key = Encode(entry.key);
      for (const WideString& value : entry.values) {
        text += key;
        text += '=';
        AppendEncoded(value.c_str(), value.length(), text);
        text += '\n';
      }
    }
    // A first key that begins with the mark itself gets one more in front,
    // which reading drops, so that the key comes back whole.
    if (byte_order_mark ||
        text.compare(0, kByteOrderMarkSize, kByteOrderMark) == 0) {
      text.insert(0, kByteOrderMark);
    }
  } catch (const std::exception&) {
    return Status::System(ENOMEM, narrow_path);  // no memory for the text
  }

  std::string target;
  struct stat old_status = {};
  bool exists = false;
  if (narrow_path.empty()) return Status::System(ENOENT, narrow_path);
  if (!ResolveLinks(sys, narrow_path, target, old_status, exists)) {
    return Status::System(errno, narrow_path);
  }
  mode_t new_mode = 0;
  if (exists) {
    if (!S_ISREG(old_status.st_mode)) {
      return Status::Of(Status::Kind::kNotAFile, narrow_path);
    }
    // The same text is not written again: the file keeps its inode and
    // time, and a file nobody may write is no failure when nothing changes.
    std::string current;
    bool missing = false;
    if (ReadBytes(sys, target, current, &missing).ok() && !missing &&
        current == text) {
      return Status::Ok();
    }
    // Replacing by rename needs no permission on the file itself; a file the
    // user made read-only must stay as it is, as an in-place write would.
    const int check = sys.Open(
        target.c_str(),
        O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0);
    if (check == -1) return Status::System(errno, narrow_path);
    sys.Close(check);
    new_mode = old_status.st_mode & 07777;
  } else {
    new_mode = 0666 & ~CurrentUmask(sys);
  }
  Status written = ReplaceFile(
      sys, target,
      [&](int fd) {
        TQ_RETURN_IF_ERROR(WriteAll(sys, fd, text.data(), text.size()));
        if (exists) {
          // Owner and group are kept where the process may set them;
          // failing that, at least the group, which a member may give away.
          if (sys.Fchown(fd, old_status.st_uid, old_status.st_gid) == -1) {
            sys.Fchown(fd, static_cast<uid_t>(-1), old_status.st_gid);
          }
        }
        return Status::Ok();
      },
      new_mode);
  if (written.ok()) return written;
  // The file the user knows is named, with the system's reason.
  return Status::System(written.error(), narrow_path);
}

const std::vector<WideString>* LauncherConfig::FindValues(
    const ConfigStore& store, const WideString& key) {
  for (const ConfigEntry& entry : store) {
    if (SameNoCase(entry.key, key)) return &entry.values;
  }
  return nullptr;
}

bool LauncherConfig::AddValue(ConfigStore& store, const WideString& key,
                              const WideString& value) {
  ConfigEntry* last = nullptr;
  for (ConfigEntry& entry : store) {
    if (!SameNoCase(entry.key, key)) continue;
    for (const WideString& old : entry.values) {
      if (SameNoCase(old, value)) return false;
    }
    last = &entry;
  }
  if (last != nullptr) {
    last->values.push_back(value);
  } else {
    store.push_back(ConfigEntry{key, {value}});
  }
  return true;
}

void LauncherConfig::SetValues(ConfigStore& store, const WideString& key,
                               const std::vector<WideString>& values) {
  for (auto it = store.begin(); it != store.end(); ++it) {
    if (!SameNoCase(it->key, key)) continue;
    if (!values.empty()) {
      it->values = values;
      return;
    }
    store.erase(it);
    break;
  }
  store.push_back(ConfigEntry{key, values});
}

void LauncherConfig::CollectValues(const WideString& key,
                                   std::vector<WideString>& out) const {
  std::vector<WideString> taken;
  for (const ConfigStore* store : {&main_store, &secondary_store}) {
    const std::vector<WideString>* values = FindValues(*store, key);
    if (values == nullptr) continue;
    for (const WideString& value : *values) {
      bool seen = false;
      for (const WideString& old : taken) {
        if (SameNoCase(old, value)) {
          seen = true;
          break;
        }
      }
      if (seen) continue;
      taken.push_back(value);
      out.push_back(value);
    }
  }
}
