#include "ui/utf8_text.h"

#include <cstdint>
#include <cstring>

namespace {

void AppendCodePoint(std::string& out, uint32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

bool IsHighSurrogate(uint32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(uint32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// The length of the valid sequence at `p` (at most `left` bytes) and its
// code point; 0 when the bytes there are not a valid, shortest-form
// sequence of a scalar value.
size_t DecodeOne(const unsigned char* p, size_t left, uint32_t* c) {
  const unsigned char b = p[0];
  size_t n;
  uint32_t value;
  uint32_t min;
  if (b < 0x80) {
    *c = b;
    return 1;
  } else if ((b & 0xE0) == 0xC0) {
    n = 2, value = b & 0x1F, min = 0x80;
  } else if ((b & 0xF0) == 0xE0) {
    n = 3, value = b & 0x0F, min = 0x800;
  } else if ((b & 0xF8) == 0xF0) {
    n = 4, value = b & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (left < n) return 0;
  for (size_t i = 1; i < n; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    value = (value << 6) | (p[i] & 0x3F);
  }
  if (value < min || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
    return 0;
  *c = value;
  return n;
}

}  // namespace

std::string ToUtf8(const WideString& text) {
  std::string out;
  out.reserve(text.length());
  const char16_t* units = text.c_str();
  const uint32_t length = text.length();
  for (uint32_t i = 0; i < length; ++i) {
    const uint32_t u = units[i];
    if (IsHighSurrogate(u) && i + 1 < length && IsLowSurrogate(units[i + 1])) {
      AppendCodePoint(out,
                      0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00));
      ++i;
    } else if (IsHighSurrogate(u) || IsLowSurrogate(u)) {
      AppendCodePoint(out, 0xFFFD);
    } else {
      AppendCodePoint(out, u);
    }
  }
  return out;
}

WideString FromUtf8(const char* text) {
  WideString out;
  if (text == nullptr) return out;
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  size_t left = std::strlen(text);
  while (left > 0) {
    uint32_t c;
    size_t n = DecodeOne(p, left, &c);
    if (n == 0) {
      c = 0xDC00 + p[0];
      n = 1;
    }
    if (c >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
    p += n;
    left -= n;
  }
  return out;
}
