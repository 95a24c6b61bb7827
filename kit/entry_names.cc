#include "kit/entry_names.h"

#include <algorithm>

#include "text/text_conversion.h"

namespace {

bool IsControl(char16_t unit) {
  return unit < 0x20 || (unit >= 0x7F && unit <= 0x9F);
}

}  // namespace

// FNV-1a: stable across runs and builds, so a report never depends on how
// the standard library hashes.
uint64_t HashEntryPath(std::string_view path, uint64_t seed) {
  uint64_t hash = seed;
  for (const char c : path) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001b3ULL;
  }
  return hash;
}

EntryNameProblem CheckEntryPath(std::string_view path) {
  bool any_component = false;
  bool dot = false;
  bool too_long = false;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view component = path.substr(start, end - start);
    if (!component.empty()) {
      any_component = true;
      if (component == "." || component == "..") dot = true;
      if (component.size() > kMaxComponentBytes) too_long = true;
    }
    start = end + 1;
  }
  if (!any_component) return EntryNameProblem::kEmpty;
  if (path.back() == '/') return EntryNameProblem::kTrailingSeparator;
  if (dot) return EntryNameProblem::kDotComponent;
  if (too_long) return EntryNameProblem::kComponentTooLong;
  if (path.size() >= kMaxPathBytes) return EntryNameProblem::kPathTooLong;
  return EntryNameProblem::kNone;
}

std::string EntryPathOf(const WideString& name) {
  const NarrowString utf8 = WideToUtf8(name);
  std::string path(utf8.c_str(), utf8.length());
  // No byte of a multi-byte UTF-8 sequence (nor an escaped byte, 0x80 and
  // up) is a backslash, so the bytes can be replaced after encoding.
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

EntryNameProblem CheckEntryName(const WideString& name) {
  const char16_t* units = name.c_str();
  for (uint32_t i = 0; i < name.length(); ++i) {
    if (IsControl(units[i])) return EntryNameProblem::kControlCharacter;
  }
  return CheckEntryPath(EntryPathOf(name));
}

const char* DescribeEntryNameProblem(EntryNameProblem problem) {
  switch (problem) {
    case EntryNameProblem::kNone:
      return "can be installed";
    case EntryNameProblem::kEmpty:
      return "is empty: it has no path component";
    case EntryNameProblem::kTrailingSeparator:
      return "ends in a separator, so it names a directory, not a file";
    case EntryNameProblem::kDotComponent:
      return "has a \".\" or \"..\" component";
    case EntryNameProblem::kComponentTooLong:
      return "has a component longer than 255 bytes";
    case EntryNameProblem::kPathTooLong:
      return "is 4096 bytes or longer";
    case EntryNameProblem::kControlCharacter:
      return "contains a control character";
  }
  return "is not a valid entry name";
}

std::string NormalisedEntryPath(std::string_view path) {
  std::string normalised;
  normalised.reserve(path.size());
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view component = path.substr(start, end - start);
    if (!component.empty() && component != ".") {
      if (!normalised.empty()) normalised += '/';
      normalised.append(component.data(), component.size());
    }
    start = end + 1;
  }
  return normalised;
}

void DuplicateNameFinder::Add(uint32_t index,
                              std::string_view normalised_path) {
  seen_.push_back(Seen{HashEntryPath(normalised_path), index});
}

std::vector<std::pair<uint32_t, uint32_t>> DuplicateNameFinder::Candidates() {
  static_assert(sizeof(Seen) == 16, "the memory promised per name");
  std::sort(seen_.begin(), seen_.end(), [](const Seen& a, const Seen& b) {
    return a.hash != b.hash ? a.hash < b.hash : a.index < b.index;
  });
  std::vector<std::pair<uint32_t, uint32_t>> pairs;
  for (size_t first = 0; first < seen_.size();) {
    size_t next = first + 1;
    for (; next < seen_.size() && seen_[next].hash == seen_[first].hash;
         ++next) {
      pairs.emplace_back(seen_[first].index, seen_[next].index);
    }
    first = next;
  }
  std::sort(pairs.begin(), pairs.end(),
            [](const std::pair<uint32_t, uint32_t>& a,
               const std::pair<uint32_t, uint32_t>& b) {
              return a.second < b.second;
            });
  return pairs;
}

void DuplicateNameFinder::AppendIndicesWithHash(
    uint64_t hash, std::vector<uint32_t>* indices) const {
  auto it = std::lower_bound(
      seen_.begin(), seen_.end(), hash,
      [](const Seen& seen, uint64_t value) { return seen.hash < value; });
  for (; it != seen_.end() && it->hash == hash; ++it) {
    indices->push_back(it->index);
  }
}
