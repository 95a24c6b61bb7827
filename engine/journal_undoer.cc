#include "engine/journal_undoer.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/beneath_dir.h"
#include "platform/file_operations.h"
#include "platform/narrow_path.h"
#include "platform/system_api.h"

namespace {

// True when the regular files `a` beneath `da` and `b` beneath `db` hold
// the same bytes and mode.
bool SameContent(BeneathDir& da, const std::string& a, BeneathDir& db,
                 const std::string& b) {
  struct stat sa;
  struct stat sb;
  if (da.Stat(a, &sa, false) != 0 || db.Stat(b, &sb, false) != 0) {
    return false;
  }
  if (!S_ISREG(sa.st_mode) || !S_ISREG(sb.st_mode) ||
      sa.st_size != sb.st_size || (sa.st_mode & 07777) != (sb.st_mode & 07777)) {
    return false;
  }
  SystemApi& sys = da.sys();
  const int fa = da.OpenFile(a, O_RDONLY, 0);
  if (fa == -1) return false;
  const int fb = db.OpenFile(b, O_RDONLY, 0);
  if (fb == -1) {
    sys.Close(fa);
    return false;
  }
  bool same = true;
  std::vector<char> ba(65536);
  std::vector<char> bb(65536);
  for (;;) {
    const ssize_t ga = sys.Read(fa, ba.data(), ba.size());
    if (ga <= 0) {
      same = ga == 0 && sys.Read(fb, bb.data(), 1) == 0;
      break;
    }
    ssize_t gb = 0;
    while (gb < ga) {
      const ssize_t got = sys.Read(fb, bb.data() + gb, ga - gb);
      if (got <= 0) break;
      gb += got;
    }
    if (gb != ga || std::memcmp(ba.data(), bb.data(), ga) != 0) {
      same = false;
      break;
    }
  }
  sys.Close(fa);
  sys.Close(fb);
  return same;
}

// Removals with one more try after a failure that may pass (an I/O error,
// say): what is left after an undo is no longer anyone's to undo.
void RemoveFileBeneath(BeneathDir& root, const std::string& relative) {
  if (root.RemoveFile(relative) != 0 && errno != ENOENT) {
    root.RemoveFile(relative);
  }
}

bool Passing(int error) {
  return error != ENOENT && error != ENOTEMPTY && error != EEXIST;
}

void RemoveDirectoryBeneath(BeneathDir& root, const std::string& relative) {
  if (root.RemoveDirectory(relative) != 0 && Passing(errno)) {
    root.RemoveDirectory(relative);
  }
}

void RemoveLevel(SystemApi& sys, const std::string& path) {
  if (sys.Rmdir(path.c_str()) != 0 && Passing(errno)) sys.Rmdir(path.c_str());
}

}  // namespace

bool IsBelow(const std::string& path, const std::string& directory) {
  return path.size() > directory.size() &&
         path.compare(0, directory.size(), directory) == 0 && !HasDotDot(path);
}

bool IsLevelOf(const std::string& path, const std::string& directory) {
  const std::string level = WithoutTrailingSlashes(path);
  const std::string top = WithoutTrailingSlashes(directory);
  return !level.empty() && level[0] == '/' && !HasDotDot(level) &&
         top.compare(0, level.size(), level) == 0 &&
         (level.size() == top.size() || level == "/" ||
          top[level.size()] == '/');
}

JournalUndoer::JournalUndoer(
    std::string target, BeneathDir& root, BeneathDir& saved,
    const BackupDir& backup,
    std::function<void(const std::string&, const std::string&)> on_kept)
    : target_(std::move(target)),
      root_(root),
      saved_(saved),
      backup_(backup),
      on_kept_(std::move(on_kept)) {}

SystemApi& JournalUndoer::sys() const { return root_.sys(); }

