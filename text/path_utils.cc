#include "text/path_utils.h"

#include <cstring>
#include <memory>
#include <stdexcept>

namespace {

constexpr uint32_t kNotFound = 0xFFFFFFFFu;

// Leftmost occurrence of `what` (m units, m >= 1) in `text` (n units) at or
// after `start`, compared unit by unit.
uint32_t Find(const char16_t* text, uint32_t n, const char16_t* what,
              uint32_t m, uint32_t start) {
  if (m > n) return kNotFound;
  for (uint32_t p = start; p <= n - m; ++p) {
    if (text[p] == what[0] &&
        memcmp(text + p + 1, what + 1, (m - 1) * sizeof(char16_t)) == 0) {
      return p;
    }
  }
  return kNotFound;
}

bool IsSeparator(char16_t unit) { return unit == u'/' || unit == u'\\'; }

}  // namespace

int32_t ReplaceAll(WideString& subject, const WideString& from,
                   const WideString& to) {
  // Copies are cheap (inline or one shared block) and keep `from` and `to`
  // stable should either be `subject` itself.
  const WideString what(from);
  const WideString with(to);
  const uint32_t n = subject.length();
  const uint32_t m = what.length();
  const uint32_t k = with.length();
  if (m == 0 || n == 0 || n < m) return 0;

  uint32_t p = Find(subject.c_str(), n, what.c_str(), m, 0);
  if (p == kNotFound) return 0;

  int32_t count = 0;
  if (m == k) {
    // The first replace makes a shared subject unique; the rest write in
    // place. Searching on after the replacement never finds inserted text.
    do {
      subject.replace(p, m, with);
      ++count;
      p = Find(subject.c_str(), n, what.c_str(), m, p + k);
    } while (p != kNotFound);
    return count;
  }

  std::vector<uint32_t> positions;
  const char16_t* text = subject.c_str();
  for (; p != kNotFound; p = Find(text, n, what.c_str(), m, p + m)) {
    positions.push_back(p);
  }
  count = static_cast<int32_t>(positions.size());
  const int64_t length = int64_t{n} + int64_t{count} * (int64_t{k} - m);
  if (length > int64_t{WideString::kMaxLength}) {
    throw std::length_error("basic_string");
  }
  if (length == 0) {
    subject = WideString();
    return count;
  }
  std::unique_ptr<char16_t[]> buffer(new char16_t[length]);
  char16_t* out = buffer.get();
  uint32_t done = 0;
  for (uint32_t position : positions) {
    memcpy(out, text + done, (position - done) * sizeof(char16_t));
    out += position - done;
    memcpy(out, with.c_str(), k * sizeof(char16_t));
    out += k;
    done = position + m;
  }
  memcpy(out, text + done, (n - done) * sizeof(char16_t));
  subject = WideString(buffer.get(), static_cast<uint32_t>(length));
  return count;
}

void ToSlashes(WideString& path) { ReplaceAll(path, u"\\", u"/"); }

void ToSlashes(std::vector<WideString>& paths) {
  for (WideString& path : paths) ToSlashes(path);
}

void AppendSeparator(WideString& path, SeparatorVariant variant) {
  const uint32_t n = path.length();
  if (n == 0) return;
  const char16_t last = path[n - 1];
  switch (variant) {
    case SeparatorVariant::kSlashOnly:
      if (last != u'/') path.push_back(u'/');
      break;
    case SeparatorVariant::kSlash:
      if (!IsSeparator(last)) path.push_back(u'/');
      break;
    case SeparatorVariant::kBackslash:
      if (!IsSeparator(last)) path.push_back(u'\\');
      break;
  }
}

void StripSeparator(WideString& path) {
  const uint32_t n = path.length();
  if (n != 0 && IsSeparator(path[n - 1])) path.resize(n - 1);
}

bool IsRootPath(const WideString& path) {
  return path.length() == 1 && path[0] == u'/';
}

WideString FormatInteger(uint32_t value, uint32_t radix) {
  if (radix < 2 || radix > 36) throw std::invalid_argument("radix");
  const bool negative = radix == 10 && static_cast<int32_t>(value) < 0;
  uint32_t magnitude = negative ? 0u - value : value;
  char16_t digits[33];  // 32 binary digits and a sign
  char16_t* first = digits + sizeof digits / sizeof digits[0];
  do {
    const uint32_t digit = magnitude % radix;
    *--first = char16_t(digit < 10 ? u'0' + digit : u'a' + (digit - 10));
    magnitude /= radix;
  } while (magnitude != 0);
  if (negative) *--first = u'-';
  return WideString(
      first,
      static_cast<uint32_t>(digits + sizeof digits / sizeof digits[0] - first));
}

namespace {

bool IsBlank(char16_t unit) { return unit == u' ' || unit == u'\t'; }

}  // namespace

void TrimBlanks(WideString& text) {
  uint32_t end = text.length();
  while (end > 0 && IsBlank(text[end - 1])) --end;
  uint32_t begin = 0;
  while (begin < end && IsBlank(text[begin])) ++begin;
  if (end < text.length()) text.erase(end);
  if (begin > 0) text.erase(0, begin);
}

WideString ExpandHome(const WideString& path, const WideString& home,
                      bool* expanded) {
  const bool tilde = path.length() >= 1 && path[0] == u'~' &&
                     (path.length() == 1 || path[1] == u'/');
  if (expanded != nullptr) *expanded = tilde;
  if (!tilde) return path;
  WideString result = home;
  result.append(path, 1);
  return result;
}
