// The negative control of the import scan: a program that does use a shell
// (system, popen and the text "/bin/sh"), which the scan must flag. Never
// run by the tests; only read.
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc > 1) {
    if (std::system(argv[1]) != 0) return 1;
    if (FILE* pipe = popen(argv[1], "r")) pclose(pipe);
    std::puts("/bin/sh");
  }
  return 0;
}
