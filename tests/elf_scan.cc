#include "tests/elf_scan.h"

#include <elf.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string_view>

namespace {

// The bytes [offset, offset + size) of `file`, or false when they are not
// all there.
bool InFile(const std::string& file, uint64_t offset, uint64_t size) {
  return offset <= file.size() && size <= file.size() - offset;
}

}  // namespace

ElfScan ScanElf(const std::string& path, const std::string& text) {
  ElfScan scan;
  std::ifstream in(path, std::ios::binary);
  const std::string file((std::istreambuf_iterator<char>(in)),
                         std::istreambuf_iterator<char>());
  Elf64_Ehdr header;
  if (file.size() < sizeof(header)) {
    scan.error = "not an ELF file: " + path;
    return scan;
  }
  std::memcpy(&header, file.data(), sizeof(header));
  if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
      header.e_ident[EI_CLASS] != ELFCLASS64 ||
      header.e_ident[EI_DATA] != ELFDATA2LSB ||
      header.e_shentsize != sizeof(Elf64_Shdr) ||
      !InFile(file, header.e_shoff,
              uint64_t{header.e_shnum} * sizeof(Elf64_Shdr))) {
    scan.error = "not a 64-bit little-endian ELF file: " + path;
    return scan;
  }
  std::vector<Elf64_Shdr> sections(header.e_shnum);
  std::memcpy(sections.data(), file.data() + header.e_shoff,
              sections.size() * sizeof(Elf64_Shdr));
  const Elf64_Shdr* names = header.e_shstrndx < sections.size()
                                ? &sections[header.e_shstrndx]
                                : nullptr;
  auto string_at = [&](const Elf64_Shdr& table, uint64_t index) {
    if (index >= table.sh_size || !InFile(file, table.sh_offset, table.sh_size))
      return std::string();
    const char* start = file.data() + table.sh_offset + index;
    return std::string(start, strnlen(start, table.sh_size - index));
  };
  if (header.e_phentsize == sizeof(Elf64_Phdr) &&
      InFile(file, header.e_phoff,
             uint64_t{header.e_phnum} * sizeof(Elf64_Phdr))) {
    for (uint64_t i = 0; i < header.e_phnum; ++i) {
      Elf64_Phdr segment;
      std::memcpy(&segment, file.data() + header.e_phoff + i * sizeof(segment),
                  sizeof(segment));
      if (segment.p_type == PT_GNU_RELRO) scan.relro = true;
    }
  }
  bool pie_flag = false;
  bool found_dynsym = false;
  for (const Elf64_Shdr& section : sections) {
    if (section.sh_type == SHT_DYNAMIC &&
        InFile(file, section.sh_offset, section.sh_size)) {
      for (uint64_t at = 0; at + sizeof(Elf64_Dyn) <= section.sh_size;
           at += sizeof(Elf64_Dyn)) {
        Elf64_Dyn entry;
        std::memcpy(&entry, file.data() + section.sh_offset + at,
                    sizeof(entry));
        // The linker says "now" in any of three ways.
        if (entry.d_tag == DT_BIND_NOW ||
            (entry.d_tag == DT_FLAGS && (entry.d_un.d_val & DF_BIND_NOW)) ||
            (entry.d_tag == DT_FLAGS_1 && (entry.d_un.d_val & DF_1_NOW))) {
          scan.bind_now = true;
        }
        if (entry.d_tag == DT_FLAGS_1 && (entry.d_un.d_val & DF_1_PIE)) {
          pie_flag = true;
        }
      }
    }
    if (section.sh_type == SHT_DYNSYM && section.sh_link < sections.size() &&
        InFile(file, section.sh_offset, section.sh_size)) {
      found_dynsym = true;
      const Elf64_Shdr& strings = sections[section.sh_link];
      for (uint64_t at = 0; at + sizeof(Elf64_Sym) <= section.sh_size;
           at += sizeof(Elf64_Sym)) {
        Elf64_Sym symbol;
        std::memcpy(&symbol, file.data() + section.sh_offset + at,
                    sizeof(symbol));
        if (symbol.st_shndx != SHN_UNDEF || symbol.st_name == 0) continue;
        scan.imports.insert(string_at(strings, symbol.st_name));
      }
    }
    if ((section.sh_flags & SHF_ALLOC) != 0 && section.sh_type != SHT_NOBITS &&
        InFile(file, section.sh_offset, section.sh_size) &&
        std::string_view(file.data() + section.sh_offset, section.sh_size)
                .find(text) != std::string_view::npos) {
      scan.sections_with_text.push_back(
          names != nullptr ? string_at(*names, section.sh_name) : "?");
    }
  }
  // A shared library is ET_DYN too; only an executable says PIE.
  scan.pie = header.e_type == ET_DYN && pie_flag;
  if (!found_dynsym) scan.error = "no dynamic symbol table: " + path;
  return scan;
}
