// The user's state directory of the installer, "tqsetup" in the base
// directory for state: $XDG_STATE_HOME when it can be used, else
// ~/.local/state. It holds two folders: "journals", the pointers to the
// journals of running installations (engine/recovery.h), and "locks", the
// fallback lock files of the template directories (engine/target_lock.h).
// Without a pointer a killed installation is found only in its own
// temporary directory, so an installation that cannot make one must not
// begin (MakeJournalPointer fails). Earlier versions always used
// ~/.local/state/tqsetup; the recovery still looks there
// (HomeStateDirectory).
//
// Everything in it is ours: an entry that is not what we made there (a
// pointer that is no link, a lock file that is no regular file of this
// user's) is refused, never followed or opened so that it could block.
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

// Where pointers are looked for: $XDG_STATE_HOME/tqsetup when XDG_STATE_HOME
// is an absolute path without control characters (trailing slashes
// dropped), else HomeStateDirectory(). Empty when there is neither. It may
// be one that ChooseStateDirectory passes over (a recovery then finds
// nothing there).
std::string StateDirectory(SystemApi& sys);

// HOME + "/.local/state/tqsetup", whatever XDG_STATE_HOME says; empty when
// the home directory (platform/home_directory.h) cannot be used.
std::string HomeStateDirectory(SystemApi& sys);

// The state directory this run writes into: XDG_STATE_HOME's when that is
// set, not empty, and can hold the folders (an absolute path without control
// characters whose nearest existing level, following links, is a directory
// this process may write, so that the missing ones can be made), else the
// home's under the same test (the home directory itself must exist). Ok with
// its path in *directory; *passed_over (when given) says why XDG_STATE_HOME
// was not used: kNoStateDirectory naming its level at fault with the
// system's reason (ENOENT for a link that leads nowhere), or naming the
// value itself with no errno when it has a PathFault; ok when it was used
// or not set. On failure *directory is empty and the status is the home
// directory's (kUnusableHome) or kNoStateDirectory for the home's state
// directory, as above. Nothing is written.
Status ChooseStateDirectory(SystemApi& sys, std::string* directory,
                            Status* passed_over = nullptr);

// Makes ChooseStateDirectory() + "/" + `folder` and every missing level above
// it, each new one private (mode 0700); levels that exist keep their modes.
// Ok with the folder's path in *path; otherwise ChooseStateDirectory's
// failure or the failing call's reason. A failure with ENOENT may pass (a
// process that found the state directory empty removed it just then): the
// caller tries again.
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
// disk. Ok with its path in *pointer; otherwise why no pointer could be
// made: kUnusableHome, or kNoStateDirectory naming the place with the
// system's reason. The installation must then not begin.
Status MakeJournalPointer(SystemApi& sys, const std::string& journal,
                          std::string* pointer);

// Removes the pointer `pointer` that MakeJournalPointer made, trying once
// more after a failure that may pass, and then its folder and the state
// directory when they are left empty (RemoveEmptyStateFolder).
void RemoveJournalPointer(SystemApi& sys, const std::string& pointer);

#endif  // ENGINE_STATE_DIRECTORY_H_
