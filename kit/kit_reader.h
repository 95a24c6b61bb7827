// The distribution kit reader: kit file → inflation (kit/inflation_pipe.h,
// kit/raw_inflater.h) → container (kit/kit_container.h) → tables
// (kit/table_reader.h) → entries, which the install engine copies out into
// files. The kit is untrusted input: every size, count, string and offset
// is checked before it is used, and an entry whose name would leave the
// template directory makes the whole kit damaged.
//
// The kit is inflated on a background thread into a private container in
// the temporary directory (unnamed where the file system allows it), and
// the file table is read from the container entry by entry instead of being
// kept in memory, so that memory stays flat however many files a kit holds.
// - Open() inflates the whole kit and checks it (every entry's bytes inside
//   the stream) before it returns; the entries can then be read in any
//   order, and entries() lists them (read on first use).
// - OpenStreaming() returns once the tables have been inflated and checked:
//   the caller installs while the rest is inflated, and only as far as the
//   entries it copies need: an installation that finds every file up to
//   date inflates no file's bytes. When the kit stores the files' bytes in
//   table order (as kittool packs them), only the tables go to the
//   container and the bytes go from the inflation straight to the entries'
//   files; the entries must then be copied in table order, once each
//   (bytes passed are not kept); reading entries ahead of the copies is
//   fine. A stream that turns out damaged or
//   short after it returned makes the waiting call fail.
// - Check() is Open without keeping anything but the language records:
//   the whole kit is inflated and checked, the files' bytes dropped.
//
// Failures are Statuses: kDamagedKit (without a path: the caller knows the
// kit) for a kit that is not a deflate stream or whose tables or entries
// are broken, kChecksumMismatch (naming the checksum file) for a kit that
// does not match it, kChecksumUnusable (naming that file) when it cannot serve,
// kNoTempFile when no container can be made, and the system's reason,
// naming the kit or the container, when a file cannot be opened, read or
// written (a full temporary directory gives ENOSPC or EDQUOT).
//
// Ownership: the reader owns the container, the copy buffer and the
// inflating thread. Close() (also run by the destructor) stops that thread
// and closes the container (removing a named one), so that no copy of the
// kit is left in the temporary directory; an unnamed container cannot
// outlive the process at all, and a named one is locked while in use, so
// that the recovery at the next start can remove it.
//
// Threads: Open, OpenStreaming, Check, FindProductInfo and FindDescription
// run on the owner's thread before the worker starts. After that only the
// worker calls ReadEntry, VisitEntries, ExtractEntry, CopyEntryTo and
// FinishInflation (one call at a time) and entries(); entry_count() may be
// read from any thread after an open. Close and the destructor run after
// the worker has been joined.
#ifndef KIT_KIT_READER_H_
#define KIT_KIT_READER_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kit/kit_checksum.h"
#include "kit/kit_container.h"
#include "kit/kit_format.h"
#include "platform/file_io.h"
#include "platform/status.h"
#include "text/wide_string.h"

class InflationPipe;
class SystemApi;
class TableReader;

class KitReader {
 public:
  // The size of the buffer that entries are copied through when the kernel
  // cannot copy between the two files itself.
  static constexpr uint32_t kCopyBufferSize = 0x100000;

  explicit KitReader(SystemApi& sys);
  ~KitReader();
  KitReader(const KitReader&) = delete;
  KitReader& operator=(const KitReader&) = delete;

  // Inflates the kit at `kit_path` into a new container, checks its tables
  // and that every entry's bytes lie inside the stream, and, when a checksum
  // file lies beside the kit ("<kit>.sha256", see kit/kit_checksum.h), that
  // the kit matches it. A reader that is open already is closed first. On
  // failure the container is closed and removed; language_records() keeps
  // the records read before the failure (and never those of a kit opened
  // earlier).
  Status Open(const WideString& kit_path);

  // Like Open, but returns once the language table and the whole file table
  // have been inflated and checked (names, sizes; the entries' bytes are
  // checked as they are asked for; the kit's checksum by VerifyChecksum).
  // A checksum file that cannot be used fails at once.
  Status OpenStreaming(const WideString& kit_path);

  // Inflates and checks the whole kit as Open does, keeping only the
  // language records; the reader is closed afterwards.
  Status Check(const WideString& kit_path);

  // Closes and removes the container; the language records stay. Stops and
  // joins the inflation first. Does nothing on a closed reader.
  void Close();

  // The product and provider of the first record for `language` (compared
  // ignoring case); both empty when no record serves it.
  void FindProductInfo(const WideString& language, WideString* product,
                       WideString* provider) const;

  // The description of the first record for `language` if that is not empty,
  // otherwise that of the first "en" record (even when empty), otherwise
  // empty.
  WideString FindDescription(const WideString& language) const;

  // Copies entry `index` to `destination` (created with mode 0660 less the
  // umask if missing, emptied if present), so that it holds exactly the
  // entry's bytes, and gives it the entry's time in whole seconds (a time
  // that cannot be set is not an error). kInvalidArgument for an index out
  // of range, kInvalidHandle when no container is open. The destination is
  // closed in every case; after a failure it holds an incomplete copy.
  // REQUIRES: a successful open; calls do not overlap.
  Status ExtractEntry(uint32_t index, const WideString& destination);

