#include "engine/backup_dir.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "platform/file_operations.h"
#include "platform/narrow_path.h"
#include "platform/system_api.h"

bool HasDotDot(const std::string& path) {
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end - start == 2 && path.compare(start, 2, "..") == 0) return true;
    start = end + 1;
  }
  return false;
}

BackupDir::BackupDir(const std::string& path)
    : path_(WithoutTrailingSlashes(path)) {}

bool BackupDir::RelativeOfSaved(const std::string& saved,
                                std::string* relative) const {
  const std::string prefix = files() + "/";
  if (saved.size() <= prefix.size() ||
      saved.compare(0, prefix.size(), prefix) != 0 || HasDotDot(saved)) {
    return false;
  }
  *relative = saved.substr(prefix.size());
  return true;
}

std::string BackupDir::OfJournal(const std::string& journal_path) {
  const std::string suffix = "/journal";
  if (journal_path.size() <= suffix.size() ||
      journal_path.compare(journal_path.size() - suffix.size(), suffix.size(),
                           suffix) != 0) {
    return std::string();
  }
  const std::string directory =
      journal_path.substr(0, journal_path.size() - suffix.size());
  const std::string name = directory.substr(directory.rfind('/') + 1);
  if (directory.empty() || directory[0] != '/' || HasDotDot(directory) ||
      !IsBackupName(name)) {
    return std::string();
  }
  return directory;
}

bool BackupDir::IsBackupName(const std::string& name) {
  return name.compare(0, std::strlen(kBackupPrefix), kBackupPrefix) == 0;
}

void RemoveBackupDirectory(SystemApi& sys, const BackupDir& backup) {
  if (backup.empty()) return;
  RemoveTree(sys, backup.files());
  sys.Unlink(backup.journal().c_str());
  // The removal goes on past what it cannot remove; one more pass catches
  // a passing failure, so that no backup outlives its job.
  if (!RemoveTree(sys, backup.path())) {
    struct stat status;
    if (sys.Lstat(backup.path().c_str(), &status) == 0) {
      RemoveTree(sys, backup.path());
    }
  }
}

Status SetBackupAside(SystemApi& sys, const BackupDir& backup,
                      std::string* aside) {
  const size_t slash = backup.path().rfind('/');
  const std::string parent = backup.path().substr(0, slash);
  const std::string base =
      parent + "/" + kAsidePrefix + backup.path().substr(slash + 1);
  for (int n = 0; n < 1000; ++n) {
    const std::string candidate =
        n == 0 ? base : base + "-" + std::to_string(n);
    struct stat status;
    // rename() would replace an empty directory of that name: take only a
    // free one.
    if (sys.Lstat(candidate.c_str(), &status) == 0) continue;
    if (errno != ENOENT) return Status::System(errno, candidate);
    if (sys.Rename(backup.path().c_str(), candidate.c_str()) != 0) {
      if (errno == EEXIST || errno == ENOTEMPTY || errno == ENOTDIR) continue;
      return Status::System(errno, backup.path());
    }
    *aside = candidate;
    // On disk at once, so that a power loss cannot bring the old name back
    // for a later start to undo over a later installation.
    (void)SyncDirectory(sys, parent);
    return Status::Ok();
  }
  return Status::System(EEXIST, base);
}
