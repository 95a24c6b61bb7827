#include "platform/crash_states.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <random>
#include <set>
#include <utility>

#include "platform/scoped_temp_dir.h"

namespace {

using Kind = DiskChange::Kind;

bool IsFlush(Kind kind) {
  return kind == Kind::kFsync || kind == Kind::kSyncfs;
}

bool IsNameChange(Kind kind) {
  return kind == Kind::kCreateFile || kind == Kind::kMkdir ||
         kind == Kind::kSymlink || kind == Kind::kRename ||
         kind == Kind::kUnlink || kind == Kind::kRmdir;
}

// The file system a change is on: its directory's for a name.
uint64_t DeviceOf(const DiskChange& change) {
  return IsNameChange(change.kind) ? change.parent.dev : change.inode.dev;
}

bool Covers(const DiskChange& flush, const DiskChange& change) {
  if (flush.kind == Kind::kSyncfs) {
    return DeviceOf(change) == flush.inode.dev;
  }
  if (flush.kind != Kind::kFsync || IsFlush(change.kind)) return false;
  if (!IsNameChange(change.kind)) return change.inode == flush.inode;
  return change.parent == flush.inode ||
         (change.kind == Kind::kRename && change.to_parent == flush.inode);
}

std::string ParentPath(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

bool IsAtOrBelow(const std::string& path, const std::string& top) {
  return path == top || (path.size() > top.size() &&
                         path.compare(0, top.size(), top) == 0 &&
                         path[top.size()] == '/');
}

void ReadInto(const std::string& path, CrashTree* tree) {
  struct stat status;
  if (lstat(path.c_str(), &status) != 0) return;
  CrashNode node;
  node.mode = status.st_mode & 07777;
  node.mtime = status.st_mtim;
  node.ctime = status.st_ctim;
  node.inode = InodeId{static_cast<uint64_t>(status.st_dev),
                       static_cast<uint64_t>(status.st_ino), 0};
  if (S_ISREG(status.st_mode)) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    char buffer[65536];
    ssize_t got = 0;
    while (fd != -1 && (got = read(fd, buffer, sizeof(buffer))) > 0) {
      node.bytes.append(buffer, static_cast<size_t>(got));
    }
    if (fd != -1) close(fd);
  } else if (S_ISLNK(status.st_mode)) {
    node.kind = 'l';
    char text[4096];
    const ssize_t length = readlink(path.c_str(), text, sizeof(text));
    node.bytes.assign(text, length > 0 ? static_cast<size_t>(length) : 0);
  } else if (S_ISDIR(status.st_mode)) {
    node.kind = 'd';
  } else {
    return;
  }
  (*tree)[path] = node;
  if (node.kind != 'd') return;
  std::vector<std::string> names;
  if (!ListDirectory(path, &names)) return;
  for (const std::string& name : names) ReadInto(path + "/" + name, tree);
}

// The random choices of one state, made in log order.
class Chooser {
 public:
  enum class Written { kWhole, kPrefix, kSizeOnly };

  explicit Chooser(const CrashCase& crash)
      : variant_(crash.variant),
        random_(crash.seed ^ (crash.point * 0x9E3779B97F4A7C15ull) ^
                (uint64_t{crash.variant} << 40)) {}

  bool Survives() {
    if (variant_ < 2) return variant_ == 1;
    return random_() % 2 == 0;
  }
  Written HowWritten() {
    if (variant_ < 2) return Written::kWhole;
    return static_cast<Written>(random_() % 3);
  }
  // A cut strictly inside `size` bytes (at least one byte stays).
  size_t Cut(size_t size) {
    return size < 2 ? size : 1 + static_cast<size_t>(random_() % (size - 1));
  }

 private:
  const uint32_t variant_;
  std::mt19937_64 random_;
};

}  // namespace

// The model of one state while the log is replayed into it: names point at
// files by identity, so that a rename carries the file's data along.
class CrashStateGenerator::Replay {
 public:
  Replay(const std::vector<CrashRoot>& roots, const CrashTree& before)
      : roots_(roots) {
    for (const auto& [path, node] : before) {
      names_[path] = Name{node.kind, node.inode};
      files_[node.inode] = node;
    }
  }

