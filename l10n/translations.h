// The translated texts of the user interface: one constant array per
// language, each holding the same 54 (IDS key, UTF-8 text) pairs in the same
// order. The arrays are constant-initialised data, so the string table may
// read them from its own static initialiser. Only the string table uses them.
#ifndef L10N_TRANSLATIONS_H_
#define L10N_TRANSLATIONS_H_

struct TranslatedText {
  const char* key;   // ASCII IDS key, e.g. "IDS_WIZARD_NEXT"
  const char* text;  // UTF-8
};

inline constexpr int kTranslatedKeyCount = 57;

extern const TranslatedText kTextsRu[kTranslatedKeyCount];
extern const TranslatedText kTextsUk[kTranslatedKeyCount];
extern const TranslatedText kTextsEn[kTranslatedKeyCount];
extern const TranslatedText kTextsLv[kTranslatedKeyCount];
extern const TranslatedText kTextsLt[kTranslatedKeyCount];
extern const TranslatedText kTextsBg[kTranslatedKeyCount];
extern const TranslatedText kTextsDe[kTranslatedKeyCount];
extern const TranslatedText kTextsRo[kTranslatedKeyCount];
extern const TranslatedText kTextsKa[kTranslatedKeyCount];
extern const TranslatedText kTextsKk[kTranslatedKeyCount];
extern const TranslatedText kTextsVi[kTranslatedKeyCount];
extern const TranslatedText kTextsTr[kTranslatedKeyCount];
extern const TranslatedText kTextsEl[kTranslatedKeyCount];
extern const TranslatedText kTextsEs[kTranslatedKeyCount];
extern const TranslatedText kTextsHy[kTranslatedKeyCount];
extern const TranslatedText kTextsIt[kTranslatedKeyCount];

#endif  // L10N_TRANSLATIONS_H_
