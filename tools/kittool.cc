// kittool: packs, lists and verifies kits for the installer. See
// tools/kittool_lib.h for the commands.
#include <unistd.h>

#include <clocale>
#include <iostream>
#include <ostream>
#include <string>
#include <vector>

#include "tools/kittool_lib.h"

int main(int argc, char** argv) {
  // Arguments and file names are in the locale's encoding.
  std::setlocale(LC_ALL, "");
  // Not std::cout: its stdio buffer would lose the reason of a write that
  // failed long before the last flush.
  DescriptorOutput buffer(STDOUT_FILENO);
  std::ostream out(&buffer);
  return KittoolMain(std::vector<std::string>(argv + 1, argv + argc), out,
                     std::cerr);
}
