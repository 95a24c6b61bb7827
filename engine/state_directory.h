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
// work goes through the SystemApi passed in.
#ifndef ENGINE_STATE_DIRECTORY_H_
#define ENGINE_STATE_DIRECTORY_H_

#include <string>

#include "platform/status.h"

class SystemApi;

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
// when missing. Ok with the folder's path in *path; otherwise the failing
// call's reason (ENOENT without a path when there is no state directory at
// all). A failure with ENOENT may pass (a process that found the state
// directory empty removed it just then): the caller tries again.
Status MakeStateFolder(SystemApi& sys, const char* folder, std::string* path);

// Removes the folder `folder` of the state directory `state` (a path as
// StateDirectory or HomeStateDirectory gave it) when it is an empty
// directory of this user's, and then `state` itself when it is left an
// empty directory of this user's. Neither is removed when it is a symbolic
// link, or reached through one below `state`'s parent, or not empty, or
// another user's; the levels above `state` are never touched. Failures
// leave things as they are.
void RemoveEmptyStateFolder(SystemApi& sys, const std::string& state,
                            const char* folder);

// Makes a pointer (a symbolic link) to `journal` in the state directory's
// "journals" folder, making the directories as needed, and flushes it to
// disk. Returns its path, or empty when it could not be made: the
// installation goes on without it.
std::string MakeJournalPointer(SystemApi& sys, const std::string& journal);

// Removes the pointer `pointer` that MakeJournalPointer made, trying once
// more after a failure that may pass, and then its folder and the state
// directory when they are left empty (RemoveEmptyStateFolder).
void RemoveJournalPointer(SystemApi& sys, const std::string& pointer);

#endif  // ENGINE_STATE_DIRECTORY_H_
