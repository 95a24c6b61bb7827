// Text for the toolkit. GTK 2 takes and returns UTF-8 whatever the locale's
// encoding is, so texts handed to it are converted from UTF-16 to UTF-8 here
// rather than through the locale (ToNarrow), and texts read back from its
// widgets are decoded from UTF-8. File names that GTK hands out unconverted
// (the folder chooser's) are in the file system's encoding and go through
// ToWide instead.
//
// Pure functions; any thread.
#ifndef UI_UTF8_TEXT_H_
#define UI_UTF8_TEXT_H_

#include <string>

#include "text/wide_string.h"

// Always valid UTF-8: surrogate pairs become one character; a lone surrogate
// (including the units that stand for undecodable bytes of a file name)
// becomes U+FFFD, since GTK refuses invalid text.
std::string ToUtf8(const WideString& text);

// UTF-8 to UTF-16; characters beyond U+FFFF become surrogate pairs. A byte
// that does not start a valid sequence becomes U+DC00 + byte, as the
// locale conversions write undecodable bytes. Null gives an empty text.
WideString FromUtf8(const char* text);

#endif  // UI_UTF8_TEXT_H_
