// The distribution kit reader. Open() inflates the kit once into a private
// container file ("edf" and six characters, in the temporary directory),
// checks and parses its language and file tables, and keeps the container
// open so that the install worker can copy single entries out of it with
// ExtractEntry() or CopyEntryTo(). The kit is untrusted input: every size,
// count, string and offset is checked against the container before it is
// used, and an entry whose name would leave the template directory makes the
// whole kit damaged.
//
// OpenStreaming() is the same reader for kittool: the kit is inflated on a
// background thread while the caller already installs, and the file table is
// read from the container entry by entry instead of being kept in memory, so
// that memory stays flat however many files a kit holds.
//
// Ownership: the reader owns the container file, its descriptor, the copy
// buffer and (streaming) the inflating thread. Close() (also run by the
// destructor) stops that thread, closes the container and removes it, so
// that no copy of the kit is left in the temporary directory. While open,
// the reader holds an exclusive flock on the container: a container whose
// lock is free was left by a process that is gone, and the recovery at the
// next start removes it.
//
// Threads: Open, OpenStreaming, FindProductInfo and FindDescription run on
// the owner's thread before the worker starts. After that only the worker
// calls ReadEntry, ExtractEntry, CopyEntryTo and FinishInflation (one call at
// a time) and reads entries(); the tables are not written after Open, so no
// lock guards them. entry_count() may be read from any thread after Open.
// Close and the destructor run after the worker has been joined.
#ifndef KIT_KIT_READER_H_
#define KIT_KIT_READER_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kit/kit_format.h"
#include "platform/error_code.h"
#include "platform/file_io.h"
#include "text/wide_string.h"

namespace kit_internal {
// The inflating thread's progress, shared with a streaming reader, and the
// bounded reader of the tables; both live in kit_reader.cc.
class Inflation;
class TableReader;
}  // namespace kit_internal

// What the system refused when a kit could not be opened for a reason
// other than its content: the file concerned (the kit, the container, or
// the temporary directory the container could not be made in) and why.
struct KitFailure {
  std::string path;      // in the locale's encoding; empty for none
  int system_error = 0;  // errno; 0 for none
};

// True for a name a container can have: "edf" and six characters.
bool IsKitContainerName(const std::string& name);

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
  // language_records() keeps the records appended before the failure (and
  // never those of a kit opened earlier).
  ErrorCode Open(const WideString& kit_path);

  // Like Open, but the inflation runs on a background thread: the call
  // returns once the language table and the whole file table have been
  // inflated and checked (names, sizes; the entries' bytes are checked as
  // they arrive). entries() stays empty: the worker walks the table with
  // entry_count() and ReadEntry(), and CopyEntryTo() waits until the bytes of
  // its entry have been inflated. When the kit stores the files' bytes in
  // table order (as kittool packs them), only the tables are written to the
  // container and the bytes go from the inflation straight to the entries'
  // files; the entries must then be read and copied in table order, once
  // each (bytes passed are not kept). A stream that turns out damaged or
  // short after this returns makes the waiting call, or FinishInflation(),
  // fail. Returns what Open returns for the kit and the tables.
  ErrorCode OpenStreaming(const WideString& kit_path);

  // Closes and removes the container and empties entries(); the language
  // records stay. Stops and joins a streaming inflation first. Does nothing
  // on a closed reader.
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
  // The same, noting in *failure which file the system refused and why.
  static ErrorCode InflateKit(const WideString& kit_path,
                              const WideString& container_path,
                              KitFailure* failure);

  // After a failed Open or OpenStreaming: the file the system refused and
  // its errno (a full temporary directory gives ENOSPC or EDQUOT on the
  // container); empty and 0 when the kit itself was at fault (13) or after
  // a success.
  const KitFailure& failure() const { return failure_; }

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

  // The number of file entries; 0 before a successful Open.
  uint32_t entry_count() const { return entry_count_; }

  // Entry `index` (offset absolute), taken from entries() or, streaming,
  // parsed from the container; walking the indices upwards reads the table
  // once. Returns 0; 87 for an index out of range; streaming, also 13 or 2/87
  // when the table can no longer be read (*entry unchanged then).
  ErrorCode ReadEntry(uint32_t index, KitEntry* entry);

  // Calls `visit` for every entry in table order (offset absolute, as
  // ReadEntry gives it) without moving ReadEntry's walk or passing any
  // bytes of a streaming hand-off, so that the table can be checked whole
  // before anything is installed. Stops at the first code other than 0 that
  // `visit` returns and returns it; otherwise 0, or, streaming, 13 or 2/87
  // when the table can no longer be read.
  ErrorCode VisitEntries(
      const std::function<ErrorCode(uint32_t index, const KitEntry& entry)>&
          visit);

  // Writes the bytes of `entry` (as ReadEntry gave it) at the current
  // position of the open `destination` and gives it the entry's time (a time
  // that cannot be set is not an error). The descriptor stays open. Returns
  // 0; 6 when no container is open; 2 or 87 when a read or write fails; 13
  // when the container ends before the entry's bytes are complete.
  ErrorCode CopyEntryTo(const KitEntry& entry, FileHandle destination);

  // Waits until the whole kit has been inflated and checks that every entry's
  // bytes lie inside the container. Returns 0 (at once after Open); 13 for a
  // damaged stream or an entry beyond the container's end; 2 or 87 when the
  // kit could not be read or the container not written.
  ErrorCode FinishInflation();

  const std::vector<LanguageRecord>& language_records() const {
    return language_records_;
  }
  // Empty after OpenStreaming.
  const std::vector<KitEntry>& entries() const { return entries_; }
  // The container's path; empty when none has been made.
  const WideString& container_path() const { return container_path_; }

 private:
  using Inflation = kit_internal::Inflation;
  using TableReader = kit_internal::TableReader;

  // Makes the temporary container (path in container_path_).
  ErrorCode MakeContainer();
  ErrorCode ParseLanguageTable(TableReader& in);
  ErrorCode ParseTables();
  ErrorCode ParseTablesStreaming();
  ErrorCode Fail(ErrorCode code);
  // Copies `size` bytes from container position `offset` to `destination`;
  // the container's bytes are valid up to `available_end`.
  ErrorCode CopyToFile(uint64_t offset, uint32_t size, FileHandle destination,
                       uint64_t available_end);
  ErrorCode CopyThroughBuffer(uint64_t offset, uint64_t size,
                              FileHandle destination, uint64_t available_end);

  std::vector<LanguageRecord> language_records_;
  KitFailure failure_;
  std::vector<KitEntry> entries_;
  uint32_t entry_count_ = 0;
  WideString container_path_;
  FileHandle container_fd_ = kInvalidFileHandle;
  uint64_t container_size_ = 0;
  // Streaming only: the pipe from the inflating thread (null otherwise) and
  // that thread; whether the data area is taken from the pipe instead of
  // the container, and from which position on; where the file table and the
  // data area start, the largest entry end relative to the data area, and
  // the cursor that walks the table for ReadEntry (next_index_ is the index
  // it reads next).
  std::unique_ptr<Inflation> inflation_;
  std::thread inflate_thread_;
  bool handed_off_ = false;
  uint64_t stream_start_ = 0;
  uint64_t table_start_ = 0;
  uint64_t data_start_ = 0;
  uint64_t max_entry_end_ = 0;
  std::unique_ptr<TableReader> cursor_;
  uint32_t next_index_ = 0;
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
