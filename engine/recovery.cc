#include "engine/recovery.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>
#include <string>
#include <vector>

#include "engine/install_journal.h"
#include "engine/state_directory.h"
#include "engine/target_lock.h"
#include "kit/kit_reader.h"
#include "platform/beneath_dir.h"
#include "platform/file_operations.h"
#include "platform/narrow_path.h"
#include "platform/system_api.h"
#include "text/path_utils.h"
#include "text/text_conversion.h"

namespace {

constexpr char kJournalName[] = "journal";
constexpr char kBackupFiles[] = "files/";
constexpr char kBackupPrefix[] = "ktstp";
constexpr char kKeptSuffix[] = ".ktstp-kept";
// Seconds a kit container must be unchanged before a free lock counts as
// its owner being gone: a reader locks it just after making it.
constexpr time_t kOrphanedContainerAge = 60;
// Times a pointer is tried again when its folder vanished under it.
constexpr int kStateFolderAttempts = 10;

WideString Wide(const std::string& text) {
  return ToWide(NarrowString(text.c_str()));
}

// The whole of a small file through the seam; false when it cannot be read.
bool ReadSmallFile(const std::string& path, std::string* out) {
  const int fd = Sys().Open(path.c_str(), O_RDONLY | O_CLOEXEC, 0);
  if (fd == -1) return false;
  out->clear();
  char buffer[4096];
  for (;;) {
    const ssize_t got = Sys().Read(fd, buffer, sizeof(buffer));
    if (got < 0) {
      Sys().Close(fd);
      return false;
    }
    if (got == 0) break;
    out->append(buffer, static_cast<size_t>(got));
    if (out->size() > 65536) break;
  }
  Sys().Close(fd);
  return true;
}

// Field 22 (the start time in clock ticks since boot) of a /proc stat file;
// empty when it does not parse. The name in field 2 may hold spaces and
// parentheses, so fields are counted after its last ")".
std::string StartTimeIn(const std::string& stat) {
  const size_t close = stat.rfind(')');
  if (close == std::string::npos) return std::string();
  size_t position = close + 1;
  // Field 3 is the first after the name; field 22 is the 20th from there.
  for (int field = 3; field <= 22; ++field) {
    while (position < stat.size() && stat[position] == ' ') ++position;
    const size_t end = stat.find(' ', position);
    if (field == 22) {
      return stat.substr(position, end == std::string::npos
                                       ? std::string::npos
                                       : end - position);
    }
    if (end == std::string::npos) return std::string();
    position = end;
  }
  return std::string();
}

std::string BootId() {
  std::string id;
  if (!ReadSmallFile("/proc/sys/kernel/random/boot_id", &id)) return "-";
  while (!id.empty() && (id.back() == '\n' || id.back() == ' ')) id.pop_back();
  return id.empty() ? "-" : id;
}

bool HasDotDot(const std::string& path) {
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (path.compare(start, end - start, "..") == 0 && end - start == 2) {
      return true;
    }
    start = end + 1;
  }
  return false;
}

// True when `path` lies strictly below `directory` (which ends in "/") and
// has no ".." component.
bool Below(const std::string& path, const std::string& directory) {
  return path.size() > directory.size() &&
         path.compare(0, directory.size(), directory) == 0 && !HasDotDot(path);
}

