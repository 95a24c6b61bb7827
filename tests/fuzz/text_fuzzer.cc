// Fuzz target for the text layer: the conversions between multibyte text and
// UTF-16 (every byte string must come back unchanged), the case-insensitive
// order, the copy-on-write strings (driven by the input as a little program
// and compared against std::basic_string, copies included) and the path
// helpers.
#include <langinfo.h>
#include <locale.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "tests/fuzz/fuzz_util.h"
#include "text/path_utils.h"
#include "text/text_conversion.h"
#include "text/wide_string.h"

namespace {

// Hands out the input as numbers and runs of bytes; zeros once it is used up.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool done() const { return at_ >= size_; }
  uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  uint32_t U32() {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value = value << 8 | Byte();
    return value;
  }
  template <typename CharT>
  std::basic_string<CharT> Text(size_t max) {
    size_t count = Byte() % (max + 1);
    std::basic_string<CharT> out;
    for (size_t i = 0; i < count && !done(); ++i) {
      if constexpr (sizeof(CharT) == 1) {
        out.push_back(static_cast<CharT>(Byte()));
      } else {
        // Mostly ASCII and separators, sometimes any unit.
        uint8_t low = Byte();
        out.push_back(low & 0x80 ? static_cast<CharT>(low << 8 | Byte())
                                 : static_cast<CharT>(low));
      }
    }
    return out;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

bool ConverterIsUtf8() {
  static const bool utf8 = [] {
    locale_t locale = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(0));
    if (locale == static_cast<locale_t>(0)) return true;  // C: UTF-8 codec
    std::string codeset = nl_langinfo_l(CODESET, locale);
    freelocale(locale);
    return codeset == "UTF-8" || codeset == "ANSI_X3.4-1968";
  }();
  return utf8;
}

template <typename S, typename R>
bool Equal(const S& s, const R& r) {
  return s.length() == r.size() &&
         std::memcmp(s.c_str(), r.data(), r.size() * sizeof(r[0])) == 0 &&
         s.c_str()[s.length()] == 0;
}

template <typename S>
S Make(const std::basic_string<typename S::value_type>& r) {
  return S(r.data(), static_cast<uint32_t>(r.size()));
}

// Element order with every element taken as unsigned; a prefix first.
template <typename R>
bool UnsignedLess(const R& a, const R& b) {
  using U = std::make_unsigned_t<typename R::value_type>;
  return std::lexicographical_compare(
      a.begin(), a.end(), b.begin(), b.end(),
      [](auto x, auto y) { return static_cast<U>(x) < static_cast<U>(y); });
}

int Sign(int value) { return (value > 0) - (value < 0); }

void Conversions(const uint8_t* data, size_t size) {
  const size_t text_length = strnlen(reinterpret_cast<const char*>(data), size);
  const std::string bytes(reinterpret_cast<const char*>(data), text_length);
  const NarrowString narrow = Make<NarrowString>(bytes);
  const WideString wide = ToWide(narrow);
  FUZZ_CHECK(ToNarrow(wide) == narrow);
  if (ConverterIsUtf8()) FUZZ_CHECK(Utf8ToWide(narrow) == wide);

  // The counted forms: the whole count whatever the room, whole characters
  // only, never a split surrogate pair.
  const uint32_t units = wide.length();
  const size_t capacity = size > 0 ? data[size - 1] % (units + 2) : 0;
  std::vector<char16_t> out(capacity + 1, 0xFFFF);
  FUZZ_CHECK(MultibyteToWide(bytes.data(), bytes.size(), out.data(),
                             capacity) == units);
  FUZZ_CHECK(out[capacity] == 0xFFFF);  // nothing past the room
  for (size_t i = 0; i < capacity && i < units; ++i) {
    bool split_pair = i + 1 == capacity && i + 1 < units &&
                      wide[i] >= 0xD800 && wide[i] < 0xDC00 &&
                      wide[i + 1] >= 0xDC00 && wide[i + 1] < 0xE000;
    if (!split_pair) FUZZ_CHECK(out[i] == wide[i]);
  }

  const size_t room = size > 1 ? data[size - 2] % (text_length + 2) : 0;
  std::string encoded(room + 1, '\x7f');
  FUZZ_CHECK(WideToMultibyte(wide.c_str(), units, encoded.data(), room) ==
             text_length);
  FUZZ_CHECK(encoded[room] == '\x7f');
  if (text_length > 0) {
    // The leading characters that fit, then zeros to the end of the room.
    size_t fitted = strnlen(encoded.data(), room);
    FUZZ_CHECK(fitted <= text_length);
    FUZZ_CHECK(std::memcmp(encoded.data(), bytes.data(), fitted) == 0);
    for (size_t i = fitted; i < room; ++i) FUZZ_CHECK(encoded[i] == 0);
    if (room >= text_length) FUZZ_CHECK(fitted == text_length);
    if (ConverterIsUtf8()) {
      FUZZ_CHECK(fitted + 4 > std::min(room, text_length));
    }
  }

  // Text without escape units comes back from its bytes unchanged (in UTF-8;
  // other encodings write "?" for what they cannot hold).
  std::u16string plain;
  for (size_t i = 0; i + 1 < size; i += 2) {
    char16_t unit = static_cast<char16_t>(data[i] << 8 | data[i + 1]);
    if (unit == 0 || (unit >= 0xDC80 && unit <= 0xDCFF)) continue;
    plain.push_back(unit);
  }
  const WideString plain_wide = Make<WideString>(plain);
  const NarrowString plain_bytes = ToNarrow(plain_wide);
  if (ConverterIsUtf8()) FUZZ_CHECK(ToWide(plain_bytes) == plain_wide);
  FUZZ_CHECK(ToNarrow(ToWide(plain_bytes)) == plain_bytes);

  // Case-insensitive order: a total order, and ASCII case does not count.
  const WideString half = Make<WideString>(plain.substr(0, plain.size() / 2));
  FUZZ_CHECK(CompareNoCase(wide, wide) == 0);
  FUZZ_CHECK(Sign(CompareNoCase(wide, half)) ==
             -Sign(CompareNoCase(half, wide)));
  std::string upper = bytes;
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  if (ConverterIsUtf8()) {
    FUZZ_CHECK(CompareNoCase(wide, ToWide(Make<NarrowString>(upper))) == 0);
  }
}

// Runs the input as operations on a string and std::basic_string side by
// side; copies taken along the way must not change when the string does.
template <typename S>
void StringProgram(Input& in) {
  using CharT = typename S::value_type;
  using R = std::basic_string<CharT>;
  constexpr size_t kMaxLength = 2000;
  S s;
  R r;
  std::vector<std::pair<S, R>> copies;
  for (int step = 0; step < 64 && !in.done(); ++step) {
    const uint8_t op = in.Byte() % 12;
    const uint32_t position = in.Byte() % (r.size() + 2);
    const uint32_t count = in.Byte() == 0xFF ? S::npos : in.Byte() % 24;
    const R text = in.template Text<CharT>(24);
    const size_t length = r.size();
    try {
      switch (op) {
        case 0:
          s.append(text.data(), static_cast<uint32_t>(text.size()));
          r.append(text);
          break;
        case 1: {  // append a piece of a copy of itself (a shared block)
          S other = s;
          if (position > length) {
            bool threw = false;
            try {
              s.append(other, position, count);
            } catch (const std::out_of_range&) {
              threw = true;
            }
            FUZZ_CHECK(threw);
          } else {
            s.append(other, position, count);
            r.append(R(r), position, count);
          }
          break;
        }
        case 2:
          if (position <= length) {
            s.insert(position, text.data(), text.data() + text.size());
            r.insert(position, text);
          }
          break;
        case 3: {  // insert a range of its own text
          if (position > length) break;
          uint32_t from = count == S::npos ? 0 : std::min<uint32_t>(count, length);
          uint32_t to = std::min<uint32_t>(from + text.size(), length);
          const CharT* base = s.c_str();
          s.insert(position, base + from, base + to);
          r.insert(position, R(r, from, to - from));
          break;
        }
        case 4:
          if (position > length) {
            bool threw = false;
            try {
              s.erase(position, count);
            } catch (const std::out_of_range&) {
              threw = true;
            }
            FUZZ_CHECK(threw);
          } else {
            s.erase(position, count);
            r.erase(position, count);
          }
          break;
        case 5:
          if (position <= length) {
            s.replace(position, count, Make<S>(text));
            r.replace(position, count, text);
          }
          break;
        case 6:
          if (position <= length) {  // replaced by itself
            s.replace(position, count, s);
            r.replace(position, count, R(r));
          }
          break;
        case 7: {
          uint32_t target = (count == S::npos ? 0 : count) * 3;
          CharT fill = text.empty() ? CharT('z') : text[0];
          s.resize(target, fill);
          r.resize(target, fill);
          break;
        }
        case 8:
          copies.emplace_back(s, r);
          if (copies.size() > 4) copies.erase(copies.begin());
          break;
        case 9: {  // assign from a piece of itself
          uint32_t from = std::min<uint32_t>(position, length);
          uint32_t n = std::min<uint32_t>(count, length - from);
          s.assign(s.c_str() + from, n);
          r = R(r, from, n);
          break;
        }
        case 10: {
          S other = Make<S>(text);
          R other_r = text;
          FUZZ_CHECK((s == other) == (r == other_r));
          FUZZ_CHECK((s < other) == UnsignedLess(r, other_r));
          S joined = s + other;
          FUZZ_CHECK(Equal(joined, r + other_r));
          if (!copies.empty()) {  // copy and move assignment
            copies.back().first = joined;
            copies.back().second = r + other_r;
            S moved = std::move(joined);
            FUZZ_CHECK(Equal(moved, r + other_r));
          }
          break;
        }
        default:
          s.push_back(text.empty() ? CharT('.') : text[0]);
          r.push_back(text.empty() ? CharT('.') : text[0]);
          break;
      }
    } catch (const std::bad_alloc&) {
      FUZZ_CHECK(false);
    }
    FUZZ_CHECK(Equal(s, r));
    for (const auto& [copy, expected] : copies) FUZZ_CHECK(Equal(copy, expected));
    if (r.size() > kMaxLength) {
      s.resize(kMaxLength);
      r.resize(kMaxLength);
    }
  }
}

// ReplaceAll as its comment says it works, on std::u16string.
int32_t ReplaceAllOracle(std::u16string& subject, const std::u16string& from,
                         const std::u16string& to) {
  if (from.empty()) return 0;
  std::u16string out;
  int32_t count = 0;
  size_t done = 0;
  for (size_t p = subject.find(from); p != std::u16string::npos;
       p = subject.find(from, done)) {
    out.append(subject, done, p - done);
    out.append(to);
    done = p + from.size();
    ++count;
  }
  out.append(subject, done, std::u16string::npos);
  subject = out;
  return count;
}

void Paths(Input& in) {
  for (int step = 0; step < 8 && !in.done(); ++step) {
    std::u16string subject = in.Text<char16_t>(40);
    std::u16string from = in.Text<char16_t>(3);
    std::u16string to = in.Text<char16_t>(5);
    WideString wide = Make<WideString>(subject);
    WideString shared = wide;
    const int32_t count = ReplaceAll(wide, Make<WideString>(from),
                                     Make<WideString>(to));
    FUZZ_CHECK(Equal(shared, subject));
    FUZZ_CHECK(count == ReplaceAllOracle(subject, from, to));
    FUZZ_CHECK(Equal(wide, subject));
    WideString self = wide;  // every occurrence of itself: one, or none
    FUZZ_CHECK(ReplaceAll(self, self, Make<WideString>(to)) == !wide.empty());
    if (!wide.empty()) FUZZ_CHECK(Equal(self, to));

    WideString slashes = wide;
    ToSlashes(slashes);
    FUZZ_CHECK(slashes.length() == wide.length());
    for (uint32_t i = 0; i < wide.length(); ++i) {
      FUZZ_CHECK(slashes[i] == (wide[i] == u'\\' ? u'/' : wide[i]));
    }

    const uint32_t n = wide.length();
    const char16_t last = n > 0 ? wide[n - 1] : 0;
    const bool ends_in_separator = last == u'/' || last == u'\\';
    WideString appended = wide;
    const uint8_t variant = in.Byte() % 3;
    AppendSeparator(appended, static_cast<SeparatorVariant>(variant));
    uint32_t grows = n == 0                  ? 0
                     : variant == 0          ? last != u'/'
                                             : !ends_in_separator;
    FUZZ_CHECK(appended.length() == n + grows);
    if (grows) {
      FUZZ_CHECK(appended[n] == (variant == 2 ? u'\\' : u'/'));
      WideString stripped = appended;
      StripSeparator(stripped);
      FUZZ_CHECK(stripped == wide);
    }
    WideString stripped = wide;
    StripSeparator(stripped);
    FUZZ_CHECK(stripped.length() == n - (ends_in_separator ? 1 : 0));
    FUZZ_CHECK(IsRootPath(wide) == (subject == u"/"));
    FUZZ_CHECK(IsRootPath(u"/") && !IsRootPath(u"//") && !IsRootPath(u"\\"));
  }

  const uint32_t value = in.U32();
  const uint32_t radix = in.Byte();
  if (radix < 2 || radix > 36) {
    bool threw = false;
    try {
      FormatInteger(value, radix);
    } catch (const std::invalid_argument&) {
      threw = true;
    }
    FUZZ_CHECK(threw);
    return;
  }
  const WideString digits = FormatInteger(value, radix);
  std::string ascii;
  for (uint32_t i = 0; i < digits.length(); ++i) {
    char16_t unit = digits[i];
    FUZZ_CHECK((unit >= u'0' && unit <= u'9') || (unit >= u'a' && unit <= u'z') ||
               (unit == u'-' && i == 0 && radix == 10));
    ascii.push_back(static_cast<char>(unit));
  }
  FUZZ_CHECK(!ascii.empty() && (ascii == "0" || ascii[0] != '0'));
  if (radix == 10) {
    FUZZ_CHECK(std::stoll(ascii) == static_cast<int32_t>(value));
    FUZZ_CHECK(digits.length() <= 11);
  } else {
    FUZZ_CHECK(std::stoull(ascii, nullptr, static_cast<int>(radix)) == value);
  }
}

}  // namespace

extern "C" int FUZZ_ENTRY(const uint8_t* data, size_t size) {
  Conversions(data, size);
  Input strings(data, size);
  if (size > 0 && data[0] & 1) {
    StringProgram<WideString>(strings);
  } else {
    StringProgram<NarrowString>(strings);
  }
  // The path helpers read the input from its middle, so that seeds for the
  // string program still give them something to work on.
  Input paths(data + size / 2, size - size / 2);
  Paths(paths);
  return 0;
}
