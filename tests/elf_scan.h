// Reads what an ELF executable asks the dynamic linker for (the undefined
// symbols of its dynamic symbol table) and whether a text occurs in the
// bytes it loads (its allocated sections; debug information is left out).
// Parsed here, with no other tool, for 64-bit little-endian files.
#ifndef TESTS_ELF_SCAN_H_
#define TESTS_ELF_SCAN_H_

#include <set>
#include <string>
#include <vector>

struct ElfScan {
  std::string error;  // empty when the file was read
  std::set<std::string> imports;
  // Names of the allocated sections that contain the searched-for text.
  std::vector<std::string> sections_with_text;
};

ElfScan ScanElf(const std::string& path, const std::string& text);

#endif  // TESTS_ELF_SCAN_H_
