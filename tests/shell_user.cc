// The negative control of the import scan: a program that does use a shell
// (system, popen and the text "/bin/sh"), which the scan must flag. Its
// buffer and formatted copy are what a stack protector and fortify would
// guard, for the hardening check's control. Never run by the tests; only
// read.
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc > 1) {
    if (std::system(argv[1]) != 0) return 1;
    if (FILE* pipe = popen(argv[1], "r")) pclose(pipe);
    char line[64];
    std::snprintf(line, sizeof(line), "%s: /bin/sh", argv[1]);
    std::puts(line);
  }
  return 0;
}
