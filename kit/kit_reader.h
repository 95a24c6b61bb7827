// The distribution kit reader. Open() inflates the kit once into a private
// container file ("edf" and six characters, in the temporary directory),
// checks and parses its language and file tables, and keeps the container
// open so that the install worker can copy single entries out of it with
// ExtractEntry(). The kit is untrusted input: every size, count, string and
// offset is checked against the container before it is used, and an entry
// whose name would leave the template directory makes the whole kit damaged.
//
// Ownership: the reader owns the container file, its descriptor and the copy
// buffer. Close() (also run by the destructor) closes the container and
// removes it, so that no copy of the kit is left in the temporary directory.
//
// Threads: Open, FindProductInfo and FindDescription run on the GUI thread
// before the worker starts. After that only the worker calls ExtractEntry
// (one call at a time) and reads entries(); the tables are not written after
// Open, so no lock guards them. Close and the destructor run after the worker
// has been joined.
#ifndef KIT_KIT_READER_H_
#define KIT_KIT_READER_H_

#include <cstdint>
#include <memory>
#include <vector>

#include "kit/kit_format.h"
#include "platform/error_code.h"
#include "platform/file_io.h"
#include "text/wide_string.h"

class KitReader {
 public:
  // The size of the buffer that entries are copied through when the kernel
  // cannot copy between the two files itself.
  static constexpr uint32_t kCopyBufferSize = 0x100000;

  KitReader();
  ~KitReader();
  KitReader(const KitReader&) = delete;
  KitReader& operator=(const KitReader&) = delete;

  // Inflates the kit at `kit_path` into a new temporary container and reads
  // its tables. A reader that is open already is closed first. Returns 0, or:
  // 1013 when no temporary file can be made; 2 or 87 when the kit or the
  // container cannot be opened, read or written (a full disk included); 13
  // when the kit is not a deflate stream or the container is damaged (tables
  // that end early, sizes smaller than their contents, entries whose bytes
  // lie beyond the container, names with a ".." component or a NUL unit).
  // On failure entries() is empty and the container is closed and removed;
  // language_records() keeps the records appended before the failure.
  ErrorCode Open(const WideString& kit_path);

  // Closes and removes the container and empties entries(); the language
  // records stay. Does nothing on a closed reader.
  void Close();

  // The product and provider of the first record for `language` (compared
  // ignoring case); both empty when no record serves it.
  void FindProductInfo(const WideString& language, WideString* product,
                       WideString* provider) const;

  // The description of the first record for `language` if that is not empty,
  // otherwise that of the first "en" record (even when empty), otherwise
  // empty.
  WideString FindDescription(const WideString& language) const;

  // Inflates the raw DEFLATE stream in the file `kit_path` into the existing
  // file `container_path`, which ends up holding exactly the inflated bytes;
  // bytes after the end of the stream are ignored. A stream that stops before
  // its last block yields what it holds and 0. Returns 0; 2 or 87 when a file
  // cannot be opened, read or written (the first failed write stops the
  // inflation at once); 13 when the stream is corrupt.
  static ErrorCode InflateKit(const WideString& kit_path,
                              const WideString& container_path);

  // Copies entry `index` to `destination` (created with mode 0660 less the
  // umask if missing, emptied if present), so that it holds exactly the
  // entry's bytes, and gives it the entry's time in whole seconds (a time
  // that cannot be set is not an error). Returns 0; 87 for an index out of
  // range, 6 when no container is open; 2 or 87 when the destination cannot
  // be opened or a read or write fails; 13 when the container ends before the
  // entry's bytes are complete. The destination is closed in every case;
  // after a failure it holds an incomplete copy.
  // REQUIRES: a successful Open; calls do not overlap.
  ErrorCode ExtractEntry(uint32_t index, const WideString& destination);

  const std::vector<LanguageRecord>& language_records() const {
    return language_records_;
  }
  const std::vector<KitEntry>& entries() const { return entries_; }
  // The container's path; empty when none has been made.
  const WideString& container_path() const { return container_path_; }

 private:
  ErrorCode ParseTables();
  ErrorCode Fail(ErrorCode code);
  // Copies `size` bytes from container position `offset` to `destination`.
  ErrorCode CopyToFile(uint64_t offset, uint32_t size, FileHandle destination);
  ErrorCode CopyThroughBuffer(uint64_t offset, uint64_t size,
                              FileHandle destination);

  std::vector<LanguageRecord> language_records_;
  std::vector<KitEntry> entries_;
  WideString container_path_;
  FileHandle container_fd_ = kInvalidFileHandle;
  uint64_t container_size_ = 0;
  // Entries are copied inside the kernel until the kernel says it cannot
  // (another file system, an old kernel); from then on through copy_buffer_.
  bool kernel_copy_ = true;
  // copy_buffer_ holds the container bytes [buffer_start_, buffer_end_), so
  // that small entries stored one after another are served by one read.
  // Only the worker uses them after Open.
  std::unique_ptr<unsigned char[]> copy_buffer_;
  uint64_t buffer_start_ = 0;
  uint64_t buffer_end_ = 0;
  // Where the last buffered copy ended; a copy that starts there is part of
  // a front-to-back walk and reads ahead.
  uint64_t sequential_end_ = 0;
};

#endif  // KIT_KIT_READER_H_
