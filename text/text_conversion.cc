#include "text/text_conversion.h"

#include <langinfo.h>
#include <locale.h>
#include <strings.h>
#include <wchar.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>

#include "text/text_conversion_internal.h"

namespace {

// Room for the texts that are converted most (paths, keys, UI strings)
// without touching the allocator.
constexpr size_t kStackBytes = 1024;
constexpr size_t kStackUnits = 512;

// ToWide refuses texts this long, as callers have always relied on.
constexpr size_t kMaxWideInput = size_t{1} << 29;

struct Converter {
  ~Converter() {
    if (locale != nullptr) freelocale(locale);
  }
  locale_t locale = nullptr;  // null only when even "C" could not be loaded
  bool utf8 = true;           // built-in UTF-8 codec instead of the C library
  char codeset[64] = {};
};

bool IsUtf8Codeset(const char* codeset) {
  return strcasecmp(codeset, "UTF-8") == 0 || strcasecmp(codeset, "UTF8") == 0;
}

// An ASCII-only locale cannot name any file or text beyond ASCII, so it is
// taken as UTF-8: compiled-in texts and non-ASCII names still come out right.
bool IsAsciiCodeset(const char* codeset) {
  return strcmp(codeset, "ANSI_X3.4-1968") == 0 ||
         strcasecmp(codeset, "ASCII") == 0 ||
         strcasecmp(codeset, "US-ASCII") == 0;
}

// Takes ownership of `locale` (which may be null).
Converter* NewConverter(locale_t locale, bool force_locale_codec) {
  auto* converter = new Converter;
  converter->locale = locale;
  const char* codeset =
      locale != nullptr ? nl_langinfo_l(CODESET, locale) : nullptr;
  if (codeset == nullptr) codeset = "";
  snprintf(converter->codeset, sizeof converter->codeset, "%s", codeset);
  converter->utf8 = locale == nullptr ||
                    (!force_locale_codec &&
                     (IsUtf8Codeset(codeset) || IsAsciiCodeset(codeset)));
  return converter;
}

locale_t LoadEnvironmentLocale() {
  locale_t locale = newlocale(LC_ALL_MASK, "", nullptr);
  // A broken setting in an unrelated category must not cost us the encoding.
  if (locale == nullptr) locale = newlocale(LC_CTYPE_MASK, "", nullptr);
  if (locale == nullptr) locale = newlocale(LC_ALL_MASK, "C", nullptr);
  return locale;
}

std::atomic<Converter*> g_test_converter{nullptr};

const Converter& Current() {
  if (const Converter* converter =
          g_test_converter.load(std::memory_order_acquire)) {
    return *converter;
  }
  // Built once on first use, safely against concurrent first uses, and kept
  // until the process ends.
  static const Converter* const environment =
      NewConverter(LoadEnvironmentLocale(), false);
  return *environment;
}

// mbrtowc and wcrtomb have no _l variants; uselocale switches this thread
// only, so other threads and the process locale are unaffected.
class ThreadLocaleScope {
 public:
  explicit ThreadLocaleScope(locale_t locale) : previous_(uselocale(locale)) {}
  ~ThreadLocaleScope() { uselocale(previous_); }
  ThreadLocaleScope(const ThreadLocaleScope&) = delete;
  ThreadLocaleScope& operator=(const ThreadLocaleScope&) = delete;

