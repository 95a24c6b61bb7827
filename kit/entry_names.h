// Which entry names can be installed, and which two install to the same
// file. The one place that decides it: kittool's pack refuses such names,
// its verify reports them, and the installer asks CheckEntryPath of the
// locale-encoded path.
//
// An entry installs at the target directory + its name, with "\\" turned into
// "/". Empty components (a leading or doubled separator) have always been
// allowed by the kit format and add nothing to that path. What cannot be
// installed, or not without surprise:
// - a name with no component, or one that ends in a separator (it names a
//   directory, not a file);
// - a "." or ".." component ("." is harmless on disk, but two spellings of
//   one file then look different; ".." leaves the target);
// - a component over 255 bytes or a path of 4096 bytes or more, which the
//   system refuses (NAME_MAX, PATH_MAX);
// - control characters, which no vendor means and which fake lines and
//   colours on a terminal.
//
// Pure functions and a plain class; any thread, one thread per object.
#ifndef KIT_ENTRY_NAMES_H_
#define KIT_ENTRY_NAMES_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "text/wide_string.h"

enum class EntryNameProblem {
  kNone,
  kEmpty,              // no component at all ("", "\\", "\\\\")
  kTrailingSeparator,  // "a\\": names a directory, not a file
  kDotComponent,       // a "." or ".." component
  kComponentTooLong,   // a component over kMaxComponentBytes
  kPathTooLong,        // the whole relative path kMaxPathBytes or more
  kControlCharacter,   // U+0000..U+001F, U+007F, U+0080..U+009F
};

inline constexpr size_t kMaxComponentBytes = 255;
inline constexpr size_t kMaxPathBytes = 4096;  // the path must stay below

// The problem of `path`, a relative path in bytes of any encoding with "/"
// separators (the engine passes the locale-encoded form). Byte-level checks
// only; no control-character check here. The length limit counts the path as
// given, leading and doubled separators included. Where a path has several
// problems, the first in the enum's order is returned.
EntryNameProblem CheckEntryPath(std::string_view path);

// The problem of a kit entry name (UTF-16, "\\" or "/" separators): control
// characters first, then CheckEntryPath of its UTF-8 form, so that lengths
// are counted in UTF-8 bytes and the answer does not depend on the locale.
EntryNameProblem CheckEntryName(const WideString& name);

// The UTF-8 form of a kit entry name with every "\\" turned into "/": what
// CheckEntryName checks and NormalisedEntryPath takes.
std::string EntryPathOf(const WideString& name);

// An English phrase for reports that follows the name, e.g. "has a component
// longer than 255 bytes". Never null.
const char* DescribeEntryNameProblem(EntryNameProblem problem);

// `path` ("/" separators) with empty and "." components dropped and the rest
// joined by "/": two names that install to the same file have the same
// normalised form. ".." components are kept.
std::string NormalisedEntryPath(std::string_view path);

// The hash DuplicateNameFinder keeps of a path: FNV-1a over its bytes,
// continued from `seed` (the hash of what came before), so that the hash of
// every prefix of a path is found in one pass over it.
inline constexpr uint64_t kEntryPathHashSeed = 0xcbf29ce484222325ULL;
uint64_t HashEntryPath(std::string_view path,
                       uint64_t seed = kEntryPathHashSeed);

// Finds names given twice with memory flat in the name lengths: it keeps a
// 64-bit hash and the index per name (16 bytes an entry), so 100,000 entries
// cost about 1.6 MB, freed with the object. Comparison is byte-wise, so case
// matters.
class DuplicateNameFinder {
 public:
  // Room for `count` names at once: no growth by doubling, whose peak
  // would be three times the names' size.
  void Reserve(size_t count) { seen_.reserve(count); }
  void Add(uint32_t index, std::string_view normalised_path);

  // Pairs (earlier index, later index) whose hashes are equal, sorted by the
  // later index; each later index is paired once, with the earliest index of
  // its hash. The caller confirms each pair by comparing the two names, since
  // a hash collision is possible. A name whose earliest hash-mate is such a
  // collision is not paired with its real twin; with n names the odds of any
  // collision are about n * n / 2^65.
  std::vector<std::pair<uint32_t, uint32_t>> Candidates();

  // After Candidates: appends the indices added with a path of hash `hash`
  // (HashEntryPath) to *indices, earliest first.
  void AppendIndicesWithHash(uint64_t hash,
                             std::vector<uint32_t>* indices) const;

 private:
  struct Seen {
    uint64_t hash;
    uint32_t index;
  };
  std::vector<Seen> seen_;
};

#endif  // KIT_ENTRY_NAMES_H_
