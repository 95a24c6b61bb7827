// The mailbox between the face that runs an installation (the wizard, a
// console run, kittool extract) and the install worker. The face puts the
// job in (which kit reader, which template directory) and may ask for it
// to be paused or cancelled; the worker takes the job out and posts its
// state back (the destination it is at and a percentage, that it waits for
// another installation, how it ended), and the face polls that state or is
// told of each post by an observer.
//
// Every operation takes the channel's lock for its whole length and only to
// copy fields: no file work and no toolkit call is ever made under it, and no
// other lock is taken while it is held. An observer, when set, is told of
// every post on the posting thread after the lock has been released (a
// console run prints progress with it; tests record every post).
//
// Ownership: the channel does not own the reader. It must outlive the worker
// that uses it: its owner joins the worker before destroying either.
#ifndef ENGINE_JOB_CHANNEL_H_
#define ENGINE_JOB_CHANNEL_H_

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "platform/error_code.h"
#include "platform/status.h"
#include "text/wide_string.h"

class KitReader;

// Where the job stands, so that the GUI can tell the ends apart.
enum class JobState {
  kIdle,       // no job started since Init
  kRunning,    // StartJob was called; posts are paths and percentages
  kFinished,   // the job committed (code 0, progress 100)
  kFailed,     // the job failed (code not 0); it rolls back, then ends
  kCancelled,  // the job was cancelled and has rolled back (code 1223)
};

// A copy of the channel's state.
struct ChannelState {
  ErrorCode code = kSuccess;
  // While running: the destination of the entry being installed; while
  // waiting: the directory another installation holds. No text for the
  // user: the face makes that.
  WideString text;
  int32_t progress = 0;
  JobState state = JobState::kIdle;
  // The job waits for another installation into its directory, `text`.
  // Cleared by the next post.
  bool waiting = false;
  // After a failure: why, as the engine found it (code is its projection).
  Status failure;
  // The job has been asked to stop (RequestCancel).
  bool cancelling = false;
  // The worker stands still, paused between two entries or before its
  // commit, until the question is answered.
  bool held = false;
};

class JobObserver {
 public:
  virtual ~JobObserver() = default;
  // Called on the posting thread, without the channel's lock, with the state
  // that the post made. Must not call back into the channel's Post.
  virtual void OnPost(const ChannelState& state) = 0;
};

class JobChannel {
 public:
  JobChannel() = default;
  JobChannel(const JobChannel&) = delete;
  JobChannel& operator=(const JobChannel&) = delete;

  // Empties the directory and the text, clears code, progress, the cancel
  // request and the reader, and makes the state idle.
  void Init();

  // GUI thread: hands over a job. Clears the cancel request, code and
  // progress, makes the state running, stores the reader and the directory,
  // and appends "/" to the directory unless it is empty or already ends in
  // "/" or "\\". The text is left as it was.
  void StartJob(KitReader* reader, const WideString& target_dir);

  // Worker: the job's reader (null when none was handed over) and a copy of
  // its directory.
  KitReader* TakeJob(WideString* target_dir);

  // Any thread: asks the running job to stop after its current entry and
  // roll back (a paused job goes on to do so).
  void RequestCancel();
  // Worker: whether the job has been asked to stop.
  bool IsCancelled();

  // GUI thread: asks the job to wait between two entries (while the user
  // is asked whether to cancel). False, changing nothing, once the job has
  // begun to commit or has ended: it can no longer be held back.
  bool TryPause();
  // GUI thread: lets a paused job go on.
  void Resume();
  // Worker: waits while the job is paused (the state says it is held); a
  // cancel request ends the wait.
  void WaitWhilePaused();
  // Worker, before the commit: waits while paused, then either marks the
  // job as committing (no pause is taken from then on) and returns true, or
  // returns false when the job has been asked to stop.
  bool BeginCommit();

  // Worker (and the dialog once, before any job): stores code, text and
  // progress. The state follows from them: code 1223 (cancelled) ends the
  // job as cancelled, any other non-zero code as failed, code 0 with
  // progress 100 as finished; other posts leave the state as it is.
  void Post(ErrorCode code, const WideString& text, int32_t progress);

  // Worker: the job failed with `failure`; the state becomes failed, or
  // cancelled for kCancelled.
  void PostFailure(const Status& failure, int32_t progress);

  // Worker: the job waits for another installation into `directory`. Code
  // and progress stay; the next Post ends the waiting.
  void PostWaiting(const WideString& directory);

  // GUI thread: a copy of the state.
  ChannelState Poll();

  // Sets (or with null removes) the observer. Only while no job runs.
  void SetObserver(JobObserver* observer);

 private:
  // Everything below is guarded by mutex_.
  std::mutex mutex_;
  KitReader* reader_ = nullptr;
  WideString target_dir_;
  bool cancel_requested_ = false;
  bool paused_ = false;
  bool committing_ = false;
  std::condition_variable resumed_;
  // Waits while paused; REQUIRES: `lock` holds mutex_.
  void HoldWhilePaused(std::unique_lock<std::mutex>& lock);
  ChannelState state_;
  JobObserver* observer_ = nullptr;
};

#endif  // ENGINE_JOB_CHANNEL_H_
