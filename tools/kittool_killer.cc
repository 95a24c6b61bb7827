// kittool for the kill tests: "kittool_killer --kill-at K --kill-before|
// --kill-after [--count-to FILE] extract KIT DIR" runs the real command and
// kills itself with SIGKILL at the K-th call that changes the disk (see
// tools/kill_hook.h). Built for the tests only.
#include <clocale>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "tools/kill_hook.h"
#include "tools/kittool_lib.h"

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string error;
  const std::unique_ptr<KillingSystem> sys = TakeKillOptions(&args, &error);
  if (sys == nullptr) {
    std::cerr << error << "\n";
    return kExitUsage;
  }
  // The reports go to the streams, not through the seam: only the
  // installation's own calls are counted.
  const int status = KittoolMain(*sys, args, std::cout, std::cerr);
  sys->WriteCount();
  return status;
}