// `directory` itself or a level above it.
bool IsLevelOf(const std::string& path, const std::string& directory) {
  const std::string level = WithoutTrailingSlashes(path);
  const std::string top = WithoutTrailingSlashes(directory);
  return !level.empty() && level[0] == '/' && !HasDotDot(level) &&
         top.compare(0, level.size(), level) == 0 &&
         (level.size() == top.size() || level == "/" ||
          top[level.size()] == '/');
}

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
  const int fa = da.OpenFile(a, O_RDONLY, 0);
  if (fa == -1) return false;
  const int fb = db.OpenFile(b, O_RDONLY, 0);
  if (fb == -1) {
    Sys().Close(fa);
    return false;
  }
  bool same = true;
  std::vector<char> ba(65536);
  std::vector<char> bb(65536);
  for (;;) {
    const ssize_t ga = Sys().Read(fa, ba.data(), ba.size());
    if (ga <= 0) {
      same = ga == 0 && Sys().Read(fb, bb.data(), 1) == 0;
      break;
    }
    ssize_t gb = 0;
    while (gb < ga) {
      const ssize_t got = Sys().Read(fb, bb.data() + gb, ga - gb);
      if (got <= 0) break;
      gb += got;
    }
    if (gb != ga || std::memcmp(ba.data(), bb.data(), ga) != 0) {
      same = false;
      break;
    }
  }
  Sys().Close(fa);
  Sys().Close(fb);
  return same;
}

// Removals with one more try after a failure that may pass (an I/O error,
// say): what is left after a recovery is no longer anyone's to undo.
void RemoveFile(BeneathDir& root, const std::string& relative) {
  if (root.RemoveFile(relative) != 0 && errno != ENOENT) {
    root.RemoveFile(relative);
  }
}
void RemoveDirectory(BeneathDir& root, const std::string& relative) {
  if (root.RemoveDirectory(relative) != 0 && errno != ENOENT &&
      errno != ENOTEMPTY && errno != EEXIST) {
    root.RemoveDirectory(relative);
  }
}
void Rmdir(const std::string& path) {
  if (Sys().Rmdir(path.c_str()) != 0 && errno != ENOENT &&
      errno != ENOTEMPTY && errno != EEXIST) {
    Sys().Rmdir(path.c_str());
  }
}

class Recoverer {
 public:
  std::vector<RecoveryEvent> Run() {
    // Where the pointers go now, and where they went before XDG_STATE_HOME
    // was heeded: a journal left there by an older run is still ours.
    std::vector<std::string> states = {StateDirectory()};
    const std::string old_state = HomeStateDirectory();
    if (old_state != states.front()) states.push_back(old_state);
    for (const std::string& state : states) {
      if (state.empty()) continue;
      ScanPointers(state + "/" + kJournalsFolder);
      RemoveEmptyStateFolder(state, kJournalsFolder);
    }
    WideString temp;
    GetTempDirectory(&temp);
    std::string narrow = WithoutTrailingSlashes(ToNarrow(temp).c_str());
    // The journals name their backup directories by absolute paths.
    char cwd[4096];
    if (!narrow.empty() && narrow[0] != '/' &&
        getcwd(cwd, sizeof(cwd)) != nullptr) {
      narrow = std::string(cwd) + "/" + narrow;
    }
    ScanTemp(narrow);
    return std::move(events_);
  }

 private:
  enum class Result { kDone, kLeft };

  void ScanPointers(const std::string& directory) {
    for (const std::string& name : List(directory)) {
      const std::string pointer = directory + "/" + name;
      struct stat status;
      if (Sys().Lstat(pointer.c_str(), &status) != 0 ||
          !S_ISLNK(status.st_mode) || status.st_uid != geteuid()) {
        continue;
      }
      char text[4096];
      const ssize_t length = Sys().Readlink(pointer.c_str(), text, sizeof(text));
      if (length <= 0 || static_cast<size_t>(length) >= sizeof(text)) continue;
      const std::string journal(text, static_cast<size_t>(length));
      const std::string suffix = std::string("/") + kJournalName;
      const std::string backup =
          journal.size() > suffix.size() &&
                  journal.compare(journal.size() - suffix.size(),
                                  suffix.size(), suffix) == 0
              ? journal.substr(0, journal.size() - suffix.size())
              : std::string();
      const std::string base = backup.substr(backup.rfind('/') + 1);
      if (backup.empty() || backup[0] != '/' || HasDotDot(backup) ||
          base.compare(0, std::strlen(kBackupPrefix), kBackupPrefix) != 0) {
        Refuse(journal, "the pointer " + pointer +
                            " does not name an installation journal");
        continue;
      }
      struct stat backup_status;
      if (Sys().Lstat(backup.c_str(), &backup_status) != 0 && errno == ENOENT) {
        // Its job ended after its backup directory was gone.
        Sys().Unlink(pointer.c_str());
        continue;
      }
      if (seen_.count(backup) != 0) continue;
      seen_.insert(backup);
      if (RecoverBackup(backup) == Result::kDone) {
        Sys().Unlink(pointer.c_str());
      }
    }
  }

