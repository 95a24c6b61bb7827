// kittool for the tests of extract: "kittool_held --hold-at N extract KIT DIR"
// runs the real command, but the job stops after posting entry N (0-based)
// and waits there until it has been asked to stop, so that a test can send
// a signal while an installation is known to be half done.
// "kittool_held --slow-reads NAME pack ..." runs pack with every read of a
// file whose path ends in NAME taking 200 ms longer, so that a test can
// send a signal while the kit is being written.
#include <chrono>
#include <clocale>
#include <cstdlib>
#include <iostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/forwarding_system.h"
#include "platform/system_api.h"
#include "tools/kittool_lib.h"

namespace {

class SlowReads : public ForwardingSystem {
 public:
  explicit SlowReads(std::string name) : name_(std::move(name)) {}
  int Open(const char* path, int flags, mode_t mode) override {
    const int fd = ForwardingSystem::Open(path, flags, mode);
    const std::string opened = path;
    if (fd >= 0 && opened.size() >= name_.size() &&
        opened.compare(opened.size() - name_.size(), name_.size(), name_) ==
            0) {
      slow_.insert(fd);
    }
    return fd;
  }
  ssize_t Read(int fd, void* buffer, size_t count) override {
    if (slow_.count(fd) != 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return ForwardingSystem::Read(fd, buffer, count);
  }
  int Close(int fd) override {
    slow_.erase(fd);
    return ForwardingSystem::Close(fd);
  }

 private:
  std::string name_;
  std::set<int> slow_;
};

}  // namespace

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() >= 2 && args[0] == "--slow-reads") {
    SlowReads slow(args[1]);
    args.erase(args.begin(), args.begin() + 2);
    return KittoolMain(slow, args, std::cout, std::cerr);
  }
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
