// setup -S without a display: the console face of the installation session.
// The pre-checks, then the job with a bar at a terminal; every message goes
// to standard error as one line in the user's language, and a success ends
// with one line on standard output that scripts read:
//   installed into <dir>: <N> copied, <M> up to date
// The same in every language. A dry run (--dry-run) writes nothing and
// ends with
//   would install into <dir>: <N> to copy, <M> up to date
// after, with --verbose, one line per file it would copy.
#ifndef APP_SETUP_CONSOLE_H_
#define APP_SETUP_CONSOLE_H_

#include <ostream>

class InstallSession;
struct CommandLine;

// Runs the installation of `session` (recovered already) as `command_line`
// asks, writing the summary line to `out` and the messages, one line each,
// to `err` (a bar there too when the session's system says standard error
// is a terminal). Returns the exit status (0 installed, 1 failed, 2
// cancelled); an installation whose summary or messages could not be
// written is complete but returns 1.
int RunSetupConsole(InstallSession& session, const CommandLine& command_line,
                    std::ostream& out, std::ostream& err);

#endif  // APP_SETUP_CONSOLE_H_