  void ScanTemp(const std::string& temp) {
    for (const std::string& name : List(temp)) {
      if (IsKitContainerName(name)) {
        RemoveOrphanedContainer(temp + "/" + name);
        continue;
      }
      if (name.compare(0, std::strlen(kBackupPrefix), kBackupPrefix) != 0) {
        continue;
      }
      const std::string backup = temp + "/" + name;
      if (seen_.count(backup) != 0) continue;
      seen_.insert(backup);
      RecoverBackup(backup);
    }
  }

  // A kit's inflated container (as big as the kit's contents) that a killed
  // run left behind. A live reader holds the container's lock from just
  // after making it until it removes it; the age rule covers that first
  // moment. Only a regular file of ours is removed, and only the file that
  // was locked.
  void RemoveOrphanedContainer(const std::string& path) {
    struct stat status;
    if (Sys().Lstat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode) ||
        status.st_uid != geteuid() ||
        time(nullptr) - status.st_mtime < kOrphanedContainerAge) {
      return;
    }
    const int fd = Sys().Open(
        path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0);
    if (fd == -1) return;
    struct stat opened;
    if (Sys().Flock(fd, LOCK_EX | LOCK_NB) == 0 &&
        Sys().Fstat(fd, &opened) == 0 && opened.st_dev == status.st_dev &&
        opened.st_ino == status.st_ino &&
        Sys().Lstat(path.c_str(), &status) == 0 &&
        opened.st_dev == status.st_dev && opened.st_ino == status.st_ino) {
      Sys().Unlink(path.c_str());
    }
    Sys().Close(fd);
  }

  std::vector<std::string> List(const std::string& directory) {
    std::vector<std::string> names;
    DIR* dir = Sys().OpenDir(directory.c_str());
    if (dir == nullptr) return names;
    while (struct dirent* entry = Sys().ReadDir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    Sys().CloseDir(dir);
    return names;
  }

  void Refuse(const std::string& backup, const std::string& reason) {
    RecoveryEvent event{};
    event.kind = RecoveryEvent::Kind::kRefused;
    event.backup = backup;
    event.reason = reason;
    events_.push_back(event);
  }

  // Everything of the backup directory `backup`: the backed-up files before
  // the journal, then the directory.
  void RemoveBackupDirectory(const std::string& backup) {
    RunRemoveTree(Wide(backup + "/" + kBackupFiles));
    Sys().Unlink((backup + "/" + kJournalName).c_str());
    RunRemoveTree(Wide(backup));
  }

  Result RecoverBackup(const std::string& backup) {
    struct stat status;
    if (Sys().Lstat(backup.c_str(), &status) != 0) return Result::kLeft;
    // Another user's directory in a shared /tmp is none of ours to report.
    if (status.st_uid != geteuid()) return Result::kLeft;
    if (!S_ISDIR(status.st_mode)) {
      if (S_ISLNK(status.st_mode)) Refuse(backup, "it is a symbolic link");
      return Result::kLeft;
    }
    if ((status.st_mode & 077) != 0) {
      Refuse(backup, "others may write or read it");
      return Result::kLeft;
    }
    const std::string journal_path = backup + "/" + kJournalName;
    int fd = -1;
    for (int attempt = 0; fd == -1; ++attempt) {
      fd = Sys().Open(journal_path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC,
                      0);
      if (fd != -1) break;
      if (errno != ENOENT) {
        Refuse(backup, std::string("its journal cannot be opened: ") +
                           std::strerror(errno));
        return Result::kLeft;
      }
      // Killed before its journal existed, or after the journal of a
      // committed job was removed: an empty directory goes.
      if (Sys().Rmdir(backup.c_str()) == 0) return Result::kDone;
      if (errno == ENOENT) return Result::kDone;
      // A live installation may have made its journal just now, between
      // the look and the rmdir: look once more. Content without a journal
      // after that says nothing we could act on.
      if (attempt > 0) {
        Refuse(backup, "it holds files but no journal");
        return Result::kLeft;
      }
    }
    InstallJournal journal;
    struct stat journal_status;
    if (Sys().Fstat(fd, &journal_status) != 0 ||
        !S_ISREG(journal_status.st_mode) ||
        journal_status.st_uid != geteuid()) {
      Sys().Close(fd);
      Refuse(backup, "its journal is not a regular file of this user");
      return Result::kLeft;
    }
    // A live owner holds the lock for as long as its job runs; while this
    // recovery holds it, no other recovery works on the journal.
    if (Sys().Flock(fd, LOCK_EX | LOCK_NB) != 0) {
      Sys().Close(fd);
      return Result::kLeft;
    }
    std::string target;
    std::string owner;
    bool committed = false;
    bool steps = false;
    std::string bad;
    const std::string files = backup + "/" + kBackupFiles;
    const ErrorCode read = journal.Adopt(
        fd, [&](JournalKind kind, const std::string& path,
                const std::string& second, uint64_t) {
          switch (kind) {
            case JournalKind::kTarget:
              if (target.empty()) target = path;
              break;
            case JournalKind::kOwner:
              if (owner.empty()) owner = second;
              break;
            case JournalKind::kCommitted:
              committed = true;
              break;
            case JournalKind::kCreatedDirectory:
            case JournalKind::kVoid:
              steps = true;
              // The levels made for the template directory itself are
              // named by their own paths.
              if (target.empty() ||
                  (!Below(path, target) && !IsLevelOf(path, target))) {
                bad = path;
              }
              break;
            case JournalKind::kCreatedFile:
              steps = true;
              if (target.empty() || !Below(path, target)) bad = path;
              break;
            case JournalKind::kDirectoryTimes:
              if (target.empty() ||
                  (!Below(path, target) && path != target)) {
                bad = path;
              }
              break;
            case JournalKind::kBackup:
              steps = true;
              if (target.empty() || !Below(path, target) ||
                  !Below(second, files)) {
                bad = path;
              }
              break;
            case JournalKind::kFileDone:
              break;
          }
        });
    if (read != kSuccess) {
      Refuse(backup, "its journal cannot be read");
      return Result::kLeft;
    }
    if (!target.empty() && (target[0] != '/' || target.back() != '/' ||
                            HasDotDot(target))) {
      Refuse(backup, "its journal names an unusable target directory");
      return Result::kLeft;
    }
    if (!bad.empty()) {
      Refuse(backup, "its journal names \"" + bad +
                         "\", outside its own directories");
      return Result::kLeft;
    }
    if (owner.empty()) {
      if (steps) {
        Refuse(backup, "its journal names no owner");
        return Result::kLeft;
      }
      // Killed while it began, before it changed anything.
      RemoveBackupDirectory(backup);
      return Result::kDone;
    }
    if (!OwnerIsGone(owner)) return Result::kLeft;
    // A torn tail goes, so that nothing is ever appended after it.
    journal.TruncateTo(journal.length());

    RecoveryEvent done{};
    done.target = target;
    done.backup = backup;
    if (committed) {
      RemoveBackupDirectory(backup);
      done.kind = RecoveryEvent::Kind::kFinishedCommit;
      events_.push_back(done);
      return Result::kDone;
    }
    // The template directory as the journal names it (it may be a link),
    // with every name below it resolved beneath it, and its lock, so that
    // no installation runs in it meanwhile.
    Places places;
    places.target = target;
    const int opened = places.root.Open(target);
    if (opened != 0 && errno != ENOENT && errno != ENOTDIR) {
      done.kind = RecoveryEvent::Kind::kKeptBackup;
      events_.push_back(done);
      return Result::kLeft;
    }
    TargetLock lock;
    if (opened == 0) {
      bool waited = false;
      lock.Acquire(places.root.fd(), nullptr, nullptr, &waited);
    }
    // Without the backed-up files nothing could go home: the backup stays
    // (unless there never were any).
    bool all_back = places.saved.Open(files, false) == 0 || errno == ENOENT;
    if (all_back) all_back = Undo(&journal, &places, backup);
    // A file still in the backup has no record that took it home: after a
    // power loss the record of a move can be lost while the move is not.
    // It goes home when its place is free; otherwise the backup stays.
    if (all_back && places.saved.is_open()) {
      all_back = SweepBackup(&places, std::string());
    }
    lock.Release();
    if (!all_back) {
      done.kind = RecoveryEvent::Kind::kKeptBackup;
      events_.push_back(done);
      return Result::kLeft;
    }
    RemoveBackupDirectory(backup);
    done.kind = RecoveryEvent::Kind::kRolledBack;
    events_.push_back(done);
    return Result::kDone;
  }

  // Where an interrupted job worked: its template directory (not open when
  // it is gone: then nothing below it is left to undo) and the backed-up
  // files.
  struct Places {
    std::string target;  // as the journal names it, ending in "/"
    BeneathDir root;
    BeneathDir saved;
  };

  // Moves `relative` aside beside itself; reports it. False when it could
  // not.
  bool KeepAside(Places* places, const std::string& relative) {
    for (int n = 0; n < 1000; ++n) {
      const std::string kept = relative + kKeptSuffix +
                               (n == 0 ? std::string() : std::to_string(n));
      struct stat status;
      if (places->root.Stat(kept, &status, false) == 0) continue;
      if (errno != ENOENT) return false;
      if (BeneathDir::Rename(places->root, relative, places->root, kept) != 0) {
        return false;
      }
      RecoveryEvent event{};
      event.kind = RecoveryEvent::Kind::kKeptFile;
      event.target = places->target;
      event.path = places->target + relative;
      event.kept_as = places->target + kept;
      events_.push_back(event);
      return true;
    }
    return false;
  }

  // Moves every file under `relative` in the backup to the same place under
  // the template directory where that place is free, drops copies identical
  // to what is there. False when something stays.
  bool SweepBackup(Places* places, const std::string& relative) {
    bool all_back = true;
    const std::string directory =
        WithoutTrailingSlashes(places->saved.path() + "/" + relative);
    for (const std::string& name : List(directory)) {
      // A copy across file systems cut short: its source never left.
      if (name.rfind(".move-", 0) == 0) continue;
      const std::string path = relative.empty() ? name : relative + "/" + name;
      struct stat status;
      if (places->saved.Stat(path, &status, false) != 0) {
        if (errno != ENOENT) all_back = false;
        continue;
      }
      if (S_ISDIR(status.st_mode)) {
        if (!SweepBackup(places, path)) all_back = false;
        continue;
      }
      if (!places->root.is_open()) {
        all_back = false;
        continue;
      }
      struct stat there;
      if (places->root.Stat(path, &there, false) == 0) {
        if (SameContent(places->saved, path, places->root, path)) {
          RemoveFile(places->saved, path);
        } else {
          all_back = false;
        }
        continue;
      }
      if (errno != ENOENT || !MakeLevels(places, ParentOf(path)) ||
          MoveBeneath(places->saved, path, places->root, path) != kSuccess) {
        all_back = false;
      }
    }
    return all_back;
  }

  // Makes the directory `relative` and its parents below the template
  // directory.
  bool MakeLevels(Places* places, const std::string& relative) {
    if (relative.empty()) return true;
    struct stat status;
    if (places->root.Stat(relative, &status, true) == 0) {
      return S_ISDIR(status.st_mode);
    }
    if (errno != ENOENT || !MakeLevels(places, ParentOf(relative))) {
      return false;
    }
    return places->root.MakeDirectory(relative, 0777) == 0 || errno == EEXIST;
  }

  // Undoes the journal newest first, as the owner's rollback would have.
  // False when a backed-up file could not be moved back.
  bool Undo(InstallJournal* journal, Places* places,
            const std::string& backup) {
    const std::string& target = places->target;
    // Ends in "/", as Below checked the records against it.
    const std::string files = backup + "/" + kBackupFiles;
    bool all_back = true;
    bool skip_next = false;
    bool have_identity = false;
    FileIdentity identity;
    // Where the record being visited ends: the start of the newer one.
    uint64_t end = journal->length();
    const ErrorCode read = journal->VisitNewestFirst(
        [&](JournalKind kind, const std::string& path,
            const std::string& second, uint64_t start) {
          const uint64_t record_end = end;
          end = start;
          // After a step that could not be undone nothing older is touched:
          // the next start goes on from that step, with the journal still
          // saying what is left to do.
          if (!all_back) return;
          const bool below = Below(path, target);
          const std::string relative =
              below ? path.substr(target.size()) : std::string();
          // Without the template directory nothing below it is left.
          const bool reachable = below && places->root.is_open();
          switch (kind) {
            case JournalKind::kVoid:
              skip_next = true;
              return;
            case JournalKind::kFileDone:
              have_identity = DecodeIdentity(second, &identity);
              return;
            case JournalKind::kCreatedFile: {
              const bool skip = skip_next;
              const bool known = have_identity;
              skip_next = false;
              have_identity = false;
              if (skip || !reachable) return;
              struct stat status;
              if (places->root.Stat(relative, &status, false) != 0) {
                // Unknown is not gone: the next start looks again. Behind a
                // link that now leads outside there is nothing of the job's.
                if (errno != ENOENT && errno != ENOTDIR && errno != EXDEV) {
                  all_back = false;
                }
                return;
              }
              // Without a completion record the file was being written
              // when the job was killed: it is the job's own, half made.
              if (S_ISREG(status.st_mode) &&
                  (!known || IdentityOf(status) == identity)) {
                RemoveFile(places->root, relative);
              } else {
                KeepAside(places, relative);
              }
              return;
            }
            case JournalKind::kCreatedDirectory: {
              const bool skip = skip_next;
              skip_next = false;
              if (skip) return;
              // Fails, and keeps the directory, when it is not empty.
              if (reachable) {
                RemoveDirectory(places->root, relative);
              } else if (!below && IsLevelOf(path, target)) {
                Rmdir(path);
              }
              return;
            }
            case JournalKind::kDirectoryTimes: {
              struct timespec times[2];
              if (!places->root.is_open() || !DecodeTimes(second, times)) {
                return;
              }
              // A directory that is gone, or no longer beneath, has no time
              // to put back; any other failure is tried again next time.
              const int fd = places->root.OpenDirectory(relative);
              if (fd == -1) {
                if (errno != ENOENT && errno != ENOTDIR && errno != EXDEV) {
                  all_back = false;
                }
                return;
              }
              if (Sys().Futimens(fd, times) != 0) all_back = false;
              Sys().Close(fd);
              return;
            }
            case JournalKind::kBackup: {
              // The newer records are undone; a recovery killed from here
              // on must not undo them again over the file coming back. The
              // record itself stays until the file is back.
              journal->TruncateTo(record_end);
              const std::string saved = second.substr(files.size());
              struct stat status;
              if (!places->saved.is_open() ||
                  places->saved.Stat(saved, &status, false) != 0) {
                // Never moved, or moved back already.
                if (places->saved.is_open() && errno != ENOENT) {
                  all_back = false;
                }
                return;
              }
              if (!reachable || !MakeLevels(places, ParentOf(relative))) {
                all_back = false;
                return;
              }
              struct stat in_way;
              if (places->root.Stat(relative, &in_way, false) == 0) {
                if (!SameContent(places->root, relative, places->saved,
                                 saved) &&
                    !KeepAside(places, relative)) {
                  all_back = false;
                  return;
                }
              } else if (errno != ENOENT) {
                all_back = false;
                return;
              }
              if (MoveBeneath(places->saved, saved, places->root, relative) !=
                  kSuccess) {
                all_back = false;
              }
              return;
            }
            default:
              return;
          }
        });
    return read == kSuccess && all_back;
  }

  std::set<std::string> seen_;
  std::vector<RecoveryEvent> events_;
};

}  // namespace

