#include "kit/kit_container.h"

#include <fcntl.h>
#include <sys/file.h>

#include <algorithm>
#include <cerrno>

#include "platform/file_operations.h"
#include "platform/narrow_path.h"
#include "platform/system_api.h"
#include "text/text_conversion.h"

bool IsKitContainerName(const std::string& name) {
  if (name.size() != 9 || name.compare(0, 3, "edf") != 0) return false;
  return std::all_of(name.begin() + 3, name.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
           (c >= 'a' && c <= 'z');
  });
}

Status KitContainer::Make() {
  Close();
  const std::string directory =
      WithoutTrailingSlashes(GetTempDirectory(sys_));
  directory_ = directory;
  // Unnamed where the file system can: gone with the last descriptor,
  // however the process ends.
  const int unnamed = sys_.Open(
      directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC | O_NOCTTY, 0600);
  if (unnamed != -1) {
    fd_ = unnamed;
    return Status::Ok();
  }
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
    return Status::Of(Status::Kind::kNoTempFile, directory, errno);
  }
  std::string name;
  TQ_RETURN_IF_ERROR(MakeTempFile(sys_, directory, "edf", &name));
  name_ = ToWide(NarrowString(name.c_str()));
  // Reopened only as the file just made: a link put in its place is not
  // followed, so no one can make the reader write into a file of theirs.
  const int fd =
      sys_.Open(name.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0);
  if (fd == -1) {
    Status failure = Status::System(errno, name);
    Close();
    return failure;
  }
  fd_ = fd;
  // The lock says the container is in use; it is held as long as the
  // descriptor is open and released by the kernel when the process dies,
  // however it dies. It only serves that later clean-up, so a file system
  // without locks does not stop the installation.
  sys_.Flock(fd_, LOCK_EX | LOCK_NB);
  return Status::Ok();
}

void KitContainer::Close() {
  if (fd_ != kInvalidFileHandle) {
    (void)FileClose(sys_, fd_);
    fd_ = kInvalidFileHandle;
  }
  if (!name_.empty()) {
    RemoveFile(sys_, ToNarrow(name_).c_str());
    name_ = WideString();
  }
}

WideString KitContainer::path() const {
  if (!name_.empty()) return name_;
  if (fd_ == kInvalidFileHandle) return WideString();
  const std::string proc = "/proc/self/fd/" + std::to_string(fd_);
  return ToWide(NarrowString(proc.c_str()));
}

std::string KitContainer::location() const {
  return name_.empty() ? directory_ : std::string(ToNarrow(name_).c_str());
}

Status KitContainer::ReadAt(uint64_t offset, void* out, uint32_t count,
                            uint32_t* got) {
  *got = 0;
  while (*got < count) {
    const ssize_t n =
        sys_.PRead(fd_, static_cast<unsigned char*>(out) + *got, count - *got,
                   static_cast<off_t>(offset + *got));
    if (n < 0) return Status::System(errno, location());
    if (n == 0) break;
    *got += static_cast<uint32_t>(n);
  }
  return Status::Ok();
}
