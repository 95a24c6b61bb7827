#include "tools/kittool_extract.h"

#include <errno.h>
#include <unistd.h>

#include <cstring>

#include "app/console_face.h"
#include "engine/install_session.h"
#include "l10n/string_table.h"
#include "l10n/user_message.h"
#include "platform/home_directory.h"
#include "platform/narrow_path.h"
#include "platform/stop_signals.h"
#include "platform/system_api.h"
#include "text/terminal_text.h"
#include "text/text_conversion.h"
#include "tools/kittool_checksum.h"
#include "tools/kittool_inspect.h"

namespace {

// Said once, at once, when another installation holds the directory: the
// installer's own English text, which scripts may look for.
std::string WaitingLine(const std::string& directory) {
  WideString text =
      StringTable::LookupIn(kLanguageEnglish, "IDS_WAIT_OTHER_INSTALL");
  text.push_back(u'\n');
  text.append(DetailText(MessageDetail{directory, 0, nullptr}));
  return "kittool: " + EscapeForTerminal(OneLine(text));
}

// A place from the environment (HOME, XDG_STATE_HOME or a level below it),
// escaped, and why it cannot be used.
std::string EnvironmentPlace(const Status& failure) {
  const std::string& value = failure.path();
  std::string reason;
  if (failure.error() != 0) {
    reason = std::strerror(failure.error());
  } else if (FaultOf(value) == PathFault::kControlCharacter) {
    reason = "it holds control characters";
  } else if (FaultOf(value) == PathFault::kNotAbsolute) {
    reason = "not an absolute path";
  } else {
    reason = "the root directory is no home directory";
  }
  if (value.empty()) return reason;
  return "\"" + EscapeForTerminal(ToWide(NarrowString(value.c_str()))) +
         "\": " + reason;
}

std::string StateNoteLine(const Status& why) {
  return "kittool: XDG_STATE_HOME cannot be used (" + EnvironmentPlace(why) +
         "); the state directory under the home directory is used instead";
}

ConsoleJob::Options FaceOptions(SystemApi& sys, bool terminal,
                                const ExtractAfterPost& after_post) {
  ConsoleJob::Options options;
  options.bar = terminal;
  if (terminal) {
    options.columns = BarColumns(sys.TerminalColumns(STDERR_FILENO));
  }
  options.entry_lines = true;
  options.waiting_line = WaitingLine;
  options.state_note_line = StateNoteLine;
  options.after_post = after_post;
  return options;
}

bool IsUtf8Locale() {
  const std::string codeset = LocaleCodeset();
  return codeset == "UTF-8" || codeset == "utf8" || codeset == "UTF8";
}

// The channel would take a trailing backslash for a separator; on this
// system it is part of a name.
WideString TargetOf(const std::string& dir) {
  WideString target = ToWide(NarrowString(dir.c_str()));
  if (!target.empty() && target[target.length() - 1] != u'/') {
    target.push_back(u'/');
  }
  return target;
}

int Report(const JobResult& result, const KittoolOptions& options,
           std::ostream& out, std::ostream& err) {
  const std::string& dir = options.target_dir;
  if (result.failure.ok()) {
    // The line setup -S ends with, so that one script reads both.
    out << SummaryLine(dir, result) << "\n";
    return kExitOk;
  }
  if (result.failure.kind() == Status::Kind::kCancelled) {
    err << "kittool: cancelled";
  } else {
    err << "kittool: cannot install \"" << options.kit << "\" into \"" << dir
        << "\": " << DescribeInstallFailure(result.failure, dir);
  }
  if (result.kept_backup.empty()) {
    err << "; \"" << dir << "\" is unchanged\n";
  } else {
    err << "; not every replaced file could be put back, so they are kept "
           "in \""
        << result.kept_backup << "\"\n";
  }
  return kExitFailure;
}

}  // namespace