bool JournalUndoer::Undo(InstallJournal& journal, uint64_t void_start) {
  bool all_back = true;
  voided_.clear();
  identities_.clear();
  backed_up_.clear();
  // Records may be written ahead of their steps: a created file's undo must
  // know whether the user's file it replaces ever left (its backup record
  // is older, so it is met later in the walk).
  (void)journal.VisitNewestFirst([&](JournalKind kind, const std::string& path,
                                     const std::string& second, uint64_t) {
    if (kind == JournalKind::kBackup) backed_up_.emplace(path, second);
  });
  // Where the record being visited ends: the start of the newer one.
  uint64_t end = journal.length();
  const Status read = journal.VisitNewestFirst(
      [&](JournalKind kind, const std::string& path, const std::string& second,
          uint64_t start) {
        const uint64_t record_end = end;
        end = start;
        // After a step that could not be undone nothing older is touched:
        // the next start goes on from that step, with the journal still
        // saying what is left to do.
        if (!all_back) return;
        const bool below = IsBelow(path, target_);
        const std::string relative =
            below ? path.substr(target_.size()) : std::string();
        // Without the template directory nothing below it is left.
        const bool reachable = below && root_.is_open();
        const bool creation = kind == JournalKind::kCreatedFile ||
                              kind == JournalKind::kCreatedDirectory;
        // A void names the creation it cancels; older layouts wrote it
        // right after that creation's record.
        const bool voided = (creation && voided_.erase(path) != 0) ||
                            (void_start != 0 && start == void_start);
        switch (kind) {
          case JournalKind::kVoid:
            voided_.insert(path);
            return;
          case JournalKind::kFileDone: {
            // Older layouts name no path: the identity is that of the
            // newest created file before it, met next.
            FileIdentity identity;
            if (DecodeIdentity(second, &identity)) {
              identities_[path.empty() ? std::string() : path] = identity;
            }
            return;
          }
          case JournalKind::kCreatedFile: {
            auto known = identities_.find(path);
            if (known == identities_.end()) known = identities_.find("");
            const FileIdentity* identity =
                known == identities_.end() ? nullptr : &known->second;
            if (!voided) {
              all_back = UndoCreatedFile(path, relative, reachable, identity);
            }
            if (known != identities_.end()) identities_.erase(known);
            return;
          }
          case JournalKind::kCreatedDirectory:
            if (!voided) {
              all_back = UndoCreatedDirectory(path, relative, reachable);
            }
            return;
          case JournalKind::kDirectoryTimes:
            all_back = UndoDirectoryTimes(
                below ? relative : std::string(), second);
            return;
          case JournalKind::kBackup:
            // The newer records are undone; an undo killed from here on
            // must not undo them again over the file coming back. The
            // record itself stays until the file is back.
            (void)journal.TruncateTo(record_end);
            all_back = UndoBackup(relative, reachable, second);
            return;
          default:
            return;
        }
      });
  return read.ok() && all_back;
}

bool JournalUndoer::UndoCreatedFile(const std::string& path,
                                    const std::string& relative,
                                    bool reachable,
                                    const FileIdentity* identity) {
  if (!reachable) return true;
  struct stat status;
  if (root_.Stat(relative, &status, false) != 0) {
    // Unknown is not gone: the next start looks again. Behind a link that
    // now leads outside there is nothing of the job's.
    return errno == ENOENT || errno == ENOTDIR || errno == EXDEV;
  }
  bool left = true;
  if (!BackupLeft(path, &left)) return false;
  if (!left) {
    // The user's file it was to replace never went to the backup (a record
    // written ahead, a move a power loss took): what stands there is still
    // the user's, whatever a completion record says.
    return true;
  }
  // Without a completion record the file was being written when the job
  // stopped: it is the job's own, half made.
  if (S_ISREG(status.st_mode) &&
      (identity == nullptr || StillAsDone(status, *identity))) {
    RemoveFileBeneath(root_, relative);
  } else {
    KeepAside(relative);
  }
  return true;
}

bool JournalUndoer::BackupLeft(const std::string& path, bool* left) {
  const auto backup = backed_up_.find(path);
  if (backup == backed_up_.end()) return true;
  std::string saved;
  struct stat status;
  if (!backup_.RelativeOfSaved(backup->second, &saved) || !saved_.is_open()) {
    *left = false;
    return true;
  }
  if (saved_.Stat(saved, &status, false) == 0) return true;
  *left = false;
  // Not known: nothing is touched, and the next start looks again.
  return errno == ENOENT;
}

bool StillAsDone(const struct stat& status, const FileIdentity& done) {
  // The same file, not changed since (a change sets its change time to the
  // present, and nobody can set it back). Its size and modification time
  // may be short of what was recorded when a power loss kept the file's
  // name but not all of its data or times.
  const FileIdentity now = IdentityOf(status);
  return now.device == done.device && now.inode == done.inode &&
         now.ctime_ns <= done.ctime_ns;
}