std::vector<RecoveryEvent> RecoverInterruptedInstalls() {
  return Recoverer().Run();
}

std::string DescribeRecoveryEvent(const RecoveryEvent& event) {
  switch (event.kind) {
    case RecoveryEvent::Kind::kRolledBack:
      return "an interrupted installation into \"" + event.target +
             "\" was undone";
    case RecoveryEvent::Kind::kFinishedCommit:
      return "an interrupted installation into \"" + event.target +
             "\" had finished; its leftovers were removed";
    case RecoveryEvent::Kind::kKeptFile:
      return "\"" + event.path +
             "\" changed after an interrupted installation and was kept as "
             "\"" + event.kept_as + "\"";
    case RecoveryEvent::Kind::kKeptBackup:
      return "an interrupted installation into \"" + event.target +
             "\" could not be undone completely; what it replaced stays in \"" +
             event.backup + "\" and the next start tries again";
    case RecoveryEvent::Kind::kRefused:
      return "left \"" + event.backup + "\" alone: " + event.reason;
  }
  return std::string();
}

std::string CurrentOwner() {
  std::string stat;
  std::string start = "-";
  if (ReadSmallFile("/proc/self/stat", &stat)) {
    const std::string field = StartTimeIn(stat);
    if (!field.empty()) start = field;
  }
  return std::to_string(getpid()) + " " + start + " " + BootId();
}

