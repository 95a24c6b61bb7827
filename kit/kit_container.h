// The kit's container: the inflated kit, a private file in the temporary
// directory that exists only while a reader has it open. Where the file
// system allows it the file has no name at all (O_TMPFILE), so that a killed
// run leaves nothing behind; elsewhere it is made exclusively under an
// unpredictable name ("edf" and six characters) and locked while in use, so
// that the next start can tell a container of a killed run and remove it.
//
// Reads and writes are positioned (pread, pwrite): the thread that fills the
// container and the threads that read it share one descriptor. One thread
// makes and closes it. All system calls go through the SystemApi passed in.
#ifndef KIT_KIT_CONTAINER_H_
#define KIT_KIT_CONTAINER_H_

#include <cstdint>
#include <string>

#include "platform/error_code.h"
#include "platform/file_io.h"
#include "text/wide_string.h"

// True for a name a named container can have: "edf" and six characters.
bool IsKitContainerName(const std::string& name);

class SystemApi;

class KitContainer {
 public:
  explicit KitContainer(SystemApi& sys) : sys_(sys) {}
  ~KitContainer() { Close(); }
  KitContainer(const KitContainer&) = delete;
  KitContainer& operator=(const KitContainer&) = delete;

  // Makes a new, empty container in the temporary directory. kNoTempFile
  // naming the directory when none can be made; the system's reason when
  // the named one cannot be opened.
  Status Make();

  // Closes the container; a named one is removed.
  void Close();

  bool is_open() const { return fd_ != kInvalidFileHandle; }
  FileHandle fd() const { return fd_; }
  // True when the container has a name in the temporary directory.
  bool named() const { return !name_.empty(); }
  // A path that reads the container while it is open: its name, or
  // "/proc/self/fd/N" for one without. Empty when closed.
  WideString path() const;
  // Where the user can look for the container: its name, or the temporary
  // directory for one without (what a failure names).
  std::string location() const;

  // Up to `count` bytes at `offset` into `out`; *got 0 at the end. The
  // failed read's reason names the container.
  Status ReadAt(uint64_t offset, void* out, uint32_t count, uint32_t* got);

 private:
  SystemApi& sys_;
  FileHandle fd_ = kInvalidFileHandle;
  WideString name_;  // empty for an unnamed container
  std::string directory_;
};

#endif  // KIT_KIT_CONTAINER_H_
