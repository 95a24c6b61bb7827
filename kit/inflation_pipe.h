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
// Failures are Statuses that name the file concerned: the container (a
// full temporary directory) or the kit (a failed read), as given to the
// constructor; a stream that is corrupt or ends early is kDamagedKit.
//
// Threads: the inflating thread calls Acquire, Submit, EndInput, Finish and
// NoteReadFailure; one consumer thread calls the rest; Abort from any
// thread. Memory is the ring (kit/block_ring.h): kBlocks blocks of
// kBlockSize bytes.
#ifndef KIT_INFLATION_PIPE_H_
#define KIT_INFLATION_PIPE_H_

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include <string>

#include "kit/block_ring.h"
#include "platform/file_io.h"
#include "platform/status.h"

struct KitDigest;
class SystemApi;

class InflationPipe {
 public:
  static constexpr uint32_t kBlockSize = 256 * 1024;
  static constexpr int kBlocks = 4;

  // Writes to `container` (an open descriptor, which stays the caller's) at
  // positions counted from 0. `container_name` and `kit_name` are what
  // failures name.
  InflationPipe(SystemApi& sys, FileHandle container,
                std::string container_name, std::string kit_name);
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
  void Finish(Status result);
  // Inflating thread: a read of the kit failed with `error` (an errno).
  Status NoteReadFailure(int error);

  // From now on the inflation runs to the end as fast as the consumer
  // takes the bytes, without waiting for demand.
  void Start();

  // Waits until the container holds `end` bytes (asking for them). Ok with
  // the bytes written so far in *available; otherwise the failure that
  // stopped the inflation, or kDamagedKit when it ended short of `end`.
  Status WaitFor(uint64_t end, uint64_t* available);

  // Stops writing the container: every later byte reaches the consumer
  // through CopyOut. Ok with the container's length (the position of the
  // first byte not written) in *container_end, or the first failed write.
  Status HandOff(uint64_t* container_end);

  // After HandOff: lets the inflation go on past `position`; the bytes
  // before it are not wanted any more.
  void ReleaseBefore(uint64_t position);

  // After HandOff: writes the stream's bytes [offset, offset + size) to
  // `out`, asking for them and a ring's length beyond. Offsets must not go
  // back: bytes passed are gone. Ok; the inflation's failure, or kDamagedKit
  // when it ended first or for bytes already released; the failed write
  // (without a path: `out` is the caller's).
  Status CopyOut(uint64_t offset, uint64_t size, FileHandle out);

  // Runs the inflation to its end (Start), dropping the blocks nobody has
  // taken after a hand-over. Returns the outcome; *total is the number of
  // bytes the stream inflated to.
  Status WaitForEnd(uint64_t* total);

  // Asks the inflation to stop early (it then ends cancelled) and the
  // writing thread to stop.
  void Abort();
  bool aborted();

  // The failure of the kit's way in itself (a failed write of the
  // container, a failed read of the kit), naming the file; ok when none.
  Status io_failure();

  SystemApi& sys() const { return sys_; }

 private:
  // REQUIRES: mutex_ held, !ring_.empty().
  void PopLocked();
  // Why no more bytes come. REQUIRES: mutex_ held.
  Status FailureLocked() const;
  void WriteLoop();
  // Writes a block to the container at `position`; notes a failure.
  bool WriteBlock(const unsigned char* data, uint32_t length,
                  uint64_t position);

  SystemApi& sys_;
  const FileHandle fd_;
  const std::string container_name_;
  const std::string kit_name_;
  std::thread writer_;
  std::mutex mutex_;
  std::condition_variable changed_;
  // Guarded by mutex_: the blocks and the stream position of the oldest
  // one's first byte; bytes produced, and written to the container; how
  // far readers have asked, and whether the whole stream is wanted; the
  // failures and the flags of the ends.
  BlockRing ring_{kBlocks, kBlockSize};
  uint64_t head_position_ = 0;
  uint64_t produced_ = 0;
  uint64_t written_ = 0;
  uint64_t demand_ = 0;
  bool started_ = false;
  Status write_failure_;
  Status read_failure_;
  Status result_;
  bool input_done_ = false;
  bool done_ = false;
  bool handed_off_ = false;
  bool aborted_ = false;
  bool writer_stopped_ = false;
};

// Inflates everything the raw DEFLATE stream in `kit` holds up to its end
// into `pipe`, reading the kit in large pieces. Returns the first failure of
// reading (noted in the pipe too) or inflating (kDamagedKit); kCancelled
// when the pipe was aborted. A failed write stops the inflation too; the
// pipe reports it.
// The end of the kit before the end of the stream is no failure here: the
// tables and entries are checked against what was inflated. Every byte read
// from the kit is hashed into `digest` when it is given.
Status InflateInto(FileHandle kit, InflationPipe* pipe,
                   KitDigest* digest = nullptr);

#endif  // KIT_INFLATION_PIPE_H_
