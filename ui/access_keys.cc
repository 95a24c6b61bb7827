#include "ui/access_keys.h"

#include <glib.h>

#include <algorithm>
#include <set>
#include <string_view>

#include "l10n/string_table.h"
#include "ui/utf8_text.h"

namespace {

// Whether Alt and one key can press `c`. An accented letter (é, Ş) that
// decomposes into a base and a mark takes a dead key on many keyboards, or
// is not there at all; a letter whose case does not map back to it (the
// dotted İ, whose lower case is the i of I, or the final ς) stands for a key
// the keyboard may not have.
bool TypedWithOneKey(gunichar c) {
  if (!g_unichar_isalnum(c)) return false;
  gunichar base = 0;
  gunichar mark = 0;
  if (g_unichar_decompose(c, &base, &mark)) return false;
  const gunichar lower = g_unichar_tolower(c);
  const gunichar upper = g_unichar_toupper(c);
  return g_unichar_toupper(lower) == upper && g_unichar_tolower(upper) == lower;
}

// `text` in mnemonic form, its key the first character that `taken` lacks;
// adds that key to `taken`.
std::string Marked(const std::string& text, std::set<gunichar>* taken) {
  std::string out;
  if (!g_utf8_validate(text.data(), static_cast<gssize>(text.size()),
                       nullptr)) {
    // Not from the string tables: no key, but the text as it is.
    for (char c : text) out += c == '_' ? "__" : std::string(1, c);
    return out;
  }
  bool marked = false;
  const char* end = text.data() + text.size();
  for (const char* p = text.data(); p < end;) {
    const char* next = g_utf8_next_char(p);
    const gunichar c = g_utf8_get_char(p);
    if (!marked && TypedWithOneKey(c) &&
        taken->insert(g_unichar_tolower(c)).second) {
      out += '_';
      marked = true;
    }
    // GTK reads "_" as the mark: the text's own underscores are doubled.
    if (c == '_') out += '_';
    out.append(p, next);
    p = next;
  }
  return out;
}

}  // namespace

std::vector<std::string> WithAccessKeys(const std::vector<std::string>& texts) {
  std::set<gunichar> taken;
  std::vector<std::string> result;
  result.reserve(texts.size());
  for (const std::string& text : texts) result.push_back(Marked(text, &taken));
  return result;
}

std::string AccessKeyText(std::span<const char* const> window,
                          const char* key) {
  std::vector<std::string> texts;
  for (const char* control : window) {
    texts.push_back(ToUtf8(StringTable::Lookup(control)));
  }
  const std::vector<std::string> marked = WithAccessKeys(texts);
  const auto found = std::find_if(
      window.begin(), window.end(),
      [key](const char* control) { return std::string_view(control) == key; });
  return found == window.end() ? std::string() : marked[found - window.begin()];
}
