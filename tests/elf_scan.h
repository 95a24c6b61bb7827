// Reads what an ELF executable asks the dynamic linker for (the undefined
// symbols of its dynamic symbol table), whether a text occurs in the bytes
// it loads (its allocated sections; debug information is left out), and how
// it is laid out for the loader: position-independent, with relocations
// made read-only after start, all bound at start. Parsed here, with no
// other tool, for 64-bit little-endian files.
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
  bool pie = false;       // a position-independent executable
  bool relro = false;     // a PT_GNU_RELRO segment
  bool bind_now = false;  // every symbol bound before main (DT_BIND_NOW)
};

ElfScan ScanElf(const std::string& path, const std::string& text);

#endif  // TESTS_ELF_SCAN_H_
