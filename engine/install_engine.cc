#include "engine/install_engine.h"

namespace {

constexpr uint32_t kAttributeNormal = 0x80;

}  // namespace

bool InstallEngine::NeedsCopy(const WideString& destination,
                              FileTime last_write) {
  FileHandle file = kInvalidFileHandle;
  if (FileOpen(destination, kFileAccessRead, 0, kFileOpenExisting, &file,
               kAttributeNormal) != kSuccess) {
    return true;
  }
  FileTime on_disk = 0;
  const ErrorCode code = FileGetTimes(file, nullptr, nullptr, &on_disk);
  FileClose(file);
  // A file whose time cannot be read is replaced rather than trusted.
  if (code != kSuccess) return true;
  return on_disk < last_write;
}
