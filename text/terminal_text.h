// What a program prints for a person at a terminal: text from outside (a
// kit's names and texts) escaped so that it cannot drive the terminal, and
// the progress bar that kittool extract and a silent setup draw.
#ifndef TEXT_TERMINAL_TEXT_H_
#define TEXT_TERMINAL_TEXT_H_

#include <cstddef>
#include <string>

#include "text/wide_string.h"

// `text` in the locale's encoding as "ls -b" prints names: a backslash as
// \\, bell, backspace, tab, newline, vertical tab, form feed and carriage
// return as \a \b \t \n \v \f \r, any other control character as
// octal bytes, and a unit that is not valid text as \xNN bytes.
std::string EscapeForTerminal(const WideString& text);

// The last `width` bytes of `text` at most, starting at a character
// boundary, with "..." in front when something was cut.
std::string TailOf(const std::string& text, size_t width);

// One redraw of the bar: "\r[####      ]  42% <shown>", `shown` cut from
// the front and the line padded to `columns` - 1 characters, so that it
// overwrites the last one and never wraps.
std::string ProgressBarLine(int percent, const std::string& shown,
                            int columns);

// The width to draw a bar in for a terminal that says it has `reported`
// columns (-1 when it cannot tell): 80 when it cannot be told or is
// narrower than 40.
int BarColumns(int reported);

#endif  // TEXT_TERMINAL_TEXT_H_
