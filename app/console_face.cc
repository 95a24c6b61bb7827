#include "app/console_face.h"

#include <cstring>

#include "platform/stop_signals.h"
#include "text/terminal_text.h"
#include "text/text_conversion.h"

namespace {

// Lines for a file or a pipe are collected and written in blocks.
constexpr size_t kReportBlock = 64 * 1024;
// How often the bar on a terminal is drawn.
constexpr int kRedrawMilliseconds = 100;

const char* RefusalText(const RecoveryEvent& event) {
  using Refusal = RecoveryEvent::Refusal;
  switch (event.refusal) {
    case Refusal::kPointerNotAJournal:
      return "does not name an installation journal";
    case Refusal::kNotAPointer:
      return "it lies among the journal pointers but is no link of this "
             "user's";
    case Refusal::kLink:
      return "it is a symbolic link";
    case Refusal::kOpenToOthers:
      return "others may write or read it";
    case Refusal::kJournalUnopenable:
      return "its journal cannot be opened: ";
    case Refusal::kNoJournal:
      return "it holds files but no journal";
    case Refusal::kJournalNotOurs:
      return "its journal is not a regular file of this user";
    case Refusal::kJournalUnreadable:
      return "its journal cannot be read";
    case Refusal::kUnusableTarget:
      return "its journal names an unusable target directory";
    case Refusal::kOutside:
      return "\", outside its own directories";
    case Refusal::kNoOwner:
      return "its journal names no owner";
    case Refusal::kNone:
      break;
  }
  return "";
}

std::string RefusalReason(const RecoveryEvent& event) {
  using Refusal = RecoveryEvent::Refusal;
  switch (event.refusal) {
    case Refusal::kPointerNotAJournal:
      return "the pointer " + event.path + " " + RefusalText(event);
    case Refusal::kJournalUnopenable:
      return RefusalText(event) + std::string(std::strerror(event.error));
    case Refusal::kOutside:
      return "its journal names \"" + event.path + RefusalText(event);
    default:
      return RefusalText(event);
  }
}

}  // namespace

std::string DescribeRecoveryEvent(const RecoveryEvent& event) {
  switch (event.kind) {
    case RecoveryEvent::Kind::kRolledBack:
      return "an interrupted installation into \"" + event.target +
             "\" was undone";
    case RecoveryEvent::Kind::kFinishedCommit:
      return "an interrupted installation into \"" + event.target +
             "\" had finished; its leftovers were removed";
    case RecoveryEvent::Kind::kKeptFile:
      return "\"" + event.path +
             "\" changed after an interrupted installation and was kept as "
             "\"" + event.kept_as + "\"";
    case RecoveryEvent::Kind::kKeptBackup:
      if (!event.kept_as.empty()) {
        return "an interrupted installation into \"" + event.target +
               "\" could not be undone completely; what it replaced is kept "
               "in \"" + event.kept_as + "\"";
      }
      return "an interrupted installation into \"" + event.target +
             "\" could not be undone completely; what it replaced stays in \"" +
             event.backup + "\" and the next start tries again";
    case RecoveryEvent::Kind::kRefused:
      return "left \"" + event.backup + "\" alone: " + RefusalReason(event);
    case RecoveryEvent::Kind::kPending:
      return "an interrupted installation into \"" + event.target +
             (event.committed
                  ? "\" had finished; a run without --dry-run removes its "
                    "leftovers first"
                  : "\" is pending; a run without --dry-run undoes it first");
  }
  return std::string();
}

void TellAftermath(const JobResult& result, const char* program,
                   std::ostream& err) {
  for (const RecoveryEvent& event : result.settled) {
    err << program << ": " << DescribeRecoveryEvent(event) << "\n";
  }
  if (!result.kept_backup.empty()) {
    err << program
        << ": not every file the installation replaced could be put back; "
           "they are kept in \""
        << result.kept_backup << "\"\n";
  }
  err << std::flush;
}

ConsoleJob::ConsoleJob(std::ostream& err, Options options)
    : err_(err), options_(std::move(options)) {}

JobResult ConsoleJob::Run(InstallSession& session, const WideString& target,
                          StopSignals& signals) {
  session_ = &session;
  signals_ = &signals;
  const Status started = session.Start(target);
  // The threads the job needs are started: from now on this thread takes
  // the stop signals.
  signals.Unblock();
  if (!started.ok()) {
    session.Finish();
    JobResult refused;
    refused.failure = started;
    return refused;
  }
  while (session.Poll().state == JobState::kRunning) {
    signals.Wait(kRedrawMilliseconds);
    if (signals.received()) session.RequestCancel();
    Redraw();
  }
  const JobResult result = session.Finish();
  Finish();
  return result;
}

void ConsoleJob::OnPost(const ChannelState& state) {
  const bool ended = state.state != JobState::kRunning;
  if (state.waiting) {
    // Another installation runs in the directory: said once, at once, on a
    // line of its own.
    std::lock_guard<std::mutex> lock(mutex_);
    WriteLines();
    if (drawn_) {
      // Off the bar's line; the bar comes back below.
      err_ << "\n";
      drawn_ = false;
      changed_ = true;
    }
    if (options_.waiting_line) {
      err_ << options_.waiting_line(ToNarrow(state.text).c_str()) << "\n"
           << std::flush;
    }
  } else if (options_.bar) {
    std::lock_guard<std::mutex> lock(mutex_);
    // The bar ends full after a finish, where it stood otherwise.
    if (!ended || state.state == JobState::kFinished) {
      latest_ = state;
      if (ended) latest_.text = WideString();
      changed_ = true;
    }
  } else if (!ended && options_.entry_lines) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_ += std::to_string(state.progress) + "% " +
              EscapeForTerminal(state.text) + "\n";
    if (lines_.size() >= kReportBlock || options_.after_post) WriteLines();
  }
  if (options_.after_post) {
    InstallSession* session = session_;
    options_.after_post(state,
                        [session] { return session->Poll().cancelling; });
  }
  if (ended && signals_ != nullptr) signals_->Wake();
}

void ConsoleJob::OnFellBackToDefault(const std::string& directory) {
  if (!options_.fell_back_line) return;
  std::lock_guard<std::mutex> lock(mutex_);
  err_ << options_.fell_back_line(directory) << "\n" << std::flush;
}

void ConsoleJob::OnStateDirectoryPassedOver(const Status& why) {
  if (!options_.state_note_line) return;
  std::lock_guard<std::mutex> lock(mutex_);
  err_ << options_.state_note_line(why) << "\n" << std::flush;
}

void ConsoleJob::Redraw() {
  if (!options_.bar) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!changed_) return;
  changed_ = false;
  err_ << ProgressBarLine(latest_.progress, EscapeForTerminal(latest_.text),
                          options_.columns)
       << std::flush;
  drawn_ = true;
}

void ConsoleJob::Finish() {
  Redraw();
  std::lock_guard<std::mutex> lock(mutex_);
  WriteLines();
  // The bar's line is ended before any message.
  if (drawn_) err_ << "\n";
  err_ << std::flush;
}

void ConsoleJob::WriteLines() {
  if (lines_.empty()) return;
  err_ << lines_ << std::flush;
  lines_.clear();
}
