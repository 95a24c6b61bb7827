// The user's state directory of the installer, "tqsetup" in the base
// directory for state: $XDG_STATE_HOME when that is an absolute path, else
// ~/.local/state. It holds two folders: "journals", the pointers to the
// journals of running installations (engine/recovery.h), and "locks", the
// fallback lock files of the template directories (engine/target_lock.h).
// Earlier versions always used ~/.local/state/tqsetup; the recovery still
// looks there (HomeStateDirectory).
//
// The paths are built afresh at each call from the environment (HOME and
// XDG_STATE_HOME), so a changed environment is seen at once; any thread may
// call these, but not while another one changes the environment. All file
// work goes through the SystemApi seam.
#ifndef ENGINE_STATE_DIRECTORY_H_
#define ENGINE_STATE_DIRECTORY_H_

#include <string>

// The folders of the state directory.
constexpr char kJournalsFolder[] = "journals";
constexpr char kLocksFolder[] = "locks";

// $XDG_STATE_HOME/tqsetup when XDG_STATE_HOME is an absolute path (trailing
// slashes dropped), else HomeStateDirectory(). Empty when there is neither.
std::string StateDirectory();

// HOME + "/.local/state/tqsetup", whatever XDG_STATE_HOME says; empty when
// the home directory (platform/home_directory.h) is not an absolute path.
std::string HomeStateDirectory();

// Makes StateDirectory() + "/" + `folder` and every missing level above it,
// each new one private (mode 0700); levels that exist keep their modes. The
// home directory itself is never made, but the whole of XDG_STATE_HOME is
// when missing. Returns the folder's path, or empty when it could not be
// made: errno then holds the reason of the failing call, or 0 when there is
// no state directory at all. An empty result with ENOENT may pass (a
// process that found the state directory empty removed it just then): the
// caller tries again.
std::string MakeStateFolder(const char* folder);

// Removes the folder `folder` of the state directory `state` (a path as
// StateDirectory or HomeStateDirectory gave it) when it is an empty
// directory of this user's, and then `state` itself when it is left an
// empty directory of this user's. Neither is removed when it is a symbolic
// link, or reached through one below `state`'s parent, or not empty, or
// another user's; the levels above `state` are never touched. Failures
// leave things as they are.
void RemoveEmptyStateFolder(const std::string& state, const char* folder);

#endif  // ENGINE_STATE_DIRECTORY_H_
