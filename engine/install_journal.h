// The record of one install transaction: every directory and file the job
// created and every file it moved into the backup, in the order it happened.
// It lives in an append-only file inside the transaction's backup directory
// rather than in memory, so that memory stays flat however many files a kit
// holds. A rollback reads it newest first, which undoes the job in reverse:
// files before the directories that hold them, deeper directories before
// their parents, and a backed-up file is moved back only after the file that
// replaced it is gone.
//
// Each record is appended after the step it describes has been done, and the
// records reach the file in blocks. Nothing is forced to stable storage, so
// the file is not yet a crash-recovery journal; its layout is meant to become
// one: a header line "ktstp journal 1\n", then records of
//   kind (1 byte: 'T' target directory, 'D' directory made, 'F' file made,
//         'B' file moved to the backup), u32 length + bytes of the path,
//   u32 length + bytes of the second path (the backup copy for 'B', else
//   empty), u32 length of the whole record,
// all integers little-endian, paths in the locale's multibyte encoding. The
// trailing length lets the file be read backwards.
//
// Threads: one thread at a time (the install worker). All file access goes
// through the SystemApi seam.
#ifndef ENGINE_INSTALL_JOURNAL_H_
#define ENGINE_INSTALL_JOURNAL_H_

#include <cstdint>
#include <functional>
#include <string>

#include "platform/error_code.h"

enum class JournalKind : char {
  kTarget = 'T',
  kCreatedDirectory = 'D',
  kCreatedFile = 'F',
  kBackup = 'B',
};

class InstallJournal {
 public:
  // Called for each record, newest first: the kind, the path and the second
  // path (empty unless kBackup).
  using Visitor = std::function<void(JournalKind kind, const std::string& path,
                                     const std::string& second)>;

  InstallJournal() = default;
  ~InstallJournal();
  InstallJournal(const InstallJournal&) = delete;
  InstallJournal& operator=(const InstallJournal&) = delete;

  // Creates the journal file `path`, which must not exist yet (mode 0600).
  // Returns 0, or the open's code (2 or 87) with nothing created.
  ErrorCode Create(const std::string& path);

  // Adds a record. Records are written out in blocks; a block that cannot be
  // written is kept in memory, and so is every later record, so that a
  // rollback still sees them all. Returns 0, or the code of the failed write
  // (87, or 6 when no journal is open), after which the job must end.
  ErrorCode Append(JournalKind kind, const std::string& path,
                   const std::string& second = std::string());

  // Calls `visit` for every record, newest first, those still in memory
  // included. Returns 0; 13 for a record that does not parse, or the code of
  // a failed read, after visiting the newer records.
  ErrorCode VisitNewestFirst(const Visitor& visit);

  // Closes the file, leaving it on disk, and forgets the records.
  void Close();

  bool is_open() const { return fd_ != -1; }

 private:
  // Writes the pending block. Returns 0 or the write's code.
  ErrorCode Flush();
  ErrorCode ReadAt(uint64_t position, char* out, uint32_t count);

  int fd_ = -1;
  // Records not yet in the file; file_length_ bytes of the file are good.
  std::string pending_;
  uint64_t file_length_ = 0;
  // Set by a failed write: from then on records stay in pending_.
  bool write_failed_ = false;
};

#endif  // ENGINE_INSTALL_JOURNAL_H_