 private:
  locale_t previous_;
};

inline bool IsSurrogate(uint32_t c) { return c >= 0xD800 && c <= 0xDFFF; }
inline bool IsHighSurrogate(uint32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
inline bool IsLowSurrogate(uint32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }
// Units that stand for one undecodable byte 0x80..0xFF.
inline bool IsEscapeUnit(uint32_t c) { return c >= 0xDC80 && c <= 0xDCFF; }
inline char16_t EscapeByte(unsigned char b) { return char16_t(0xDC00 + b); }
inline bool IsContinuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// Counts every unit and stores whole characters while they fit. Once one
// does not fit the count is past the capacity, so nothing later is stored.
class UnitSink {
 public:
  UnitSink(char16_t* out, size_t capacity) : out_(out), capacity_(capacity) {}
  void Put(uint32_t unit) {
    if (total_ < capacity_) out_[total_] = char16_t(unit);
    ++total_;
  }
  void PutCodePoint(uint32_t c) {
    if (c < 0x10000) return Put(c);
    c -= 0x10000;
    if (capacity_ >= 2 && total_ <= capacity_ - 2) {
      out_[total_] = char16_t(0xD800 + (c >> 10));
      out_[total_ + 1] = char16_t(0xDC00 + (c & 0x3FF));
    }
    total_ += 2;
  }
  size_t total() const { return total_; }

 private:
  char16_t* out_;
  size_t capacity_;
  size_t total_ = 0;
};

// The byte counterpart of UnitSink.
class ByteSink {
 public:
  ByteSink(char* out, size_t size) : out_(out), size_(size) {}
  void Put(char b) {
    if (total_ < size_) out_[total_] = b;
    ++total_;
  }
  void Put(const char* bytes, size_t count) {
    if (total_ <= size_ && count <= size_ - total_) {
      memcpy(out_ + total_, bytes, count);
    }
    total_ += count;
  }
  size_t total() const { return total_; }

 private:
  char* out_;
  size_t size_;
  size_t total_ = 0;
};

// Length (1 to 4) of the UTF-8 sequence at `s`, whose code point goes to
// `*c`, or 0 when `s` does not start one. Overlong forms and values beyond
// U+10FFFF are rejected. ED A0..BF xx, the three-byte form of a surrogate,
// is accepted here; the decoder decides whether it stands.
inline int ScanUtf8(const unsigned char* s, size_t n, uint32_t* c) {
  const uint32_t b0 = s[0];
  if (b0 < 0x80) {
    *c = b0;
    return 1;
  }
  if (b0 < 0xC2) return 0;
  if (b0 < 0xE0) {
    if (n < 2 || !IsContinuation(s[1])) return 0;
    *c = ((b0 & 0x1F) << 6) | (s[1] & 0x3F);
    return 2;
  }
  if (b0 < 0xF0) {
    if (n < 3 || !IsContinuation(s[1]) || !IsContinuation(s[2])) return 0;
    if (b0 == 0xE0 && s[1] < 0xA0) return 0;
    *c = ((b0 & 0x0F) << 12) | ((s[1] & 0x3F) << 6) | (s[2] & 0x3F);
    return 3;
  }
  if (b0 < 0xF5) {
    if (n < 4 || !IsContinuation(s[1]) || !IsContinuation(s[2]) ||
        !IsContinuation(s[3])) {
      return 0;
    }
    if (b0 == 0xF0 && s[1] < 0x90) return 0;
    if (b0 == 0xF4 && s[1] > 0x8F) return 0;
    *c = ((b0 & 0x07) << 18) | ((s[1] & 0x3F) << 12) | ((s[2] & 0x3F) << 6) |
         (s[3] & 0x3F);
    return 4;
  }
  return 0;
}

inline bool IsThreeByteHighSurrogate(const unsigned char* s, size_t n) {
  uint32_t c;
  return ScanUtf8(s, n, &c) == 3 && IsHighSurrogate(c);
}

// The decoder is the exact inverse of EncodeUtf8, so every byte string comes
// back unchanged. A three-byte surrogate stands only where the encoder would
// have written it: a low one outside the escape range, and a run of high
// ones only when what follows does not decode to a low surrogate (else the
// encoder would have joined them into a pair). Otherwise its bytes escape.
void DecodeUtf8(const unsigned char* s, size_t n, UnitSink& out) {
  size_t i = 0;
  while (i < n) {
    if (s[i] < 0x80) {
      out.Put(s[i++]);
      continue;
    }
    uint32_t c;
    const int length = ScanUtf8(s + i, n - i, &c);
    if (length == 0) {
      out.Put(EscapeByte(s[i++]));
    } else if (!IsSurrogate(c)) {
      out.PutCodePoint(c);
      i += length;
    } else if (IsLowSurrogate(c)) {
      if (IsEscapeUnit(c)) {
        out.Put(EscapeByte(s[i++]));  // its other bytes escape in turn
      } else {
        out.Put(c);
        i += 3;
      }
    } else {
      size_t end = i + 3;
      while (end < n && IsThreeByteHighSurrogate(s + end, n - end)) end += 3;
      uint32_t next = 0;
      const bool stands = end == n || (ScanUtf8(s + end, n - end, &next) != 0 &&
                                       !IsLowSurrogate(next));
      for (; i < end; i += 3) {
        if (stands) {
          out.Put(0xD000 | ((s[i + 1] & 0x3F) << 6) | (s[i + 2] & 0x3F));
        } else {
          out.Put(EscapeByte(s[i]));
          out.Put(EscapeByte(s[i + 1]));
          out.Put(EscapeByte(s[i + 2]));
        }
      }
    }
  }
}

// Pairs become one four-byte character; an escape unit becomes its byte; any
// other lone surrogate takes the three-byte form (generalised UTF-8).
void EncodeUtf8(const char16_t* units, size_t n, ByteSink& out) {
  for (size_t i = 0; i < n; ++i) {
    uint32_t c = units[i];
    if (c == 0) break;
    if (c < 0x80) {
      out.Put(char(c));
      continue;
    }
    char b[4];
    if (c < 0x800) {
      b[0] = char(0xC0 | (c >> 6));
      b[1] = char(0x80 | (c & 0x3F));
      out.Put(b, 2);
    } else if (IsHighSurrogate(c) && i + 1 < n &&
               IsLowSurrogate(units[i + 1])) {
      c = 0x10000 + ((c - 0xD800) << 10) + (units[++i] - 0xDC00);
      b[0] = char(0xF0 | (c >> 18));
      b[1] = char(0x80 | ((c >> 12) & 0x3F));
      b[2] = char(0x80 | ((c >> 6) & 0x3F));
      b[3] = char(0x80 | (c & 0x3F));
      out.Put(b, 4);
    } else if (IsEscapeUnit(c)) {
      out.Put(char(c - 0xDC00));
    } else {
      b[0] = char(0xE0 | (c >> 12));
      b[1] = char(0x80 | ((c >> 6) & 0x3F));
      b[2] = char(0x80 | (c & 0x3F));
      out.Put(b, 3);
    }
  }
}

void DecodeWithLocale(locale_t locale, const char* s, size_t n, UnitSink& out) {
  ThreadLocaleScope scope(locale);
  mbstate_t state{};
  size_t i = 0;
  while (i < n) {
    wchar_t wc;
    const size_t r = mbrtowc(&wc, s + i, n - i, &state);
    const auto c = static_cast<uint32_t>(wc);
    // glibc's UTF-8 takes values up to 0x7FFFFFFF, which UTF-16 cannot hold;
    // their bytes escape like any other undecodable ones.
    const bool invalid = r == size_t(-1) || r == size_t(-2) ||
                         (r != size_t(-3) && (c > 0x10FFFF || IsSurrogate(c)));
    if (invalid) {
      // The locale's charsets agree with ASCII, so a rejected byte below
      // 0x80 is kept as itself.
      const auto b = static_cast<unsigned char>(s[i++]);
      out.Put(b < 0x80 ? char16_t(b) : EscapeByte(b));
      state = mbstate_t{};
      continue;
    }
    if (r == 0) break;            // a 0 byte; n ends before any
    if (r != size_t(-3)) i += r;  // -3: a further character of the same bytes
    if (c <= 0x10FFFF && !IsSurrogate(c)) out.PutCodePoint(c);
  }
}

// Characters the locale's encoding cannot hold, and lone surrogates outside
// the escape range, are written as "?".
void EncodeWithLocale(locale_t locale, const char16_t* units, size_t n,
                      ByteSink& out) {
  ThreadLocaleScope scope(locale);
  mbstate_t state{};
  char b[MB_LEN_MAX];
  for (size_t i = 0; i < n; ++i) {
    uint32_t c = units[i];
    if (c == 0) break;
    if (IsHighSurrogate(c) && i + 1 < n && IsLowSurrogate(units[i + 1])) {
      c = 0x10000 + ((c - 0xD800) << 10) + (units[++i] - 0xDC00);
    } else if (IsEscapeUnit(c)) {
      out.Put(char(c - 0xDC00));
      continue;
    } else if (IsSurrogate(c)) {
      out.Put('?');
      continue;
    }
    const size_t r = wcrtomb(b, wchar_t(c), &state);
    if (r == size_t(-1)) {
      out.Put('?');
      state = mbstate_t{};
    } else {
      out.Put(b, r);
    }
  }
  if (!mbsinit(&state)) {  // a shifting encoding goes back to its start
    const size_t r = wcrtomb(b, L'\0', &state);
    if (r != size_t(-1) && r > 1) out.Put(b, r - 1);
  }
}

void Decode(const Converter& converter, const char* s, size_t n,
            UnitSink& out) {
  if (converter.utf8) {
    DecodeUtf8(reinterpret_cast<const unsigned char*>(s), n, out);
  } else {
    DecodeWithLocale(converter.locale, s, n, out);
  }
}

void Encode(const Converter& converter, const char16_t* units, size_t n,
            ByteSink& out) {
  if (converter.utf8) {
    EncodeUtf8(units, n, out);
  } else {
    EncodeWithLocale(converter.locale, units, n, out);
  }
}

int AsciiCaseCompare(const char* a, const char* b) {
  for (;; ++a, ++b) {
    int ca = static_cast<unsigned char>(*a);
    int cb = static_cast<unsigned char>(*b);
    if (ca >= 'A' && ca <= 'Z') ca += 'a' - 'A';
    if (cb >= 'A' && cb <= 'Z') cb += 'a' - 'A';
    if (ca != cb || ca == 0) return ca - cb;
  }
}

}  // namespace

size_t WideToMultibyte(const char16_t* units, size_t count, char* output,
                       size_t size) {
  if (units == nullptr || count == 0 || units[0] == 0) return 0;
  if (output == nullptr) size = 0;
  if (size != 0) memset(output, 0, size);
  ByteSink sink(output, size);
  Encode(Current(), units, count, sink);
  return sink.total();
}

size_t MultibyteToWide(const char* text, size_t length, char16_t* output,
                       size_t capacity) {
  if (text == nullptr) return 0;
  const size_t n = strnlen(text, length);
  if (n == 0) return 0;
  UnitSink sink(output, output != nullptr ? capacity : 0);
  Decode(Current(), text, n, sink);
  return sink.total();
}

namespace {

NarrowString EncodeToNarrow(const Converter& converter,
                            const WideString& text) {
  const char16_t* units = text.c_str();
  const size_t n = text.length();
  if (n == 0 || units[0] == 0) return NarrowString();
  // UTF-8 needs at most 3 bytes a unit; 4 covers the C library's charsets
  // but for shift sequences, which the second pass below handles.
  size_t size = (converter.utf8 ? 3 : 4) * n;
  char stack[kStackBytes];
  std::unique_ptr<char[]> heap;
  char* buffer = stack;
  if (size > sizeof stack) {
    heap.reset(new char[size]);
    buffer = heap.get();
  }
  ByteSink sink(buffer, size);
  Encode(converter, units, n, sink);
  const size_t length = sink.total();
  if (length > NarrowString::kMaxLength) {
    throw std::length_error("basic_string");
  }
  if (length > size) {
    size = length;
    heap.reset(new char[size]);
    buffer = heap.get();
    ByteSink again(buffer, size);
    Encode(converter, units, n, again);
  }
  return NarrowString(buffer, static_cast<uint32_t>(length));
}

// A converter with no locale object always uses the built-in UTF-8 codec.
const Converter& Utf8Converter() {
  static const Converter utf8;
  return utf8;
}

}  // namespace

NarrowString ToNarrow(const WideString& text) {
  return EncodeToNarrow(Current(), text);
}

NarrowString WideToUtf8(const WideString& text) {
  return EncodeToNarrow(Utf8Converter(), text);
}

const char* LocaleCodeset() { return Current().codeset; }

bool ToNarrowExact(const WideString& text, NarrowString* narrow) {
  NarrowString bytes = ToNarrow(text);
  if (ToWide(bytes) != text) return false;
  *narrow = std::move(bytes);
  return true;
}

namespace {

WideString DecodeToWide(const Converter& converter, const NarrowString& text) {
  const size_t n = text.length();
  if (n >= kMaxWideInput) throw std::bad_alloc();
  const char* bytes = text.c_str();
  const size_t m = strnlen(bytes, n);
  if (m == 0) return WideString();
  // No byte yields more than one unit in UTF-8 and in the C library's
  // charsets; a second pass covers any that does.
  size_t capacity = m;
  char16_t stack[kStackUnits];
  std::unique_ptr<char16_t[]> heap;
  char16_t* buffer = stack;
  if (capacity > kStackUnits) {
    heap.reset(new char16_t[capacity]);
    buffer = heap.get();
  }
  UnitSink sink(buffer, capacity);
  Decode(converter, bytes, m, sink);
  const size_t length = sink.total();
  if (length > WideString::kMaxLength) throw std::length_error("basic_string");
  if (length > capacity) {
    capacity = length;
    heap.reset(new char16_t[capacity]);
    buffer = heap.get();
    UnitSink again(buffer, capacity);
    Decode(converter, bytes, m, again);
  }
  return WideString(buffer, static_cast<uint32_t>(length));
}

}  // namespace

WideString ToWide(const NarrowString& text) {
  return DecodeToWide(Current(), text);
}

WideString Utf8ToWide(const NarrowString& text) {
  return DecodeToWide(Utf8Converter(), text);
}

int CompareNoCase(const WideString& a, const WideString& b) {
  const NarrowString narrow_b = ToNarrow(b);
  const NarrowString narrow_a = ToNarrow(a);
  const Converter& converter = Current();
  if (converter.locale == nullptr) {
    return AsciiCaseCompare(narrow_a.c_str(), narrow_b.c_str());
  }
  return strcasecmp_l(narrow_a.c_str(), narrow_b.c_str(), converter.locale);
}

namespace text_internal {

bool UseConverterForTesting(const char* locale_name, bool force_locale_codec) {
  locale_t locale = newlocale(LC_ALL_MASK, locale_name, nullptr);
  if (locale == nullptr) return false;
  delete g_test_converter.exchange(NewConverter(locale, force_locale_codec),
                                   std::memory_order_acq_rel);
  return true;
}

void RestoreConverterForTesting() {
  delete g_test_converter.exchange(nullptr, std::memory_order_acq_rel);
}

const char* ConverterCodeset() { return Current().codeset; }

bool ConverterUsesUtf8Codec() { return Current().utf8; }

}  // namespace text_internal
