#include "tools/kittool_tree.h"

#include <dirent.h>
#include <errno.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "kit/entry_names.h"
#include "platform/file_io.h"
#include "platform/system_api.h"
#include "text/terminal_text.h"
#include "text/text_conversion.h"

namespace {

// Seconds from 1601-01-01 to 1970-01-01: file times cannot go further back.
constexpr int64_t kEarliestUnixSecond = -11644473600LL;

bool HasLoneSurrogate(const WideString& text) {
  const uint32_t length = text.length();
  for (uint32_t i = 0; i < length; ++i) {
    const char16_t unit = text[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < length &&
        text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      ++i;
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      return true;
    }
  }
  return false;
}

// The conversion maps bytes that are invalid in the locale's encoding to lone
// surrogates; a kit must carry real text.
bool ConvertText(const std::string& text, WideString* wide) {
  *wide = ToWide(NarrowString(text.c_str()));
  return !HasLoneSurrogate(*wide);
}

struct FoundFile {
  std::string relative;  // "/"-separated: the sort key
  KitFileSpec spec;
};

// One walk over a tree; the first failure ends it with its message.
struct TreeWalk {
  SystemApi& sys;
  const std::string& root;  // "" for "/"
  std::vector<FoundFile>* found;
  std::string* error;

  bool Fail(const std::string& message) {
    *error = message;
    return false;
  }
};

// The path may hold anything a file name can, so it is escaped.
std::string NameProblemMessage(const std::string& path,
                               EntryNameProblem problem) {
  return "\"" + EscapeForTerminal(ToWide(NarrowString(path.c_str()))) +
         "\": its path in the kit " + DescribeEntryNameProblem(problem) +
         ", which a kit must not hold; rename it";
}

// The names in the directory `dir_path` but "." and "..".
bool ListDirectory(TreeWalk& walk, const std::string& dir_path,
                   std::vector<std::string>* names) {
  DIR* dir = walk.sys.OpenDir(dir_path.c_str());
  if (dir == nullptr) {
    return walk.Fail("cannot read the directory \"" + dir_path +
                     "\": " + std::strerror(errno));
  }
  errno = 0;
  while (struct dirent* item = walk.sys.ReadDir(dir)) {
    if (std::strcmp(item->d_name, ".") != 0 &&
        std::strcmp(item->d_name, "..") != 0) {
      names->push_back(item->d_name);
    }
    errno = 0;
  }
  const int read_errno = errno;
  walk.sys.CloseDir(dir);
  if (read_errno != 0) {
    return walk.Fail("cannot read the directory \"" + dir_path +
                     "\": " + std::strerror(read_errno));
  }
  return true;
}

// The regular file `path` (at `rel` below the root) with `status`, as the
// kit will hold it.
bool AddFile(TreeWalk& walk, const std::string& rel, const std::string& path,
             const struct stat& status) {
  if (static_cast<uint64_t>(status.st_size) > UINT32_MAX) {
    return walk.Fail("\"" + path + "\" is larger than a kit can hold (" +
                     std::to_string(kMaxContainerSize) + " bytes in all)");
  }
  if (status.st_mtim.tv_sec < kEarliestUnixSecond) {
    return walk.Fail("\"" + path +
                     "\" has a modification time before 1601, which a kit "
                     "cannot record");
  }
  FoundFile file;
  file.relative = rel;
  std::string backslashed = rel;
  std::replace(backslashed.begin(), backslashed.end(), '/', '\\');
  if (!ConvertText(backslashed, &file.spec.name)) {
    return walk.Fail("\"" + path +
                     "\": the name is not valid text in the current locale's "
                     "encoding");
  }
  // Control characters, and lengths counted in UTF-8 as verify counts
  // them (longer than the locale's bytes in a single-byte encoding).
  const EntryNameProblem problem = CheckEntryName(file.spec.name);
  if (problem != EntryNameProblem::kNone) {
    return walk.Fail(NameProblemMessage(path, problem));
  }
  // Whole seconds only: the installer compares with disk times of whole
  // seconds, and a sub-second part would make it copy the file every time.
  file.spec.last_write = FileTimeFromUnixSeconds(status.st_mtim.tv_sec);
  file.spec.source_path = path;
  file.spec.size = static_cast<uint32_t>(status.st_size);
  walk.found->push_back(std::move(file));
  return true;
}

bool Walk(TreeWalk& walk, const std::string& relative);

// The entry `name` of the directory at `relative`.
bool VisitEntry(TreeWalk& walk, const std::string& relative,
                const std::string& name) {
  const std::string rel = relative.empty() ? name : relative + "/" + name;
  const std::string path = walk.root + "/" + rel;
  if (name.find('\\') != std::string::npos) {
    return walk.Fail("\"" + path +
                     "\": the name contains a backslash, which kits use as "
                     "their path separator; rename it");
  }
  // Before lstat, which fails with a less helpful "File name too long"
  // once the whole path reaches the system's limit.
  const EntryNameProblem problem = CheckEntryPath(rel);
  if (problem != EntryNameProblem::kNone) {
    return walk.Fail(NameProblemMessage(path, problem));
  }
  struct stat status;
  if (walk.sys.Lstat(path.c_str(), &status) != 0) {
    return walk.Fail("cannot examine \"" + path +
                     "\": " + std::strerror(errno));
  }
  if (S_ISLNK(status.st_mode)) {
    return walk.Fail("\"" + path +
                     "\" is a symbolic link; a kit holds regular files only, "
                     "so replace it by a copy of what it points to");
  }
  if (S_ISDIR(status.st_mode)) return Walk(walk, rel);
  if (!S_ISREG(status.st_mode)) {
    return walk.Fail("\"" + path +
                     "\" is neither a regular file nor a directory");
  }
  return AddFile(walk, rel, path, status);
}

bool Walk(TreeWalk& walk, const std::string& relative) {
  const std::string dir_path = relative.empty()
                                   ? (walk.root.empty() ? "/" : walk.root)
                                   : walk.root + "/" + relative;
  std::vector<std::string> names;
  if (!ListDirectory(walk, dir_path, &names)) return false;
  for (const std::string& name : names) {
    if (!VisitEntry(walk, relative, name)) return false;
  }
  return true;
}

}  // namespace

