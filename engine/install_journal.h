// The write-ahead journal of one install transaction: every directory and
// file the job creates and every file it moves into the backup, written
// BEFORE the step it describes, so that whatever point the process is killed
// at, the steps done can be undone from the file alone (engine/recovery.h);
// a record whose step never happened is harmless to undo. It lives in an
// append-only file inside the transaction's backup directory rather than in
// memory, so that memory stays flat however many files a kit holds. A
// rollback reads it newest first, which undoes the job in reverse: files
// before the directories that hold them, deeper directories before their
// parents, and a backed-up file is moved back only after the file that
// replaced it is gone.
//
// Records may also be written ahead, a batch of them flushed once before
// the first of their steps, so that a power loss cannot keep a step without
// its record; a record whose step never happened stays harmless.
//
// Layout: a header line "ktstp journal 4\n" (journals of layout 2, which
// lacked kDirectoryTimes, and of layout 3, whose kFileDone and kVoid
// records named no path, are read too), then records of
//   kind (1 byte, JournalKind), u32 length + bytes of the path, u32 length +
//   bytes of the second field, u32 CRC-32 of everything before it in the
//   record, u32 length of the whole record,
// all integers little-endian, paths in the locale's multibyte encoding. The
// trailing length lets the file be read backwards; the CRC lets a reader
// find where a torn or zero-filled tail (a power loss) begins: everything
// from the first record that does not hold together on is ignored.
//
// Each record is one write(2): it reaches the page cache, and so survives a
// killed process, before Append returns. Nothing is forced to stable storage
// except through Sync, which the engine calls where a power loss matters.
// The owner holds an exclusive flock on the file for as long as it is open,
// so that a recovery never works on a journal whose owner is still running.
//
// Failures are Statuses naming the journal; kCorrupt for a journal that does
// not parse.
//
// Threads: one thread at a time. All file access goes through the SystemApi
// passed in.
#ifndef ENGINE_INSTALL_JOURNAL_H_
#define ENGINE_INSTALL_JOURNAL_H_

#include <cstdint>
#include <functional>
#include <string>

#include "platform/status.h"

class SystemApi;

enum class JournalKind : char {
  // The target directory (path), first after the header.
  kTarget = 'T',
  // The owner (second: "<pid> <start time> <boot id>").
  kOwner = 'O',
  // A directory about to be made (path).
  kCreatedDirectory = 'D',
  // A file about to be created with O_EXCL (path).
  kCreatedFile = 'F',
  // The newest kCreatedFile of its path is complete: its data written, its
  // file closed and its time set; second: its identity (see FileIdentity).
  // Layout 3 wrote no path: the newest kCreatedFile of any path.
  kFileDone = 'C',
  // The newest kCreatedFile or kCreatedDirectory of its path did not happen
  // (its exclusive create failed, or the level was there after all):
  // whatever is at its path is not the job's.
  kVoid = 'X',
  // A file about to be moved to the backup (path, second: the backup path).
  kBackup = 'B',
  // The job is committed: nothing is to be undone any more.
  kCommitted = 'M',
  // A directory that existed before the job is about to change (an entry
  // made, moved or removed in it): path, second: its access and
  // modification times (EncodeTimes), which a rollback puts back once
  // every newer record is undone.
  kDirectoryTimes = 'W',
};

// What identifies a file the job wrote, as it was when it was done: a file
// with another identity was changed or replaced by someone else since.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  uint64_t size = 0;
  int64_t mtime_ns = 0;
  int64_t ctime_ns = 0;

  bool operator==(const FileIdentity&) const = default;
};
struct stat;
FileIdentity IdentityOf(const struct stat& status);
// The 40 bytes of a kFileDone record's second field, and back (false when
// `bytes` is not such a field).
std::string EncodeIdentity(const FileIdentity& identity);
bool DecodeIdentity(const std::string& bytes, FileIdentity* identity);

// The 32 bytes of a kDirectoryTimes record's second field (access, then
// modification time), and back (false when `bytes` is not such a field).
std::string EncodeTimes(const struct timespec& access,
                        const struct timespec& modification);
bool DecodeTimes(const std::string& bytes, struct timespec times[2]);

class InstallJournal {
 public:
  // Called for each record: the kind, the path, the second field and the
  // offset at which the record starts in the file.
  using Visitor =
      std::function<void(JournalKind kind, const std::string& path,
                         const std::string& second, uint64_t start)>;

  explicit InstallJournal(SystemApi& sys) : sys_(sys) {}
  ~InstallJournal();
  InstallJournal(const InstallJournal&) = delete;
  InstallJournal& operator=(const InstallJournal&) = delete;

  // Creates the journal file `path`, which must not exist yet (mode 0600),
  // takes its lock and writes the header. On failure (EWOULDBLOCK when the
  // lock is taken) the descriptor is closed (the file may stay: it lies in
  // the caller's backup directory).
  Status Create(const std::string& path);

  // Takes over `fd`, the open, locked journal `path` of another (gone)
  // process, and reads it forwards, calling `visit` for every record that
  // holds together, oldest first; the first one that does not (a torn or
  // zero-filled tail) ends it, and from then on the journal is that long.
  // Ok also for a file that holds only the start of the header (it has no
  // records); kCorrupt when the header is not that of this layout (no
  // record is visited); a failed read's reason.
  Status Adopt(int fd, const std::string& path, const Visitor& visit);

  // Writes a record with one write. On failure (kInvalidHandle when no
  // journal is open) the step it describes must not be done. A record that
  // reached the file only in part is cut off again; when even that fails,
  // every later Append fails too.
  Status Append(JournalKind kind, const std::string& path,
                const std::string& second = std::string());

  // Forces the file to stable storage.
  Status Sync();

  // Cuts the file to its first `length` bytes (a record's end, or
  // length() to drop a torn tail that Adopt skipped), so that
  // the records from there on are forgotten: a rollback does so before each
  // move back, so that a rollback killed half-way and finished by a
  // recovery does not undo the newer records twice.
  Status TruncateTo(uint64_t length);

  // Calls `visit` for every record, newest first. kCorrupt for a record
  // that does not parse, or a failed read's reason, after visiting the
  // newer records.
  Status VisitNewestFirst(const Visitor& visit);

  // Closes the file (which releases the lock), leaving it on disk.
  void Close();

  bool is_open() const { return fd_ != -1; }
  const std::string& path() const { return path_; }
  int fd() const { return fd_; }
  uint64_t length() const { return file_length_; }

 private:
  Status ReadAt(uint64_t position, char* out, uint32_t count);
  // The system's reason for the last failed call, naming the journal.
  Status Failed() const;

  SystemApi& sys_;
  std::string path_;
  int fd_ = -1;
  // The file's first file_length_ bytes hold whole records.
  uint64_t file_length_ = 0;
  // Set when a failed write could not be cut off again.
  bool broken_ = false;
  // The record being written, kept to reuse its allocation.
  std::string record_;
};

#endif  // ENGINE_INSTALL_JOURNAL_H_
