// kittool: packs, lists, verifies and extracts kits for the installer. See
// tools/kittool_lib.h for the commands.
#include <unistd.h>

#include <clocale>
#include <iostream>
#include <ostream>
#include <string>
#include <vector>

#include "platform/system_api.h"
#include "tools/kittool_lib.h"

int main(int argc, char** argv) {
  // Arguments and file names are in the locale's encoding.
  std::setlocale(LC_ALL, "");
  SystemApi& sys = RealSystem();
  DescriptorOutput buffer(sys, STDOUT_FILENO);
  std::ostream out(&buffer);
  return KittoolMain(sys, std::vector<std::string>(argv + 1, argv + argc), out,
                     std::cerr);
}
