// The pipe from the kit's inflation to its consumers: a thread inflates the
// kit (InflateInto) into a ring of blocks; a writing thread puts the blocks
// into the container in order and publishes how many bytes are there, so
// that readers may read below that mark from the same descriptor
// (positioned reads and writes).
//
// Production follows demand: the inflation goes only as far as a reader has
// asked for (WaitFor, CopyOut), plus some read-ahead, until something needs
// the whole stream (Start: the wait for the end, or a consumer of a kit not
// stored in table order). So a reader that only reads the tables inflates
// little more than the tables, an installation that finds every file up to
// date inflates no file, and one that copies a few stops inflating a ring's
// length after the last of them.
//
// A reader whose kit stores the files' bytes in table order hands the
// stream over once it has read the tables (HandOff): from then on the
// blocks are not written to the container at all, and the consumer copies
// entries straight out of them (CopyOut), releasing each block once it has
// passed it. The data area then never touches the disk twice.
//
// Threads: the inflating thread calls Acquire, Submit, EndInput, Finish and
// NoteReadFailure; one consumer thread calls the rest; Abort from any
// thread. Memory is the ring: kBlocks blocks of kBlockSize bytes.
#ifndef KIT_INFLATION_PIPE_H_
#define KIT_INFLATION_PIPE_H_

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/error_code.h"
#include "platform/file_io.h"

struct KitDigest;

class InflationPipe {
 public:
  static constexpr uint32_t kBlockSize = 256 * 1024;
  static constexpr int kBlocks = 4;

  // Writes to `container` (an open descriptor, which stays the caller's) at
  // positions counted from 0.
  explicit InflationPipe(FileHandle container);
  ~InflationPipe();
  InflationPipe(const InflationPipe&) = delete;
  InflationPipe& operator=(const InflationPipe&) = delete;

  // Inflating thread: the next block to fill, once its consumer has finished
  // with it and someone wants more bytes; null after a failed write or
  // Abort.
  unsigned char* Acquire();
  // Inflating thread: queues the first `length` bytes of the block that
  // Acquire returned.
  void Submit(uint32_t length);
  // Inflating thread: no more blocks will come. Returns once the writing
  // thread has written what it is going to write, so that the container
  // may be closed.
  void EndInput();
  // Inflating thread, after EndInput: the inflation's outcome.
  void Finish(ErrorCode result);
  // Inflating thread: the errno of a failed read of the kit, for the report.
  void NoteReadFailure(int error);

  // From now on the inflation runs to the end as fast as the consumer
  // takes the bytes, without waiting for demand.
  void Start();

  // Waits until the container holds `end` bytes (asking for them). Returns 0
  // with the bytes written so far in *available; otherwise the failure that
  // stopped the inflation, or 13 when it ended short of `end`.
  ErrorCode WaitFor(uint64_t end, uint64_t* available);

  // Stops writing the container: every later byte reaches the consumer
  // through CopyOut. Returns 0 with the container's length (the position
  // of the first byte not written) in *container_end, or the first failed
  // write.
  ErrorCode HandOff(uint64_t* container_end);

  // After HandOff: lets the inflation go on past `position`; the bytes
  // before it are not wanted any more.
  void ReleaseBefore(uint64_t position);

  // After HandOff: writes the stream's bytes [offset, offset + size) to
  // `out`, asking for them and a ring's length beyond. Offsets must not go
  // back: bytes passed are gone. Returns 0; the inflation's failure or 13 when
  // it ended first; 13 for bytes already released; the code of a failed write.
  ErrorCode CopyOut(uint64_t offset, uint64_t size, FileHandle out);

  // Runs the inflation to its end (Start), dropping the blocks nobody has
  // taken after a hand-over. Returns the outcome; *total is the number of
  // bytes the stream inflated to.
  ErrorCode WaitForEnd(uint64_t* total);

  // Asks the inflation to stop early (it then ends with 1223) and the
  // writing thread to stop.
  void Abort();
  bool aborted();

  // The errno of the first failed write (0 when none failed), and of a
  // failed read of the kit.
  int write_errno();
  int read_errno();

 private:
  // The ring slot `n` blocks after the oldest queued one.
  int Slot(int n) const { return (head_ + n) % kBlocks; }
  // REQUIRES: mutex_ held, queued_ > 0.
  void PopLocked();
  // Why no more bytes come. REQUIRES: mutex_ held.
  ErrorCode FailureLocked() const;
  void WriteLoop();
  ErrorCode WriteAll(const unsigned char* data, uint32_t length,
                     uint64_t position);

  const FileHandle fd_;
  std::unique_ptr<unsigned char[]> blocks_[kBlocks];
  std::thread writer_;
  std::mutex mutex_;
  std::condition_variable changed_;
  // Guarded by mutex_: the oldest queued block, how many are queued, their
  // lengths, and the stream position of the oldest block's first byte;
  // bytes produced, and written to the container; how far readers have
  // asked, and whether the whole stream is wanted; the flags of the ends.
  int head_ = 0;
  int queued_ = 0;
  uint32_t lengths_[kBlocks] = {};
  uint64_t head_position_ = 0;
  uint64_t produced_ = 0;
  uint64_t written_ = 0;
  uint64_t demand_ = 0;
  bool started_ = false;
  ErrorCode write_error_ = kSuccess;
  int write_errno_ = 0;
  int read_errno_ = 0;
  ErrorCode result_ = kSuccess;
  bool input_done_ = false;
  bool done_ = false;
  bool handed_off_ = false;
  bool aborted_ = false;
  bool writer_stopped_ = false;
};

// Inflates everything the raw DEFLATE stream in `kit` holds up to its end
// into `pipe`, reading the kit in large pieces. Returns the first failure of
// reading (the pipe notes its errno) or inflating (13); 1223 when the pipe
// was aborted. A failed write stops the inflation too; the pipe reports it.
// The end of the kit before the end of the stream is no failure here: the
// tables and entries are checked against what was inflated. Every byte read
// from the kit is hashed into `digest` when it is given.
ErrorCode InflateInto(FileHandle kit, InflationPipe* pipe,
                      KitDigest* digest = nullptr);

#endif  // KIT_INFLATION_PIPE_H_
