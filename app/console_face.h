// The installation's face for a terminal or a script: setup -S without a
// display (app/setup_console.h) and kittool extract (tools/) show an
// installation session (engine/install_session.h) through ConsoleJob. It
// follows the job on the calling thread while the worker copies: a stop
// signal (platform/stop_signals.h) cancels the job, which then rolls back;
// at a terminal a bar is drawn on standard error, otherwise nothing but the
// face's own lines (kittool asks for one "NN% path" line per entry). The
// words are the face's: it gives the lines for waiting and for a note.
//
// Threads: Run and the constructor on the face's thread; OnPost comes from
// the worker (writes to the stream are serialised by a lock).
#ifndef APP_CONSOLE_FACE_H_
#define APP_CONSOLE_FACE_H_

#include <functional>
#include <mutex>
#include <ostream>
#include <string>

#include "engine/install_session.h"

class StopSignals;

// One English line for a recovery event, without a line break.
std::string DescribeRecoveryEvent(const RecoveryEvent& event);

// What a job settled before it began and, when its rollback could not put
// everything back, where the rest is kept: English lines, each after
// `program` and ": ", for standard error.
void TellAftermath(const JobResult& result, const char* program,
                   std::ostream& err);

class ConsoleJob : public SessionObserver {
 public:
  struct Options {
    // A terminal: a bar on the stream, `columns` wide.
    bool bar = false;
    int columns = 80;
    // Without a bar: one line "NN% path" per entry, written in blocks.
    bool entry_lines = false;
    // The line (without a line break) that says the job waits for another
    // installation into `directory`.
    std::function<std::string(const std::string& directory)> waiting_line;
    // The line for a note that the launcher's directories could not be
    // used and `directory` (the default) is taken.
    std::function<std::string(const std::string& directory)> fell_back_line;
    // The line for the note that XDG_STATE_HOME is passed over (`why`, see
    // SessionObserver::OnStateDirectoryPassedOver).
    std::function<std::string(const Status& why)> state_note_line;
    // A seam for tests, on the worker thread after each post has been
    // reported: `cancelled` tells whether the job was asked to stop.
    std::function<void(const ChannelState& state,
                       const std::function<bool()>& cancelled)>
        after_post;
  };

  ConsoleJob(std::ostream& err, Options options);
  ConsoleJob(const ConsoleJob&) = delete;
  ConsoleJob& operator=(const ConsoleJob&) = delete;

  // Starts the job of `session` into `target` and follows it to its end; a
  // stop signal seen through `signals` cancels it. Returns the job's result
  // (its failure is why the job could not start, when it could not).
  JobResult Run(InstallSession& session, const WideString& target,
                StopSignals& signals);

  // SessionObserver.
  void OnPost(const ChannelState& state) override;
  void OnFellBackToDefault(const std::string& directory) override;
  void OnStateDirectoryPassedOver(const Status& why) override;

 private:
  // The face's thread, terminals only: draws the bar if something changed.
  void Redraw();
  // After the job: writes what is left and ends the bar's line.
  void Finish();
  // REQUIRES: mutex_ held.
  void WriteLines();

  std::ostream& err_;
  const Options options_;
  InstallSession* session_ = nullptr;
  StopSignals* signals_ = nullptr;
  std::mutex mutex_;
  // Guarded by mutex_.
  std::string lines_;
  ChannelState latest_;
  bool changed_ = false;
  bool drawn_ = false;
};

#endif  // APP_CONSOLE_FACE_H_
