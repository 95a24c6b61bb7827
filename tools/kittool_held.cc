// kittool for the tests of extract: "kittool_held --hold-at N extract KIT DIR"
// runs the real command, but the job stops after posting entry N (0-based)
// and waits there until it has been asked to stop, so that a test can send
// a signal while an installation is known to be half done.
#include <chrono>
#include <clocale>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "platform/system_api.h"
#include "tools/kittool_lib.h"

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() < 2 || args[0] != "--hold-at") {
    std::cerr << "usage: kittool_held --hold-at N COMMAND...\n";
    return kExitUsage;
  }
  const int hold_at = std::atoi(args[1].c_str());
  args.erase(args.begin(), args.begin() + 2);
  int posts = 0;
  const ExtractAfterPost hold = [&](const ChannelState& state,
                                    const std::function<bool()>& cancelled) {
    if (state.state != JobState::kRunning || posts++ != hold_at) return;
    while (!cancelled()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  };
  return KittoolMain(RealSystem(), args, std::cout, std::cerr, hold);
}