  void Apply(const DiskChange& change, Chooser::Written written,
             Chooser& chooser) {
    switch (change.kind) {
      case Kind::kCreateFile:
      case Kind::kMkdir:
      case Kind::kSymlink:
        return Make(change);
      case Kind::kRename:
        return Rename(change);
      case Kind::kUnlink:
      case Kind::kRmdir:
        return Remove(change);
      default:
        break;
    }
    const auto file = files_.find(change.inode);
    if (file == files_.end()) return;
    CrashNode& node = file->second;
    switch (change.kind) {
      case Kind::kWrite:
        Write(change, written, chooser, &node);
        break;
      case Kind::kTruncate:
        node.bytes.resize(change.offset, '\0');
        node.mtime = change.mtime;
        break;
      case Kind::kTimes:
        node.mtime = change.mtime;
        break;
      case Kind::kChmod:
        node.mode = change.mode;
        break;
      default:
        return;
    }
    node.ctime = change.ctime;
  }

  CrashTree Tree() const {
    CrashTree tree;
    for (const auto& [path, name] : names_) {
      const CrashRoot* root = RootOf(path);
      if (root == nullptr || (root->volatile_fs && path != root->path)) {
        continue;
      }
      CrashNode node = files_.at(name.inode);
      node.kind = name.kind;
      tree[path] = node;
    }
    return tree;
  }

 private:
  struct Name {
    char kind;
    InodeId inode;
  };

  const CrashRoot* RootOf(const std::string& path) const {
    for (const CrashRoot& root : roots_) {
      if (IsAtOrBelow(path, root.path)) return &root;
    }
    return nullptr;
  }
  bool IsDirectory(const std::string& path) const {
    const auto found = names_.find(path);
    return found != names_.end() && found->second.kind == 'd';
  }
  bool HasChildren(const std::string& path) const {
    const std::string prefix = path + "/";
    const auto first = names_.lower_bound(prefix);
    return first != names_.end() &&
           first->first.compare(0, prefix.size(), prefix) == 0;
  }
  // The name `path` holds the file `inode`.
  bool Holds(const std::string& path, const InodeId& inode) const {
    const auto found = names_.find(path);
    return found != names_.end() && found->second.inode == inode;
  }

  void Make(const DiskChange& change) {
    if (RootOf(change.path) == nullptr || names_.count(change.path) != 0 ||
        !IsDirectory(ParentPath(change.path))) {
      return;
    }
    CrashNode node;
    node.kind = change.kind == Kind::kMkdir     ? 'd'
                : change.kind == Kind::kSymlink ? 'l'
                                                : 'f';
    node.bytes = change.to;
    node.mode = change.mode;
    node.mtime = change.mtime;
    node.ctime = change.ctime;
    node.inode = change.inode;
    names_[change.path] = Name{node.kind, change.inode};
    files_[change.inode] = node;
  }

  void Rename(const DiskChange& change) {
    const std::string& from = change.path;
    const std::string& to = change.to;
    if (RootOf(from) == nullptr || RootOf(to) == nullptr ||
        !Holds(from, change.inode) || !IsDirectory(ParentPath(to)) ||
        IsAtOrBelow(to, from)) {
      return;
    }
    const char kind = names_.at(from).kind;
    const auto there = names_.find(to);
    if (there != names_.end()) {
      const bool directory = there->second.kind == 'd';
      if (directory != (kind == 'd') || (directory && HasChildren(to))) return;
      names_.erase(there);
    }
    std::vector<std::pair<std::string, Name>> moved;
    for (auto it = names_.lower_bound(from);
         it != names_.end() && it->first.compare(0, from.size(), from) == 0;) {
      if (!IsAtOrBelow(it->first, from)) {
        ++it;
        continue;
      }
      moved.emplace_back(to + it->first.substr(from.size()), it->second);
      it = names_.erase(it);
    }
    for (auto& [path, name] : moved) names_[path] = name;
    files_[change.inode].ctime = change.ctime;
  }

  void Remove(const DiskChange& change) {
    if (!Holds(change.path, change.inode)) return;
    const bool directory = names_.at(change.path).kind == 'd';
    if (directory != (change.kind == Kind::kRmdir)) return;
    if (directory && HasChildren(change.path)) return;
    names_.erase(change.path);
  }

