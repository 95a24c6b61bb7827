// Where the desktop launcher keeps its configuration files ("tqlaunch.cfg")
// and where the per-user kit directory lies, all below the user's home
// directory. Every path is built afresh at each call by plain concatenation,
// so a changed environment is seen at once; nothing is cached.
//
// Called on the GTK main thread only (wordexp and the password database
// lookup are not meant to run on several threads at once).
#ifndef LAUNCHER_CONFIG_LAUNCHER_PATHS_H_
#define LAUNCHER_CONFIG_LAUNCHER_PATHS_H_

#include "text/wide_string.h"

// The expansion of "~" (the environment's HOME, taken literally; the
// password database when HOME is unset). Command substitution is never
// performed. When the expansion fails or gives nothing, the home directory of
// the real user from the password database; empty when that fails too, so
// that every path below then starts at the root.
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
