// Flushes on a thread of its own while an installation goes on: the
// journal, so that the records of the next steps reach the disk while the
// steps before them are done, and the file system that receives the files,
// so that the flush the commit waits for finds little left to write.
//
// A flush is asked for, and later waited for, by ticket; flushes run one
// at a time and in the order asked, so that a run that waits for each
// flush it asks for, and asks for no periodic one, makes the same calls in
// the same order every time. Periodic flushes only save time later: what
// they report is not kept.
// All calls go through the SystemApi passed in.
#ifndef ENGINE_FLUSHER_H_
#define ENGINE_FLUSHER_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>

class SystemApi;

class Flusher {
 public:
  explicit Flusher(SystemApi& sys);
  // Does what was asked for, then ends the thread.
  ~Flusher();
  Flusher(const Flusher&) = delete;
  Flusher& operator=(const Flusher&) = delete;

  // What a flush covers: the file system that holds `file_system_fd`
  // (syncfs) unless it is -1, and `file_fd` (fsync) unless it is -1.
  struct Target {
    int file_system_fd = -1;
    int file_fd = -1;
  };
  // Asks for a flush of `target` that covers all that was written before
  // the call; returns its ticket.
  uint64_t Flush(Target target);
  // Waits for the flush of `ticket`: 0 once it is done, or the errno of
  // the first flush that failed, from that ticket on (an fsync that failed
  // once may succeed later without the data on disk).
  int Await(uint64_t ticket);
  // From now until Drain, flushes `target` every `period` as well, while a
  // file is being written and once after: an installation held by a
  // question flushes nothing.
  void KeepFlushing(Target target, std::chrono::milliseconds period);
  // A file is being written from now until WriteEnds.
  void WriteBegins();
  void WriteEnds();
  // Ends the periodic flushes and waits until nothing asked for is left to
  // do. The descriptors passed in must stay open until then.
  void Drain();

 private:
  void Loop();
  void Start();  // the thread, unless it runs

  // Runs one flush of `target`, unlocked; its errno or 0.
  int Run(Target target, std::unique_lock<std::mutex>& lock);

  SystemApi& sys_;
  std::mutex mutex_;
  std::condition_variable changed_;

  std::deque<Target> asked_;    // not yet started, in order
  uint64_t tickets_ = 0;        // flushes asked for
  uint64_t done_ = 0;           // flushes asked for and done, in order
  uint64_t failed_ticket_ = 0;  // the first that failed, with its errno
  int failed_error_ = 0;
  bool periodic_ = false;
  Target periodic_target_;
  std::chrono::milliseconds period_{0};
  bool writing_ = false;
  bool written_ = false;  // since the last periodic flush began
  bool busy_ = false;
  bool stopping_ = false;
  std::thread thread_;  // started by the first ask
};

#endif  // ENGINE_FLUSHER_H_