bool CollectTree(SystemApi& sys, const std::string& root,
                 std::vector<KitFileSpec>* files, std::string* error) {
  struct stat status;
  if (sys.Stat(root.c_str(), &status) != 0) {
    *error = "cannot open the source directory \"" + root +
             "\": " + std::strerror(errno);
    return false;
  }
  if (!S_ISDIR(status.st_mode)) {
    *error = "\"" + root + "\" is not a directory";
    return false;
  }
  std::string base = root;
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  if (base == "/") base.clear();
  std::vector<FoundFile> found;
  TreeWalk walk{sys, base, &found, error};
  if (!Walk(walk, "")) return false;
  std::sort(found.begin(), found.end(),
            [](const FoundFile& a, const FoundFile& b) {
              return a.relative < b.relative;
            });
  files->clear();
  files->reserve(found.size());
  for (FoundFile& file : found) files->push_back(std::move(file.spec));
  return true;
}

bool MakeLanguageRecords(const KittoolOptions& options,
                         std::vector<LanguageRecord>* records,
                         std::string* error) {
  records->clear();
  for (const PackLanguage& given : options.languages) {
    LanguageRecord record;
    const std::pair<const std::string*, WideString*> fields[] = {
        {&given.language, &record.language},
        {&given.product, &record.product},
        {&given.provider, &record.provider},
        {&given.description, &record.description}};
    for (const auto& [text, wide] : fields) {
      if (!ConvertText(*text, wide)) {
        *error = "\"" + *text +
                 "\" is not valid text in the current locale's encoding";
        return false;
      }
    }
    records->push_back(record);
  }
  return true;
}
