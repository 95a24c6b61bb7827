// The installer's whole run, from the process entry on: app/main.cc calls
// it, and so does the kill tests' variant of the installer, which puts its
// test seam in force first. Returns the exit status (0 installed, 1 failed
// or no display for an interactive run, 2 cancelled or closed early). A help
// switch only prints the usage text to standard output and returns 0 (1
// when it could not be written).
#ifndef APP_SETUP_MAIN_H_
#define APP_SETUP_MAIN_H_

int SetupMain(int argc, char** argv);

#endif  // APP_SETUP_MAIN_H_