  static void Write(const DiskChange& change, Chooser::Written written,
                    Chooser& chooser, CrashNode* node) {
    size_t size = change.bytes.size();
    if (written == Chooser::Written::kPrefix) size = chooser.Cut(size);
    const size_t end = change.offset + size;
    if (node->bytes.size() < end) node->bytes.resize(end, '\0');
    if (written != Chooser::Written::kSizeOnly) {
      node->bytes.replace(change.offset, size, change.bytes, 0, size);
    }
    node->mtime = change.mtime;
  }

  const std::vector<CrashRoot>& roots_;
  std::map<std::string, Name> names_;
  std::map<InodeId, CrashNode> files_;
};

bool OnVolatileFileSystem(const std::string& path) {
  struct statfs status;
  if (statfs(path.c_str(), &status) != 0) return false;
  return status.f_type == TMPFS_MAGIC || status.f_type == RAMFS_MAGIC;
}

CrashTree ReadCrashTree(const std::vector<CrashRoot>& roots) {
  CrashTree tree;
  for (const CrashRoot& root : roots) ReadInto(root.path, &tree);
  return tree;
}

CrashStateGenerator::CrashStateGenerator(std::vector<CrashRoot> roots,
                                         CrashTree before, DiskLog log)
    : roots_(std::move(roots)),
      before_(std::move(before)),
      log_(std::move(log)),
      first_cover_(log_.size(), log_.size()) {
  for (size_t flush = 0; flush < log_.size(); ++flush) {
    if (!IsFlush(log_[flush].kind)) continue;
    for (size_t change = 0; change < flush; ++change) {
      if (first_cover_[change] == log_.size() &&
          Covers(log_[flush], log_[change])) {
        first_cover_[change] = flush;
      }
    }
  }
}

CrashTree CrashStateGenerator::StateAt(const CrashCase& crash) const {
  Replay replay(roots_, before_);
  Chooser chooser(crash);
  const size_t point = std::min(crash.point, log_.size());
  for (size_t i = 0; i < point; ++i) {
    const DiskChange& change = log_[i];
    if (IsFlush(change.kind)) continue;
    if (Covered(i, point)) {
      replay.Apply(change, Chooser::Written::kWhole, chooser);
    } else if (chooser.Survives()) {
      replay.Apply(change, chooser.HowWritten(), chooser);
    }
  }
  return replay.Tree();
}

std::vector<size_t> CrashStateGenerator::Points(uint64_t seed,
                                                size_t count) const {
  const size_t last = log_.size();
  std::set<size_t> points;
  if (last + 1 <= count) {
    for (size_t k = 0; k <= last; ++k) points.insert(k);
  } else {
    const size_t even = std::max<size_t>(count / 2, 2);
    for (size_t k = 0; k < even; ++k) points.insert(k * last / (even - 1));
    std::mt19937_64 random(seed);
    while (points.size() < count) points.insert(random() % (last + 1));
  }
  return std::vector<size_t>(points.begin(), points.end());
}

std::vector<CrashCase> CrashStateGenerator::Cases(uint64_t seed,
                                                  size_t wanted) const {
  const std::vector<size_t> points =
      Points(seed, std::max<size_t>(wanted / 4, 8));
  std::set<size_t> seen;
  std::vector<CrashCase> cases;
  // Rounds of variants over all points, until enough different trees were
  // found or more rounds would mostly repeat them.
  const uint32_t rounds = static_cast<uint32_t>(4 * wanted / points.size() + 8);
  for (uint32_t variant = 0; variant < rounds; ++variant) {
    for (const size_t point : points) {
      if (cases.size() >= wanted) return cases;
      const CrashCase crash{point, variant, seed};
      std::string key;
      for (const auto& [path, node] : StateAt(crash)) {
        key += path + '\0' + node.kind + std::to_string(node.mode) + ' ' +
               std::to_string(node.mtime.tv_sec) + '.' +
               std::to_string(node.mtime.tv_nsec) + ' ' +
               std::to_string(node.ctime.tv_nsec) + ' ' +
               std::to_string(std::hash<std::string>()(node.bytes)) + '\0';
      }
      if (seen.insert(std::hash<std::string>()(key)).second) {
        cases.push_back(crash);
      }
    }
  }
  return cases;
}
