#include "l10n/string_table.h"

#include <atomic>
#include <map>

#include "l10n/translations.h"
#include "text/text_conversion.h"

namespace {

using LanguageTable = std::map<NarrowString, NarrowString>;

struct LanguageEntry {
  NarrowString code;
  LanguageTable table;
};

struct LanguageSource {
  LanguageId id;
  const char* code;
  const TranslatedText* texts;
};

// Build order. The ids are not in this order (ro 8 before de 7 before bg 6);
// the registry is keyed by id, so FindLanguage still walks by increasing id.
constexpr LanguageSource kBuildOrder[] = {
    {kLanguageRussian, "ru", kTextsRu},    {kLanguageUkrainian, "uk", kTextsUk},
    {kLanguageEnglish, "en", kTextsEn},    {kLanguageLatvian, "lv", kTextsLv},
    {kLanguageLithuanian, "lt", kTextsLt}, {kLanguageRomanian, "ro", kTextsRo},
    {kLanguageGerman, "de", kTextsDe},     {kLanguageBulgarian, "bg", kTextsBg},
    {kLanguageGeorgian, "ka", kTextsKa},   {kLanguageKazakh, "kk", kTextsKk},
    {kLanguageVietnamese, "vi", kTextsVi}, {kLanguageTurkish, "tr", kTextsTr},
    {kLanguageGreek, "el", kTextsEl},      {kLanguageSpanish, "es", kTextsEs},
    {kLanguageArmenian, "hy", kTextsHy},   {kLanguageItalian, "it", kTextsIt},
};

struct Registry {
  std::map<LanguageId, LanguageEntry> languages;

  Registry() {
    for (const LanguageSource& source : kBuildOrder) {
      LanguageTable table;
      for (int i = 0; i < kTranslatedKeyCount; ++i) {
        // emplace keeps the text already present for a repeated key.
        table.emplace(source.texts[i].key, source.texts[i].text);
      }
      languages.emplace(source.id, LanguageEntry{source.code, table});
    }
  }
};

// The registry is built before every other static object and deliberately
// never destroyed: the install worker is never joined and may still look up
// a text while the process runs its exit handlers. The memory stays reachable
// through this object until the process ends.
union RegistryHolder {
  RegistryHolder() : registry() {}
  ~RegistryHolder() {}
  Registry registry;
};

RegistryHolder g_holder __attribute__((init_priority(101)));

std::atomic<LanguageId> g_current_language{kLanguageNone};

}  // namespace

WideString StringTable::Lookup(const NarrowString& key) {
  return LookupIn(g_current_language.load(std::memory_order_relaxed), key);
}

WideString StringTable::LookupIn(LanguageId id, const NarrowString& key) {
  const auto& languages = g_holder.registry.languages;
  auto language = languages.find(id);
  if (language == languages.end()) return WideString();
  auto text = language->second.table.find(key);
  if (text == language->second.table.end()) return WideString();
  // The tables hold UTF-8, whatever encoding the locale uses.
  return Utf8ToWide(text->second);
}

LanguageId StringTable::FindLanguage(const NarrowString& code) {
  for (const auto& [id, entry] : g_holder.registry.languages) {
    if (entry.code == code) return id;
  }
  return kLanguageNone;
}

void StringTable::SetCurrentLanguage(LanguageId id) {
  g_current_language.store(id, std::memory_order_relaxed);
}

LanguageId StringTable::CurrentLanguage() {
  return g_current_language.load(std::memory_order_relaxed);
}

std::vector<StringTable::Language> StringTable::Languages() {
  std::vector<Language> result;
  for (const auto& [id, entry] : g_holder.registry.languages) {
    result.push_back(Language{id, entry.code});
  }
  return result;
}
