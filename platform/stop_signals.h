// The signals that would end the process half-way through an installation:
// SIGINT (Ctrl-C), SIGTERM (a kill), SIGHUP (a closed terminal or session)
// and SIGQUIT (the quit key). While a StopSignals lives they only ask the
// job to stop, so that it rolls back, and SIGPIPE is ignored (a reader of
// the messages that goes away must not end the job; writes then fail with
// EPIPE). The previous handling comes back when it goes.
//
// A signal sets a flag and writes a byte into a pipe, so that a thread
// waiting in Wait (a console run) wakes at once and a main loop that polls
// (the wizard) finds the flag. The signals are blocked from construction
// until Unblock, so that threads started in between (the worker, the
// inflation) inherit the block; a thread started before may run the
// handler too, which only sets the flag and wakes the waiter.
//
// One object at a time in the process. Construct, Unblock and destroy it on
// one thread; received, Wake and Wait may be called from any thread.
#ifndef PLATFORM_STOP_SIGNALS_H_
#define PLATFORM_STOP_SIGNALS_H_

#include <signal.h>

class StopSignals {
 public:
  StopSignals();
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // False when the pipe could not be made: the signals then keep their
  // usual meaning, and errno says why.
  bool ok() const { return fds_[0] != -1; }
  // The calling thread takes the signals from now on.
  void Unblock();
  // True once a stop signal has arrived.
  bool received() const;
  // Wakes a thread in Wait (a job that ended, say). Async-signal-safe.
  void Wake();
  // Waits until a signal or a Wake arrives or `timeout_ms` passes, then
  // forgets the wake-ups so far. True when woken.
  bool Wait(int timeout_ms);

 private:
  static constexpr int kCount = 4;
  int fds_[2] = {-1, -1};
  sigset_t set_;
  sigset_t old_mask_;
  struct sigaction old_actions_[kCount];
  struct sigaction old_pipe_;
};

#endif  // PLATFORM_STOP_SIGNALS_H_