bool OwnerIsGone(const std::string& owner) {
  const size_t first = owner.find(' ');
  const size_t second =
      first == std::string::npos ? first : owner.find(' ', first + 1);
  if (second == std::string::npos) return true;
  const std::string pid = owner.substr(0, first);
  const std::string start = owner.substr(first + 1, second - first - 1);
  const std::string boot = owner.substr(second + 1);
  if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) {
    return true;
  }
  if (boot != BootId()) return true;
  std::string stat;
  if (!ReadSmallFile("/proc/" + pid + "/stat", &stat)) return true;
  return StartTimeIn(stat) != start;
}

bool SyncDirectory(const std::string& path) {
  const int fd =
      Sys().Open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0);
  if (fd == -1) return false;
  const bool synced = Sys().Fsync(fd) == 0;
  const int error = errno;
  Sys().Close(fd);
  errno = error;
  return synced;
}

std::string MakeJournalPointer(const std::string& journal) {
  // A run that found the folder empty may remove it between its making and
  // the link: then it is made again.
  for (int attempt = 0; attempt < kStateFolderAttempts; ++attempt) {
    const std::string directory = MakeStateFolder(kJournalsFolder);
    if (directory.empty()) {
      if (errno == ENOENT) continue;
      return std::string();
    }
    const std::string stem = directory + "/" + std::to_string(getpid()) + "-";
    for (int n = 0; n < 1000; ++n) {
      const std::string pointer = stem + std::to_string(n);
      if (Sys().Symlink(journal.c_str(), pointer.c_str()) == 0) {
        SyncDirectory(directory);
        return pointer;
      }
      if (errno != EEXIST) break;
    }
    if (errno != ENOENT) return std::string();
  }
  return std::string();
}

void RemoveJournalPointer(const std::string& pointer) {
  // One more try after a passing failure; a pointer left over anyway names
  // a journal that is gone, and the next recovery removes it.
  if (Sys().Unlink(pointer.c_str()) != 0 && errno != ENOENT) {
    if (Sys().Unlink(pointer.c_str()) != 0 && errno != ENOENT) return;
  }
  const std::string folder = ParentOf(pointer);
  RemoveEmptyStateFolder(ParentOf(folder), kJournalsFolder);
}
