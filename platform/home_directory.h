// The user's home directory, the base of the installer's own files (the
// launcher configuration, the default template directory, the state
// directory): HOME when it is set and not empty, else the real user's home
// in the password database, as other desktop programs take it. HOME is the
// user's word and is never corrected or passed over: one that cannot be a
// base for files is refused, so that nothing lands in the current
// directory, at the root, or beside a name the user did not mean.
//
// Built afresh at each call, so a changed environment is seen at once. Any
// thread (the database is asked with the reentrant lookup, through the
// SystemApi passed in); it must not race with setenv.
#ifndef PLATFORM_HOME_DIRECTORY_H_
#define PLATFORM_HOME_DIRECTORY_H_

#include <string>

#include "platform/status.h"

class SystemApi;

// What keeps a directory named by the environment (HOME, XDG_STATE_HOME)
// from being a base for files.
enum class PathFault {
  kNone,
  kControlCharacter,  // a byte below 0x20, or 0x7f (a line feed, a tab, ...)
  kNotAbsolute,       // empty, or not starting with "/"
};
PathFault FaultOf(const std::string& path);

// Ok with the home directory in *home (as given, trailing slashes kept).
// kUnusableHome naming the value when HOME (or, without it, the database's
// home) has a PathFault, or when the database's home is "/" (an account
// without a home); kUnusableHome without a path and with the lookup's errno
// (ENOENT when the user has no entry) when HOME is unset or empty and the
// database cannot say. *home is empty on failure.
Status UserHomeDirectory(SystemApi& sys, std::string* home);
// UserHomeDirectory, and the home must be an existing directory: a home
// that is not there is never made (an account without one is for its
// administrator to see). kUnusableHome naming it with the errno otherwise
// (ENOTDIR for another file).
Status ExistingUserHome(SystemApi& sys, std::string* home);

#endif  // PLATFORM_HOME_DIRECTORY_H_
