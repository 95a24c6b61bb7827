// kittool: packs, lists and verifies kits for the installer. See
// tools/kittool_lib.h for the commands.
#include <clocale>
#include <iostream>
#include <string>
#include <vector>

#include "tools/kittool_lib.h"

int main(int argc, char** argv) {
  // Arguments and file names are in the locale's encoding.
  std::setlocale(LC_ALL, "");
  return KittoolMain(std::vector<std::string>(argv + 1, argv + argc), std::cout,
                     std::cerr);
}
