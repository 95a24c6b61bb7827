// Conversion between the UTF-16 text inside the program and the multibyte
// text of the system library, the toolkit and the string tables, in the
// encoding of the environment's locale (LC_ALL / LC_CTYPE / LANG), read once
// at the first conversion.
//
// Safe on any number of threads: conversions use a locale object of their
// own and never change the process locale. Where the environment's locale is
// ASCII-only (C, POSIX) or UTF-8, text is converted by a built-in UTF-8 codec;
// other encodings go character by character through the C library.
//
// Nothing is lost on the way in, so names and values that are not valid text
// survive a round trip unchanged:
// - each byte 0x80..0xFF that does not decode becomes the one unit
//   U+DC80..U+DCFF (U+DC00 + byte), and such a unit encodes back to its byte;
// - characters beyond U+FFFF become surrogate pairs, and pairs encode back to
//   the one character;
// - in UTF-8 a lone surrogate outside U+DC80..U+DCFF is written in the
//   three-byte form (ED A0..BF xx), and the decoder takes back exactly the
//   sequences the encoder writes, so bytes -> text -> bytes is the identity
//   and so is text -> bytes -> text for every text without escape units;
// - in other encodings a character the encoding cannot hold, or a lone
//   surrogate, is written as "?"; the rest of the text still converts.
// Conversion stops at the first 0 element on either side.
#ifndef TEXT_TEXT_CONVERSION_H_
#define TEXT_TEXT_CONVERSION_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "text/wide_string.h"

// Converts the zero-terminated `units` (at most `count` of them) to multibyte
// text. Returns the number of bytes the whole text needs, without terminator,
// however small `size` is. When that is not 0, the `size` bytes of `output`
// are zero-filled and receive the leading whole characters that fit; 0 (an
// empty text) leaves `output` untouched.
size_t WideToMultibyte(const char16_t* units, size_t count, char* output,
                       size_t size);

// Converts the multibyte `text` (up to its first 0 byte, at most `length`
// bytes) to UTF-16. Returns the number of units of the whole text, however
// small `capacity` is; the leading whole characters that fit in `capacity`
// units are stored in `output` (a surrogate pair is never split). Capacity 0
// stores nothing.
size_t MultibyteToWide(const char* text, size_t length, char16_t* output,
                       size_t capacity);

// Throws std::length_error("basic_string") when the result would be longer
// than NarrowString::kMaxLength, std::bad_alloc when memory runs out.
NarrowString ToNarrow(const WideString& text);
// Throws std::bad_alloc for a text of 2^29 bytes or more.
WideString ToWide(const NarrowString& text);
// ToNarrow when the result names exactly `text`: false when the locale's
// encoding cannot hold a character (it would become "?") or when the bytes
// would read back as another text (an escape unit that, in this encoding,
// spells a real character), so that two names never become one. Throws as
// ToNarrow does.
bool ToNarrowExact(const WideString& text, NarrowString* narrow);
// Decodes UTF-8 whatever the locale's encoding (compiled-in texts are
// stored as UTF-8); invalid bytes become U+DC00 + byte as in ToWide.
WideString Utf8ToWide(const NarrowString& text);
// Encodes UTF-8 whatever the locale's encoding: the inverse of Utf8ToWide
// (escape units become their bytes, other lone surrogates take the
// three-byte form). For texts whose byte counts must not depend on the
// locale. Throws as ToNarrow does.
NarrowString WideToUtf8(const WideString& text);

// The codeset of the locale's encoding that ToNarrow writes ("UTF-8",
// "ISO-8859-1", "KOI8-R"; "ANSI_X3.4-1968" for C, which converts as UTF-8).
const char* LocaleCodeset();

// Case-insensitive order of the multibyte forms: negative, 0 or positive, as
// strcasecmp_l() under the converter's locale gives it. It folds single
// bytes, so in UTF-8 only ASCII letters fold; in a single-byte encoding
// such as KOI8-R that encoding's letters fold too.
int CompareNoCase(const WideString& a, const WideString& b);

#endif  // TEXT_TEXT_CONVERSION_H_
