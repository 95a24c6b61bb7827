// The installer's whole run, from the process entry on: app/main.cc calls
// it with the real system, and the kill tests' variant of the installer
// with a seam that kills the process at a chosen call. It recovers
// interrupted installations, chooses the language, and runs the wizard, or
// without a display a silent run's console face (app/setup_console.h).
// Returns the exit status (0 installed, 1 failed or no display for an
// interactive run, 2 cancelled or closed early). A help switch only prints
// the usage text to standard output and returns 0 (1 when it could not be
// written).
#ifndef APP_SETUP_MAIN_H_
#define APP_SETUP_MAIN_H_

class SystemApi;

int SetupMain(SystemApi& sys, int argc, char** argv);

#endif  // APP_SETUP_MAIN_H_