bool JournalUndoer::UndoCreatedDirectory(const std::string& path,
                                         const std::string& relative,
                                         bool reachable) {
  // Fails, and keeps the directory, when it is not empty: something the job
  // did not make was put into it.
  if (reachable) {
    RemoveDirectoryBeneath(root_, relative);
  } else if (!keep_levels_ && !IsBelow(path, target_) &&
             IsLevelOf(path, target_)) {
    RemoveLevel(sys(), path);
  }
  return true;
}

bool JournalUndoer::UndoDirectoryTimes(const std::string& relative,
                                       const std::string& encoded) {
  struct timespec times[2];
  if (!root_.is_open() || !DecodeTimes(encoded, times)) return true;
  // A directory that is gone, or no longer beneath, has no time to put
  // back; any other failure is tried again next time.
  const int fd = root_.OpenDirectory(relative);
  if (fd == -1) return errno == ENOENT || errno == ENOTDIR || errno == EXDEV;
  const bool set = sys().Futimens(fd, times) == 0;
  sys().Close(fd);
  return set;
}

bool JournalUndoer::UndoBackup(const std::string& relative, bool reachable,
                               const std::string& saved_path) {
  std::string saved;
  if (!backup_.RelativeOfSaved(saved_path, &saved)) return true;
  struct stat status;
  if (!saved_.is_open() || saved_.Stat(saved, &status, false) != 0) {
    // Never moved, or moved back already.
    return !saved_.is_open() || errno == ENOENT;
  }
  if (!reachable || !MakeLevels(ParentOf(relative))) return false;
  struct stat in_way;
  if (root_.Stat(relative, &in_way, false) == 0) {
    if (!SameContent(root_, relative, saved_, saved) && !KeepAside(relative)) {
      return false;
    }
  } else if (errno != ENOENT) {
    return false;
  }
  return MoveBeneath(saved_, saved, root_, relative).ok();
}

bool JournalUndoer::KeepAside(const std::string& relative) {
  for (int n = 0; n < 1000; ++n) {
    const std::string kept = relative + kKeptSuffix +
                             (n == 0 ? std::string() : std::to_string(n));
    struct stat status;
    if (root_.Stat(kept, &status, false) == 0) continue;
    if (errno != ENOENT) return false;
    if (BeneathDir::Rename(root_, relative, root_, kept) != 0) return false;
    if (on_kept_) on_kept_(relative, kept);
    return true;
  }
  return false;
}

bool JournalUndoer::SweepBackup(const std::string& relative) {
  if (!saved_.is_open()) return true;
  bool all_back = true;
  // The names are read first, so that the moves cannot disturb the listing.
  std::vector<std::string> names;
  const std::string directory =
      WithoutTrailingSlashes(saved_.path() + "/" + relative);
  DIR* listing = sys().OpenDir(directory.c_str());
  if (listing == nullptr) return errno == ENOENT;
  while (struct dirent* item = sys().ReadDir(listing)) {
    const std::string name = item->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  sys().CloseDir(listing);
  for (const std::string& name : names) {
    // A copy across file systems cut short: its source never left.
    if (name.rfind(".move-", 0) == 0) continue;
    const std::string path = relative.empty() ? name : relative + "/" + name;
    struct stat status;
    if (saved_.Stat(path, &status, false) != 0) {
      if (errno != ENOENT) all_back = false;
      continue;
    }
    if (S_ISDIR(status.st_mode)) {
      if (!SweepBackup(path)) all_back = false;
      continue;
    }
    if (!root_.is_open()) {
      all_back = false;
      continue;
    }
    struct stat there;
    if (root_.Stat(path, &there, false) == 0) {
      if (SameContent(saved_, path, root_, path)) {
        RemoveFileBeneath(saved_, path);
      } else {
        all_back = false;
      }
      continue;
    }
    if (errno != ENOENT || !MakeLevels(ParentOf(path)) ||
        !MoveBeneath(saved_, path, root_, path).ok()) {
      all_back = false;
    }
  }
  return all_back;
}

bool JournalUndoer::MakeLevels(const std::string& relative) {
  return BeneathLevelMaker(root_).Make(relative).ok();
}