  // True between a successful Open or OpenStreaming and Close.
  bool is_open() const { return mode_ != Mode::kClosed; }

  // The number of file entries; 0 before a successful open.
  uint32_t entry_count() const { return entry_count_; }

  // Entry `index` (offset absolute), parsed from the container; walking the
  // indices upwards reads the table once. kInvalidArgument for an index out
  // of range (*entry unchanged on failure).
  Status ReadEntry(uint32_t index, KitEntry* entry);

  // Calls `visit` for every entry in table order (offset absolute, as
  // ReadEntry gives it) without moving ReadEntry's walk or passing any
  // bytes of a streaming hand-off, so that the table can be checked whole
  // before anything is installed. Stops at the first failure that `visit`
  // returns and returns it.
  Status VisitEntries(
      const std::function<Status(uint32_t index, const KitEntry& entry)>&
          visit);

  // Writes the bytes of `entry` (as ReadEntry gave it) at the current
  // position of the open `destination` and gives it the entry's time (a time
  // that cannot be set is not an error). The descriptor stays open. A failed
  // write of `destination` has no path; failures of the kit's way in name
  // the kit or the container.
  Status CopyEntryTo(const KitEntry& entry, FileHandle destination);

  // Inflates the rest of the kit and checks that every entry's bytes lie
  // inside the stream. Ok at once after Open.
  Status FinishInflation();

  // After the last copy from a streaming reader: when the kit has a
  // checksum file, hashes the part of the kit not read yet (each byte is
  // read once, for inflation or for this) and compares. Stops the
  // inflation: nothing more can be copied afterwards. Ok at once without a
  // checksum file, and after Open or Check, which verify it themselves.
  Status VerifyChecksum();

  const std::vector<LanguageRecord>& language_records() const {
    return language_records_;
  }
  // After Open: every entry, read from the container on first use. Empty
  // after OpenStreaming, which never holds the table whole.
  const std::vector<KitEntry>& entries() const;
  // A path that reads the container while the reader is open (see
  // KitContainer::path); empty when none is open.
  WideString container_path() const { return container_.path(); }

 private:
  enum class Mode { kClosed, kWhole, kStreaming };

  // Makes the container and starts the inflation of `kit_path` (free
  // running with `whole`, else as far as it is asked).
  Status Begin(const WideString& kit_path, bool whole);
  // Reads and checks the tables; *in_order: the entries' bytes lie in
  // table order.
  Status ParseTables(bool* in_order);
  Status ParseLanguageTable(TableReader& in);
  // `status`, or the failure of the kit's way in that caused it, which
  // names its file; Fail closes the reader too.
  Status Explain(Status status);
  Status Fail(Status status);
  // Copies `size` bytes from container position `offset` to `destination`;
  // the container's bytes are valid up to `available_end`.
  Status CopyToFile(uint64_t offset, uint32_t size, FileHandle destination,
                    uint64_t available_end);
  Status CopyThroughBuffer(uint64_t offset, uint64_t size,
                           FileHandle destination, uint64_t available_end);

  SystemApi& sys_;
  std::vector<LanguageRecord> language_records_;
  // Mutable: entries() reads them from the container on first use.
  mutable KitContainer container_;
  std::string kit_path_;  // of the open kit, for failures
  // The digest the checksum file gives, and the kit's bytes hashed so far
  // (by the inflating side while it runs); null without a checksum file.
  std::string expected_digest_;
  // The kit, kept open while a checksum is to be checked.
  FileHandle kit_ = kInvalidFileHandle;
  std::unique_ptr<KitDigest> digest_;
  mutable std::vector<KitEntry> entries_;
  Mode mode_ = Mode::kClosed;
  uint32_t entry_count_ = 0;
  // The inflation and its thread; whether the data area is taken from the
  // inflation instead of the container, and from which position on; where
  // the file table and the data area start, the largest entry end relative
  // to the data area, the container's size once the whole stream is in it,
  // and the cursor that walks the table for ReadEntry (next_index_ is the
  // index it reads next).
  std::unique_ptr<InflationPipe> inflation_;
  std::thread inflate_thread_;
  bool handed_off_ = false;
  uint64_t stream_start_ = 0;
  uint64_t table_start_ = 0;
  uint64_t data_start_ = 0;
  uint64_t max_entry_end_ = 0;
  uint64_t container_size_ = 0;
  std::unique_ptr<TableReader> cursor_;
  uint32_t next_index_ = 0;
  // Entries are copied inside the kernel until the kernel says it cannot
  // (another file system, an old kernel); from then on through copy_buffer_.
  bool kernel_copy_ = true;
  // copy_buffer_ holds the container bytes [buffer_start_, buffer_end_), so
  // that small entries stored one after another are served by one read.
  // Only the worker uses them after the open.
  std::unique_ptr<unsigned char[]> copy_buffer_;
  uint64_t buffer_start_ = 0;
  uint64_t buffer_end_ = 0;
  // Where the last buffered copy ended; a copy that starts there is part of
  // a front-to-back walk and reads ahead.
  uint64_t sequential_end_ = 0;
};

#endif  // KIT_KIT_READER_H_
