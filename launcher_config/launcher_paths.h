// Where the desktop launcher keeps its configuration files ("tqlaunch.cfg")
// and where the per-user kit directory lies, all below the user's home
// directory (platform/home_directory.h). Every path is built afresh at each
// call by plain concatenation, so a changed environment is seen at once;
// nothing is cached.
//
// Any thread may call these; they only read the environment and, through
// the SystemApi passed in, the password database.

#ifndef LAUNCHER_CONFIG_LAUNCHER_PATHS_H_
#define LAUNCHER_CONFIG_LAUNCHER_PATHS_H_

#include "text/wide_string.h"

class SystemApi;

// The user's home directory (UserHomeDirectory). Empty when it cannot be
// used, and so is every path below: none of them may then start at the
// root or at the current directory. Setup refuses to run without one.
WideString HomeDirectory(SystemApi& sys);

// HomeDirectory() + "/.tqkt/".
WideString KitUserDirectory(SystemApi& sys);
// HomeDirectory() + "/.Tq/tqlaunch".
WideString UserLauncherDirectory(SystemApi& sys);
// UserLauncherDirectory() + "/tqlaunch.cfg".
WideString UserConfigPath(SystemApi& sys);
// KitUserDirectory() + "/.Tq/tqlaunch": the doubled slash is kept, as the
// launcher has always spelled this path.
WideString KitUserLauncherDirectory(SystemApi& sys);
// KitUserLauncherDirectory() + "/tqlaunch.cfg".
WideString KitUserConfigPath(SystemApi& sys);
// HomeDirectory() + "/.Tq/tqlauncht": the common configuration's directory,
// one "t" longer than the user's.
WideString CommonLauncherDirectory(SystemApi& sys);
// CommonLauncherDirectory() + "/tqlaunch.cfg".
WideString CommonConfigPath(SystemApi& sys);

#endif  // LAUNCHER_CONFIG_LAUNCHER_PATHS_H_
