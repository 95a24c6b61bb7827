// kittool extract: a kit installed into a directory by the installer's own
// installation session (engine/install_session.h), shown through the
// console face (app/console_face.h). The face's words are English and made
// here; the session makes none.
//
// Call it from the main thread: while the job runs, the stop signals
// (SIGINT, SIGTERM, SIGHUP, SIGQUIT) cancel it and SIGPIPE is ignored
// (platform/stop_signals.h), so a reader of the progress that goes away
// makes writes fail (EPIPE) and the job goes on.
#ifndef TOOLS_KITTOOL_EXTRACT_H_
#define TOOLS_KITTOOL_EXTRACT_H_

#include <functional>
#include <ostream>
#include <string>

#include "engine/job_channel.h"
#include "platform/status.h"
#include "tools/kittool_args.h"

class SystemApi;

// A seam for tests of extract (ConsoleJob's after_post): called on the
// worker thread after each post has been reported and written out, with
// a question whether the job has been asked to stop, so that a test can
// hold the job at a known entry.
using ExtractAfterPost = std::function<void(
    const ChannelState& state, const std::function<bool()>& cancelled)>;

// Why the job that installed into `dir` failed, as a sentence (the
// failure's path holds a name from the kit and is escaped). REQUIRES:
// `failure` is neither ok nor kCancelled.
std::string DescribeInstallFailure(const Status& failure,
                                   const std::string& dir);

// Recovers interrupted installations (each event one line on `err`), then
// installs the kit into the directory as the installer does (missing or
// older files only, backups, rollback of everything on failure), inflating
// the kit while it installs. Reports progress on `err`: a bar when
// `terminal`, otherwise one line "NN% path" per entry. A stop signal
// cancels the job, which then rolls back. Exit status kExitOk with a line
// on `out`, or kExitFailure with the reason on `err` (cancellation
// included).
int RunExtract(SystemApi& sys, const KittoolOptions& options, std::ostream& out,
               std::ostream& err, bool terminal,
               const ExtractAfterPost& after_post = nullptr);

#endif  // TOOLS_KITTOOL_EXTRACT_H_
