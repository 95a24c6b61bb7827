// Process entry of the installer: a help switch only prints the usage text,
// --version only the version; otherwise thread support first, then the
// recovery of installations interrupted earlier, then the application object
// (command line, language, title), then the dialog, which runs the whole
// installation (app/setup_main.cc). The exit status says how it ended: 0
// installed, 1 failed (or no display for an interactive run), 2 cancelled or
// closed before the end.
#include "app/setup_main.h"

int main(int argc, char** argv) { return SetupMain(argc, argv); }
