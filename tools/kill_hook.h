// For the kill tests only, never linked into a shipped program: a SystemApi
// that forwards every call to the real system, counts the calls that change
// what is on disk (creating opens, writes, truncations, time and mode
// changes, copies, mkdir, rename, unlink, rmdir, symlink, mkostemp) and
// kills its own process with SIGKILL at the K-th of them, just before it or
// just after it. A kill at every K from 1 to the count of a whole run shows
// that an installation interrupted anywhere can be recovered.
#ifndef TOOLS_KILL_HOOK_H_
#define TOOLS_KILL_HOOK_H_

#include <string>
#include <vector>

// Takes "--kill-at K" and "--kill-before" or "--kill-after" off the front
// of `args` and, when K > 0, puts the killing seam in force for the rest of
// the process; with "--count-to FILE", the number of counted calls is
// written to FILE when the process ends normally (see WriteKillCount).
// Returns false with a message in `error` for a malformed option.
bool InstallKillHook(std::vector<std::string>* args, std::string* error);

// Writes the count of mutating calls to the file named by --count-to, if
// any.
void WriteKillCount();

#endif  // TOOLS_KILL_HOOK_H_
