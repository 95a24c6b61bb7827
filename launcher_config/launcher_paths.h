// Where the desktop launcher keeps its configuration files ("tqlaunch.cfg")
// and where the per-user kit directory lies, all below the user's home
// directory. Every path is built afresh at each call by plain concatenation,
// so a changed environment is seen at once; nothing is cached.
//
// Any thread may call these; they only read the environment and the
// password database.

#ifndef LAUNCHER_CONFIG_LAUNCHER_PATHS_H_
#define LAUNCHER_CONFIG_LAUNCHER_PATHS_H_

#include "text/wide_string.h"

// The user's home directory (platform/home_directory.h: the environment's
// HOME, taken literally, else the password database); empty when both fail,
// so that every path below then starts at the root.
WideString HomeDirectory();

// HomeDirectory() + "/.tqkt/".
WideString KitUserDirectory();
// HomeDirectory() + "/.Tq/tqlaunch".
WideString UserLauncherDirectory();
// UserLauncherDirectory() + "/tqlaunch.cfg".
WideString UserConfigPath();
// KitUserDirectory() + "/.Tq/tqlaunch": the doubled slash is kept, as the
// launcher has always spelled this path.
WideString KitUserLauncherDirectory();
// KitUserLauncherDirectory() + "/tqlaunch.cfg".
WideString KitUserConfigPath();
// HomeDirectory() + "/.Tq/tqlauncht": the common configuration's directory,
// one "t" longer than the user's.
WideString CommonLauncherDirectory();
// CommonLauncherDirectory() + "/tqlaunch.cfg".
WideString CommonConfigPath();

#endif  // LAUNCHER_CONFIG_LAUNCHER_PATHS_H_
