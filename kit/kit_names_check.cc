#include "kit/kit_names_check.h"

#include <algorithm>
#include <cstdio>
#include <unordered_map>
#include <utility>
#include <vector>

#include "text/path_utils.h"
#include "text/text_conversion.h"

namespace {

bool IsHigh(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLow(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }
bool IsByteUnit(char16_t unit) { return unit >= 0xDC80 && unit <= 0xDCFF; }

// Units in `name` from `i` that make one character: 2 for a pair, else 1.
uint32_t CharacterLength(const WideString& name, uint32_t i) {
  return IsHigh(name[i]) && i + 1 < name.length() && IsLow(name[i + 1]) ? 2
                                                                         : 1;
}

bool IsLoneSurrogate(const WideString& name, uint32_t i) {
  const char16_t unit = name[i];
  return (IsHigh(unit) || IsLow(unit)) && !IsByteUnit(unit) &&
         CharacterLength(name, i) == 1;
}

bool HasLoneSurrogate(const WideString& name) {
  for (uint32_t i = 0; i < name.length(); i += CharacterLength(name, i)) {
    if (IsLoneSurrogate(name, i)) return true;
  }
  return false;
}

WideString Slashed(const WideString& name) {
  WideString slashed = name;
  ToSlashes(slashed);
  return slashed;
}

// The refusal of one name on its own (kind, problem, path), or false when
// it can be installed; then *relative is its normalised path in the
// locale's encoding.
bool RefuseOnItsOwn(const WideString& name, NameRefusal* refusal,
                    std::string* relative) {
  refusal->problem = CheckEntryName(name);
  if (refusal->problem != EntryNameProblem::kNone) {
    refusal->kind = NameRefusal::Kind::kInvalid;
  } else if (HasLoneSurrogate(name)) {
    refusal->kind = NameRefusal::Kind::kLoneSurrogate;
  } else if (Utf8ToWide(WideToUtf8(name)) != name) {
    refusal->kind = NameRefusal::Kind::kNotText;
  } else {
    NarrowString narrow;
    if (!ToNarrowExact(Slashed(name), &narrow)) {
      refusal->kind = NameRefusal::Kind::kLocaleEncoding;
    } else {
      const std::string encoded(narrow.c_str(), narrow.length());
      // The locale's bytes may be more than UTF-8's.
      refusal->problem = CheckEntryPath(encoded);
      if (refusal->problem == EntryNameProblem::kNone) {
        *relative = NormalisedEntryPath(encoded);
        return false;
      }
      refusal->kind = NameRefusal::Kind::kInvalid;
    }
  }
  refusal->path = ShownEntryPath(name);
  return true;
}

struct Pair {
  uint32_t earlier;
  uint32_t later;
  bool twice;  // else a file and a directory
};

// What the second and third walks find: the pairs whose hashes meet, and
// the normalised paths of their entries.
class PairFinder {
 public:
  PairFinder(uint32_t count, const NameWalk& walk) : walk_(walk) {
    accepted_.resize(count);
  }

  void Accept(uint32_t index, const std::string& relative) {
    accepted_[index] = true;
    files_.Add(index, relative);
  }

  // The confirmed pairs, by later entry.
  Status Find(std::vector<NameRefusal>* found) {
    for (const auto& [first, second] : files_.Candidates()) {
      pairs_.push_back(Pair{first, second, true});
    }
    TQ_RETURN_IF_ERROR(walk_([this](uint32_t index, const WideString& name) {
      if (index < accepted_.size() && accepted_[index]) {
        ProbeDirectories(index, RelativeOf(name));
      }
      return Status::Ok();
    }));
    if (pairs_.empty()) return Status::Ok();
    for (const Pair& pair : pairs_) {
      paths_.emplace(pair.earlier, std::string());
      paths_.emplace(pair.later, std::string());
    }
    TQ_RETURN_IF_ERROR(walk_([this](uint32_t index, const WideString& name) {
      auto it = paths_.find(index);
      if (it != paths_.end()) it->second = RelativeOf(name);
      return Status::Ok();
    }));
    Confirm(found);
    return Status::Ok();
  }

 private:
  static std::string RelativeOf(const WideString& name) {
    NarrowString narrow;
    ToNarrowExact(Slashed(name), &narrow);
    return NormalisedEntryPath(std::string_view(narrow.c_str(),
                                                narrow.length()));
  }

  // Every directory that `relative` needs, looked up among the files.
  void ProbeDirectories(uint32_t index, const std::string& relative) {
    uint64_t hash = kEntryPathHashSeed;
    size_t done = 0;
    for (size_t slash = relative.find('/'); slash != std::string::npos;
         slash = relative.find('/', slash + 1)) {
      hash = HashEntryPath(
          std::string_view(relative).substr(done, slash - done), hash);
      done = slash;
      std::vector<uint32_t> files;
      files_.AppendIndicesWithHash(hash, &files);
      for (const uint32_t file : files) {
        if (file == index) continue;
        pairs_.push_back(Pair{std::min(file, index), std::max(file, index),
                              false});
        file_of_[pairs_.size() - 1] = file;
      }
    }
  }

  void Confirm(std::vector<NameRefusal>* found) {
    for (size_t i = 0; i < pairs_.size(); ++i) {
      const Pair& pair = pairs_[i];
      NameRefusal refusal;
      refusal.index = pair.later;
      refusal.other = pair.earlier;
      if (pair.twice) {
        if (paths_[pair.earlier] != paths_[pair.later]) continue;
        refusal.kind = NameRefusal::Kind::kTwice;
        refusal.path = paths_[pair.later];
      } else {
        const uint32_t file = file_of_[i];
        const uint32_t needs = file == pair.later ? pair.earlier : pair.later;
        const std::string& file_path = paths_[file];
        if (paths_[needs].compare(0, file_path.size() + 1, file_path + "/") !=
            0) {
          continue;
        }
        refusal.kind = NameRefusal::Kind::kFileAndDirectory;
        refusal.path = file_path;
      }
      found->push_back(std::move(refusal));
    }
    std::stable_sort(found->begin(), found->end(),
                     [](const NameRefusal& a, const NameRefusal& b) {
                       return a.index != b.index ? a.index < b.index
                                                 : a.other < b.other;
                     });
  }

  const NameWalk& walk_;
  std::vector<bool> accepted_;
  DuplicateNameFinder files_;
  std::vector<Pair> pairs_;
  // For a file-and-directory pair (by its place in pairs_): the file.
  std::unordered_map<size_t, uint32_t> file_of_;
  std::unordered_map<uint32_t, std::string> paths_;
};

}  // namespace

std::string ShownEntryPath(const WideString& name) {
  const WideString slashed = Slashed(name);
  std::string shown;
  for (uint32_t i = 0; i < slashed.length();) {
    const uint32_t length = CharacterLength(slashed, i);
    NarrowString bytes;
    // A unit that stands for a byte is shown as itself: bytes side by side
    // could spell a character that is not there.
    if (!IsLoneSurrogate(slashed, i) && !IsByteUnit(slashed[i]) &&
        ToNarrowExact(WideString(slashed.c_str() + i, length), &bytes)) {
      shown.append(bytes.c_str(), bytes.length());
    } else {
      for (uint32_t j = i; j < i + length; ++j) {
        char escape[8];
        std::snprintf(escape, sizeof(escape), "\\u%04X",
                      static_cast<unsigned>(slashed[j]));
        shown += escape;
      }
    }
    i += length;
  }
  return shown;
}

Status CheckKitNames(uint32_t count, const NameWalk& walk,
                     const std::function<bool(const NameRefusal&)>& refused) {
  PairFinder pairs(count, walk);
  bool stopped = false;
  Status walked = walk([&](uint32_t index, const WideString& name) {
    NameRefusal refusal;
    std::string relative;
    if (RefuseOnItsOwn(name, &refusal, &relative)) {
      refusal.index = index;
      stopped = !refused(refusal);
      return stopped ? Status::Of(Status::Kind::kCancelled) : Status::Ok();
    }
    if (index < count) pairs.Accept(index, relative);
    return Status::Ok();
  });
  // A stop is no failure of the walk: the refusal has been told.
  if (stopped) return Status::Ok();
  TQ_RETURN_IF_ERROR(walked);
  std::vector<NameRefusal> found;
  TQ_RETURN_IF_ERROR(pairs.Find(&found));
  for (const NameRefusal& refusal : found) {
    if (!refused(refusal)) break;
  }
  return Status::Ok();
}
