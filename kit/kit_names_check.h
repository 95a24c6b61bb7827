// The one check of a kit's names before anything is installed: the engine
// (engine/install_engine.cc) stops at its first refusal, kittool verify
// reports every one. A name is refused when it cannot be installed in this
// process's locale, each entry to a file of its own:
// - it is no valid entry name (CheckEntryName: control characters, no
//   component, a trailing separator, "." or "..", lengths in UTF-8);
// - it holds a UTF-16 surrogate without its pair: no encoding spells it,
//   so no locale installs it. U+DC80..U+DCFF are not counted: they stand
//   for a byte of a name that was not valid text (text/text_conversion.h);
// - those bytes would read back as other characters even in UTF-8, so
//   that two names could become one: no locale installs it either;
// - the locale's file-name encoding has no exact form of it (which a UTF-8
//   locale then has), or that form fails CheckEntryPath;
// - it installs to the same file as an earlier entry, or one entry needs as
//   a file what another needs as a directory ("a" and "a\\b.txt").
//
// Memory stays flat in the names' length: 16 bytes and a bit an entry, and
// the names of entries whose hashes meet, which are read again to confirm.
// Any thread; nothing is shared.
#ifndef KIT_KIT_NAMES_CHECK_H_
#define KIT_KIT_NAMES_CHECK_H_

#include <cstdint>
#include <functional>
#include <string>

#include "kit/entry_names.h"
#include "platform/status.h"
#include "text/wide_string.h"

struct NameRefusal {
  enum class Kind {
    kInvalid,           // `problem` says how
    kLoneSurrogate,     // a surrogate without its pair
    kNotText,           // bytes that read back as other text in any locale
    kLocaleEncoding,    // this locale's encoding cannot spell it exactly
    kTwice,             // installs to the file that entry `other` installs to
    kFileAndDirectory,  // entry `other` needs `path` as a file, this entry
                        // as a directory (or the reverse)
  };
  Kind kind = Kind::kInvalid;
  EntryNameProblem problem = EntryNameProblem::kNone;
  uint32_t index = 0;  // the entry refused (of a pair, the later one)
  uint32_t other = 0;  // of a pair, the earlier entry
  // Where it goes wrong, below the target, in the locale's encoding with
  // "/" separators, as ShownEntryPath gives it. A pair names the file both
  // need (normalised).
  std::string path;
};

// Calls `visit` for every entry's name in table order, stopping at and
// returning the first failure it returns (or its own, reading the table).
using NameVisit = std::function<Status(uint32_t index, const WideString& name)>;
using NameWalk = std::function<Status(const NameVisit& visit)>;

// Checks the `count` names that `walk` visits (it is walked two or three
// times) and calls `refused` for each refusal: an entry's own refusals in
// table order, then pairs by their later entry. `refused` returns false to
// stop the check. Returns the first failure of `walk`, else ok.
Status CheckKitNames(uint32_t count, const NameWalk& walk,
                     const std::function<bool(const NameRefusal&)>& refused);

// The name as the locale spells it with "/" separators, for a report: what
// the encoding cannot hold exactly, lone surrogates and units that stand
// for bytes as "\uXXXX".
std::string ShownEntryPath(const WideString& name);

#endif  // KIT_KIT_NAMES_CHECK_H_
