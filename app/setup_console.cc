#include "app/setup_console.h"

#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>

#include "app/console_face.h"
#include "app/installer_app.h"
#include "engine/install_session.h"
#include "l10n/string_table.h"
#include "l10n/user_message.h"
#include "platform/narrow_path.h"
#include "platform/stop_signals.h"
#include "platform/system_api.h"
#include "text/terminal_text.h"
#include "text/text_conversion.h"

namespace {

std::string Line(const WideString& message) {
  return ToNarrow(OneLine(message)).c_str();
}

std::string LineFor(const char* key, const std::string& path) {
  return Line(UserMessage(key, MessageDetail{path, 0, nullptr}));
}

// Writes `summary` (one line for scripts and configuration management, the
// same in every language) to `out`. A script that cannot read it must not
// take the run for a success, nor one whose messages were lost.
int EndWith(const std::string& summary, std::ostream& out, std::ostream& err,
            const std::function<void(const WideString&)>& tell) {
  errno = 0;
  out << summary << "\n" << std::flush;
  if (!out.good()) {
    const int error = errno != 0 ? errno : EIO;
    tell(UserMessage("IDS_ERROR_REPORT_NOT_WRITTEN",
                     MessageDetail{std::string(), error, nullptr}));
    return ExitStatusFor(RunOutcome::kFailed);
  }
  if (!err.good()) return ExitStatusFor(RunOutcome::kFailed);
  return ExitStatusFor(RunOutcome::kSucceeded);
}

}  // namespace

int RunSetupConsole(InstallSession& session, const CommandLine& command_line,
                    std::ostream& out, std::ostream& err) {
  const auto tell = [&err](const WideString& message) {
    err << Line(message) << "\n" << std::flush;
  };
  SystemApi& sys = session.sys();
  ConsoleJob::Options options;
  options.bar = sys.Isatty(STDERR_FILENO) == 1;
  options.columns = BarColumns(sys.TerminalColumns(STDERR_FILENO));
  options.waiting_line = [](const std::string& directory) {
    return LineFor("IDS_WAIT_OTHER_INSTALL", directory);
  };
  options.fell_back_line = [](const std::string& directory) {
    return LineFor("IDS_NOTE_DEFAULT_TARGET", directory);
  };
  options.state_note_line = [](const Status& why) {
    return Line(StateFallbackNote(why));
  };
  ConsoleJob job(err, options);
  session.SetObserver(&job);
  InstallSession::PrepareOptions prepare;
  prepare.use_current_dir = command_line.use_current_dir;
  prepare.kit = command_line.kit;
  prepare.target = command_line.target;
  prepare.check = InstallSession::KitCheck::kStreaming;
  prepare.silent = true;
  prepare.dry_run = command_line.dry_run;
  const Status prepared = session.Prepare(prepare);
  if (!prepared.ok()) {
    tell(FailureMessage(prepared, session.kit_path()));
    return ExitStatusFor(RunOutcome::kFailed);
  }
  if (command_line.dry_run) {
    std::function<void(const std::string&)> list;
    if (command_line.verbose) {
      list = [&out](const std::string& path) { out << path << "\n"; };
    }
    const JobResult would = session.Preview(session.proposed_target(), list);
    if (!would.failure.ok()) {
      tell(FailureMessage(would.failure, session.kit_path()));
      return ExitStatusFor(RunOutcome::kFailed);
    }
    return EndWith(SummaryLine(ToNarrow(session.target()).c_str(), would, true),
                   out, err, tell);
  }
  JobResult result;
  {
    // While files are being copied, a stop signal rolls the job back
    // instead of leaving a half-installed directory.
    StopSignals signals;
    result = job.Run(session, session.proposed_target(), signals);
  }
  TellAftermath(result, "setup", err);
  if (result.failure.kind() == Status::Kind::kCancelled) {
    tell(StringTable::Lookup("IDS_CANCEL_FINISH"));
    return ExitStatusFor(RunOutcome::kCancelled);
  }
  if (!result.failure.ok()) {
    tell(FailureMessage(result.failure, session.kit_path()));
    return ExitStatusFor(RunOutcome::kFailed);
  }
  for (const Status& failure : session.RecordTarget()) {
    tell(ConfigNotSavedMessage(failure));
  }
  // What was installed where, and whether anything changed.
  return EndWith(SummaryLine(ToNarrow(session.target()).c_str(), result), out,
                 err, tell);
}
