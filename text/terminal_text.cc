#include "text/terminal_text.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "text/text_conversion.h"

std::string EscapeForTerminal(const WideString& text) {
  std::string escaped;
  WideString plain;  // the units written as they are, converted in runs
  const auto write_plain = [&] {
    if (plain.empty()) return;
    escaped += ToNarrow(plain).c_str();
    plain = WideString();
  };
  const auto write_octal = [&](unsigned byte) {
    const char digits[] = {'\\', char('0' + (byte >> 6 & 7)),
                           char('0' + (byte >> 3 & 7)), char('0' + (byte & 7))};
    escaped.append(digits, sizeof digits);
  };
  const auto write_hex = [&](unsigned byte) {
    static const char kHex[] = "0123456789abcdef";
    const char digits[] = {'\\', 'x', kHex[byte >> 4 & 15], kHex[byte & 15]};
    escaped.append(digits, sizeof digits);
  };
  const char16_t* units = text.c_str();
  const uint32_t length = text.length();
  for (uint32_t i = 0; i < length; ++i) {
    const char16_t unit = units[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < length &&
        units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
      plain.append(units + i, 2);
      ++i;
      continue;
    }
    const bool control = unit < 0x20 || (unit >= 0x7F && unit <= 0x9F);
    const bool surrogate = unit >= 0xD800 && unit <= 0xDFFF;
    if (unit != u'\\' && !control && !surrogate) {
      plain.push_back(unit);
      continue;
    }
    write_plain();
    static const char kNamed[] = "\aa\bb\tt\nn\vv\ff\rr";
    const char* named = unit < 0x20 && unit != 0
                            ? std::strchr(kNamed, static_cast<char>(unit))
                            : nullptr;
    if (unit == u'\\') {
      escaped += "\\\\";
    } else if (named != nullptr) {
      escaped += '\\';
      escaped += named[1];
    } else if (unit < 0x80) {
      write_octal(unit);
    } else if (control) {  // C1: its two UTF-8 bytes
      write_octal(0xC0 | unit >> 6);
      write_octal(0x80 | (unit & 0x3F));
    } else if (unit >= 0xDC80 && unit <= 0xDCFF) {
      write_hex(unit - 0xDC00);
    } else {
      write_hex(0xE0 | unit >> 12);
      write_hex(0x80 | (unit >> 6 & 0x3F));
      write_hex(0x80 | (unit & 0x3F));
    }
  }
  write_plain();
  return escaped;
}

std::string TailOf(const std::string& text, size_t width) {
  if (text.size() <= width) return text;
  if (width <= 3) return std::string(width, '.');
  size_t start = text.size() - (width - 3);
  while (start < text.size() &&
         (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) {
    ++start;
  }
  return "..." + text.substr(start);
}

std::string ProgressBarLine(int percent, const std::string& shown,
                            int columns) {
  constexpr int kBarWidth = 30;
  percent = std::clamp(percent, 0, 100);
  const int filled = percent * kBarWidth / 100;
  std::string line = "\r[" + std::string(filled, '#') +
                     std::string(kBarWidth - filled, ' ') + "] ";
  const std::string number = std::to_string(percent) + "%";
  line += std::string(4 - std::min<size_t>(4, number.size()), ' ') + number +
          " ";
  const size_t used = line.size() - 1;  // the carriage return takes no room
  const size_t room =
      static_cast<size_t>(std::max(columns, 40)) - 1 - std::min(used, size_t{39});
  const std::string path = TailOf(shown, room);
  return line + path + std::string(room - path.size(), ' ');
}

int BarColumns(int reported) { return reported >= 40 ? reported : 80; }
