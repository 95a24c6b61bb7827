// The compiled-in texts of the user interface: sixteen languages, each with
// the same 54 IDS keys ("IDS_WIZARD_NEXT", "IDR_MAINFRAME" for the window
// title, ...). The tables are built during static initialisation, before any
// other static object of the program, and never change afterwards.
//
// The entry chooses the language once with SetCurrentLanguage, before a second
// thread exists; from then on any thread may call Lookup and FindLanguage
// without a lock. There is no fallback: a missing key or language yields an
// empty text.
#ifndef L10N_STRING_TABLE_H_
#define L10N_STRING_TABLE_H_

#include <vector>

#include "text/wide_string.h"

// Names a user-interface language, 1 to 16; 0 means none.
using LanguageId = int;

inline constexpr LanguageId kLanguageNone = 0;
inline constexpr LanguageId kLanguageRussian = 1;
inline constexpr LanguageId kLanguageUkrainian = 2;
inline constexpr LanguageId kLanguageEnglish = 3;  // the default
inline constexpr LanguageId kLanguageLatvian = 4;
inline constexpr LanguageId kLanguageLithuanian = 5;
inline constexpr LanguageId kLanguageBulgarian = 6;
inline constexpr LanguageId kLanguageGerman = 7;
inline constexpr LanguageId kLanguageRomanian = 8;
inline constexpr LanguageId kLanguageGeorgian = 9;
inline constexpr LanguageId kLanguageKazakh = 10;
inline constexpr LanguageId kLanguageVietnamese = 11;
inline constexpr LanguageId kLanguageTurkish = 12;
inline constexpr LanguageId kLanguageGreek = 13;
inline constexpr LanguageId kLanguageSpanish = 14;
inline constexpr LanguageId kLanguageArmenian = 15;
inline constexpr LanguageId kLanguageItalian = 16;

class StringTable {
 public:
  struct Language {
    LanguageId id;
    NarrowString code;  // two lower-case ASCII letters, e.g. "en"
  };

  StringTable() = delete;

  // The text of `key` (exact, case-sensitive) in the current language,
  // decoded from UTF-8 through ToWide. Empty when no language is set, the
  // current language does not exist or it has no such key.
  static WideString Lookup(const NarrowString& key);
  // The same in the language `id`, whatever the current one is.
  static WideString LookupIn(LanguageId id, const NarrowString& key);

  // The id of the language whose code equals `code` byte for byte (so "EN"
  // and "eng" match nothing); kLanguageNone if there is none.
  static LanguageId FindLanguage(const NarrowString& code);

  // Makes `id` the language of every later Lookup. Stored without checking:
  // an unknown id makes every lookup empty.
  static void SetCurrentLanguage(LanguageId id);
  static LanguageId CurrentLanguage();

  // Every language, in increasing id.
  static std::vector<Language> Languages();
};

#endif  // L10N_STRING_TABLE_H_
