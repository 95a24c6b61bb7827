// Shared by the security tests: a directory of recording stand-ins for the
// programs an installer might be tempted to start, and a way to run a built
// program with an argument vector and a chosen environment. Test-only.
#ifndef TESTS_SECURITY_TEST_UTIL_H_
#define TESTS_SECURITY_TEST_UTIL_H_

#include <string>
#include <vector>

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

#endif  // TESTS_SECURITY_TEST_UTIL_H_
