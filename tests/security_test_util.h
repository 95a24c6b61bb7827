// Shared by the security tests: a directory of recording stand-ins for the
// programs an installer might be tempted to start, and a way to run a built
// program with an argument vector and a chosen environment. Test-only.
#ifndef TESTS_SECURITY_TEST_UTIL_H_
#define TESTS_SECURITY_TEST_UTIL_H_

#include <string>
#include <vector>

#include "platform/fault_injection.h"

// Makes `dir` hold links to the recording stand-in under every name in
// StandInNames(); returns false when one cannot be made.
bool MakeStandIns(const std::string& dir);
const std::vector<std::string>& StandInNames();

// The lines of the stand-ins' log, one per start, split at the tabs; empty
// when nothing was started (no log).
std::vector<std::vector<std::string>> StandInStarts(const std::string& log);

// Runs `argv` (argv[0] a path) in `cwd` with exactly `env` (plus the
// sanitizers' options when set), standard input from /dev/null and output
// and error to `output`. Returns the exit status, 128 + signal, or -1 when it
// could not be started or ran far too long (then it is killed).
int RunProgram(const std::vector<std::string>& argv,
               const std::vector<std::string>& env, const std::string& cwd,
               const std::string& output);

// The rules for files outside the template directory `target`, checked
// call by call over a FaultInjectingSystem log; one line per call that
// breaks one, empty when none does:
// - a creating open outside `target` is exclusive (O_EXCL);
// - an open in the temporary directory `tmp` does not follow a link put at
//   its name (O_EXCL or O_NOFOLLOW); the one exception is the backup
//   directory the run made itself (the directory in which it created its
//   journal exclusively), opened as a directory to flush it;
// - every open is close-on-exec.
std::vector<std::string> CreationRuleBreaches(const std::vector<SysCall>& log,
                                              const std::string& tmp,
                                              const std::string& target);
// True when `path` is below the directory `dir`.
bool IsUnder(const std::string& path, const std::string& dir);

#endif  // TESTS_SECURITY_TEST_UTIL_H_
