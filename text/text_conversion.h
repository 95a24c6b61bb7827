// Conversion between the UTF-16 text inside the program and the multibyte
// text of the system library, the toolkit and the string tables, in the
// encoding of the environment's locale (LC_ALL / LC_CTYPE / LANG).
//
// Safe on any number of threads: conversions use a locale object of their
// own and never change the process locale. Where the environment's locale is
// ASCII-only (C, POSIX), text is converted as UTF-8. Bytes that are invalid
// in the encoding decode to one unit U+DC80 + byte each and encode back to the
// same byte; characters beyond U+FFFF become surrogate pairs and back, so
// every text round-trips. Conversion stops at the first 0 element.
#ifndef TEXT_TEXT_CONVERSION_H_
#define TEXT_TEXT_CONVERSION_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "text/wide_string.h"

// Converts the zero-terminated `units` (at most `count` of them) to multibyte
// text. Returns the number of bytes the whole text needs, without terminator.
// When that is not 0, `output` is zero-filled and receives at most `size`
// bytes, never a partial character. 0 leaves `output` untouched.
size_t WideToMultibyte(const char16_t* units, size_t count, char* output,
                       size_t size);

// Converts the multibyte `text` (up to its first 0 byte, at most `length`
// bytes) to UTF-16. Returns the number of units of the whole text; at most
// `capacity` of them are stored in `output`.
size_t MultibyteToWide(const char* text, size_t length, char16_t* output,
                       size_t capacity);

NarrowString ToNarrow(const WideString& text);
WideString ToWide(const NarrowString& text);

// fopen() of the multibyte forms of `path` and `mode`; null with errno set on
// failure.
FILE* OpenFileWide(const char16_t* path, const char16_t* mode);

// strcasecmp() of the multibyte forms: negative, 0 or positive.
int CompareNoCase(const WideString& a, const WideString& b);

#endif  // TEXT_TEXT_CONVERSION_H_
