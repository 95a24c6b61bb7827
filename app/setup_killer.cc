// The installer for the kill tests: "setup_killer [--kill-at K]
// [--kill-before|--kill-after] [--count-to FILE] SETUP-ARGS..." runs the
// real installer and kills itself with SIGKILL at the K-th call that changes
// the disk (see tools/kill_hook.h). Built for the tests only; the shipped
// setup has no such switch.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/setup_main.h"
#include "tools/kill_hook.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string error;
  const std::unique_ptr<KillingSystem> sys = TakeKillOptions(&args, &error);
  if (sys == nullptr) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 2;
  }
  std::vector<char*> setup_argv = {argv[0]};
  for (std::string& arg : args) setup_argv.push_back(arg.data());
  setup_argv.push_back(nullptr);
  const int status = SetupMain(*sys, static_cast<int>(setup_argv.size() - 1),
                               setup_argv.data());
  sys->WriteCount();
  return status;
}
