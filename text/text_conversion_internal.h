// Hooks into the process-wide converter behind text_conversion.h, for tests.
//
// The converter is normally built once, on first use, from the environment's
// locale. Tests replace it to convert under a chosen locale or to drive the
// per-character locale path on a UTF-8 locale. None of these functions may run
// while a conversion is in progress on another thread.
#ifndef TEXT_TEXT_CONVERSION_INTERNAL_H_
#define TEXT_TEXT_CONVERSION_INTERNAL_H_

namespace text_internal {

// Makes conversions use the locale `locale_name` (as newlocale() takes it:
// "" reads LC_ALL, LC_CTYPE and LANG from the environment now). With
// `force_locale_codec` a UTF-8 or ASCII locale is converted character by
// character through the C library instead of the built-in UTF-8 codec.
// Returns false, changing nothing, when the locale cannot be loaded.
bool UseConverterForTesting(const char* locale_name,
                            bool force_locale_codec = false);

// Goes back to the converter built from the environment at first use.
void RestoreConverterForTesting();

// The codeset of the converter in use ("UTF-8", "ANSI_X3.4-1968", "KOI8-R").
const char* ConverterCodeset();

// True when the converter in use converts with the built-in UTF-8 codec.
bool ConverterUsesUtf8Codec();

}  // namespace text_internal

#endif  // TEXT_TEXT_CONVERSION_INTERNAL_H_