std::string DescribeInstallFailure(const Status& failure,
                                   const std::string& dir) {
  // The engine's path holds an entry's name from the kit.
  const std::string path =
      EscapeForTerminal(ToWide(NarrowString(failure.path().c_str())));
  switch (failure.kind()) {
    case Status::Kind::kLinkOutside:
      return "\"" + path + "\" is a link that leads outside \"" + dir +
             "\"; nothing is written through it";
    case Status::Kind::kNameEncoding:
      // Shown as the engine spells it: what the locale cannot hold as
      // \uXXXX (a name with a control character never gets here). Names
      // that no locale holds are refused as invalid, so only these have the
      // advice, and only where it can help.
      return "the name \"" + failure.path() +
             "\" cannot be written in this locale's file-name encoding (" +
             LocaleCodeset() +
             "); no name is ever changed, so nothing was installed" +
             (IsUtf8Locale() ? "" : " (a UTF-8 locale holds it)");
    case Status::Kind::kNameTwice:
      return "the kit holds \"" + path +
             "\" twice, as two files or as a file and a directory; nothing "
             "was installed (\"kittool verify\" says more)";
    case Status::Kind::kNameInvalid:
      return "\"" + path +
             "\" is not a valid file name; nothing was installed (\"kittool "
             "verify\" says more)";
    case Status::Kind::kChecksumUnusable:
      return DescribeUnusableChecksumFile(failure);
    case Status::Kind::kChecksumMismatch:
      return "the kit does not match its checksum file \"" + path +
             "\": it is damaged";
    case Status::Kind::kDamagedKit:
      return path.empty()
                 ? "the kit is damaged: its stream is corrupt or ends early, "
                   "its tables are broken, or it does not match its checksum "
                   "file (\"kittool verify\" says more)"
                 : "the kit is damaged: the bytes of \"" + path +
                       "\" are missing from it";
    case Status::Kind::kInTheWay:
    case Status::Kind::kNotAFile:
      return "\"" + path +
             "\" is in the way: it is not a regular file where the kit has "
             "a file (a directory, a link to one, a device...), or a file "
             "where the kit needs a directory; it is never replaced";
    case Status::Kind::kNoTarget:
      return "no directory to install into";
    case Status::Kind::kUnusableHome:
      return "the home directory (HOME) cannot be used, " +
             EnvironmentPlace(failure) +
             "; without it (or a usable XDG_STATE_HOME) there is no state "
             "directory to record the installation in, so nothing was "
             "installed";
    case Status::Kind::kNoStateDirectory:
      return "no state directory can record the installation (" +
             EnvironmentPlace(failure) +
             "), and an interrupted one could then not be undone; nothing "
             "was installed";
    case Status::Kind::kNoCurrentDirectory:
      return "the current directory cannot be found (it may have been "
             "deleted)" +
             (path.empty() ? std::string() : ", \"" + path + "\"") + ": " +
             ReasonOf(failure);
    default:
      break;
  }
  if (path.empty()) return ReasonOf(failure) + " in \"" + dir + "\"";
  return "cannot write \"" + path + "\": " + ReasonOf(failure);
}

int RunExtract(SystemApi& sys, const KittoolOptions& options, std::ostream& out,
               std::ostream& err, bool terminal,
               const ExtractAfterPost& after_post) {
  // Before any thread is started (the recovery's, the kit's inflation, the
  // job's), so that only this one ever takes the signals.
  StopSignals signals;
  if (!signals.ok()) {
    err << "kittool: cannot set up the handling of Ctrl-C: "
        << std::strerror(errno) << "\n";
    return kExitFailure;
  }
  // Declared before the session, which tells it of the job until it goes.
  ConsoleJob face(err, FaceOptions(sys, terminal, after_post));
  InstallSession session(sys, &face);
  // An installation killed earlier is undone (or finished) before anything
  // else looks at the directories.
  for (const RecoveryEvent& event : session.Recover()) {
    err << "kittool: " << DescribeRecoveryEvent(event) << "\n";
  }
  session.SetKitPath(options.kit);
  const Status opened = session.OpenKit(InstallSession::KitCheck::kStreaming);
  if (!opened.ok()) {
    err << "kittool: " << DescribeOpenFailure(opened, options.kit) << "\n";
    return kExitFailure;
  }
  const JobResult result =
      face.Run(session, TargetOf(options.target_dir), signals);
  for (const RecoveryEvent& event : result.settled) {
    err << "kittool: " << DescribeRecoveryEvent(event) << "\n";
  }
  return Report(result, options, out, err);
}
