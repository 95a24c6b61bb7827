#include "kit/checksum_file.h"

namespace {

constexpr size_t kHexDigits = 64;
constexpr std::string_view kTag = "SHA256";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool IsHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') ||
         (c >= 'A' && c <= 'F');
}

// The untagged lines of one file share the form of the first: sha256sum
// refuses to mix them, so that a name with a leading blank or "*" cannot
// pass for a mark.
enum class Form { kUnknown, kMarked, kUnmarked };

// A checksum line split, as sha256sum splits it.
struct Parts {
  std::string_view digest;
  std::string_view name;
  bool escaped = false;
};

size_t SkipBlanks(std::string_view s, size_t i) {
  while (i < s.size() && IsBlank(s[i])) ++i;
  return i;
}

// "<name>) = <digest>", what follows "SHA256 (". The name ends at the last
// ")" of the line.
bool SplitTagged(std::string_view s, Parts* parts) {
  const size_t close = s.rfind(')');
  if (close == std::string_view::npos) return false;
  parts->name = s.substr(0, close);
  size_t i = SkipBlanks(s, close + 1);
  if (i == s.size() || s[i] != '=') return false;
  i = SkipBlanks(s, i + 1);
  parts->digest = s.substr(i);
  return true;
}

// "<64 hex><blank>[ |*]<name>", from `i` on.
bool SplitUntagged(std::string_view s, size_t i, Form* form, Parts* parts) {
  if (s.size() - i < kHexDigits + 2 || !IsBlank(s[i + kHexDigits])) {
    return false;
  }
  parts->digest = s.substr(i, kHexDigits);
  i += kHexDigits + 1;
  if (s.size() - i == 1 || (s[i] != ' ' && s[i] != '*')) {
    if (*form == Form::kMarked) return false;
    *form = Form::kUnmarked;
  } else if (*form != Form::kUnmarked) {
    *form = Form::kMarked;
    ++i;
  }
  parts->name = s.substr(i);
  return true;
}

bool SplitLine(std::string_view s, Form* form, Parts* parts) {
  size_t i = SkipBlanks(s, 0);
  parts->escaped = i < s.size() && s[i] == '\\';
  if (parts->escaped) ++i;
  if (s.substr(i, kTag.size()) != kTag) {
    return SplitUntagged(s, i, form, parts);
  }
  i += kTag.size();
  if (i < s.size() && s[i] == ' ') ++i;
  if (i == s.size() || s[i] != '(') return false;
  return SplitTagged(s.substr(i + 1), parts);
}

// The name's bytes: escapes undone when the line is marked escaped (false
// for a bad escape or a NUL then), else up to the first NUL, where the C
// string that sha256sum opens ends.
bool FileName(const Parts& parts, std::string* name) {
  name->clear();
  if (!parts.escaped) {
    *name = parts.name.substr(0, parts.name.find('\0'));
    return true;
  }
  for (size_t i = 0; i < parts.name.size(); ++i) {
    const char c = parts.name[i];
    if (c == '\0') return false;
    if (c != '\\') {
      name->push_back(c);
      continue;
    }
    if (++i == parts.name.size()) return false;
    switch (parts.name[i]) {
      case '\\':
        name->push_back('\\');
        break;
      case 'n':
        name->push_back('\n');
        break;
      case 'r':
        name->push_back('\r');
        break;
      default:
        return false;
    }
  }
  return true;
}

// The digest in lower case; empty unless it is 64 hex digits (up to a NUL,
// as sha256sum reads it).
std::string Digest(std::string_view digest) {
  digest = digest.substr(0, digest.find('\0'));
  std::string lower;
  if (digest.size() != kHexDigits) return lower;
  for (char c : digest) {
    if (!IsHex(c)) return std::string();
    lower.push_back(c >= 'A' && c <= 'F' ? static_cast<char>(c - 'A' + 'a')
                                         : c);
  }
  return lower;
}

// "./name", ".//./name", ... open the same file as "name".
std::string_view WithoutDotSlashes(std::string_view name) {
  while (name.size() > 2 && name[0] == '.' && name[1] == '/') {
    name.remove_prefix(2);
    while (!name.empty() && name[0] == '/') name.remove_prefix(1);
  }
  return name;
}

}  // namespace

std::optional<std::string> ParseChecksumFile(std::string_view text,
                                             std::string_view name) {
  std::optional<std::string> digest;
  Form form = Form::kUnknown;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!line.empty() && line[0] == '#') continue;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) continue;
    Parts parts;
    std::string file;
    if (!SplitLine(line, &form, &parts) || !FileName(parts, &file)) {
      return std::nullopt;
    }
    const std::string line_digest = Digest(parts.digest);
    if (line_digest.empty() || WithoutDotSlashes(file) != name ||
        (digest.has_value() && *digest != line_digest)) {
      return std::nullopt;
    }
    digest = line_digest;
  }
  return digest;
}

std::string ChecksumLine(const std::string& hex, const std::string& name) {
  std::string escaped;
  for (char c : name) {
    if (c == '\\') {
      escaped += "\\\\";
    } else if (c == '\n') {
      escaped += "\\n";
    } else if (c == '\r') {
      escaped += "\\r";
    } else {
      escaped.push_back(c);
    }
  }
  const bool escape = escaped.size() != name.size();
  return (escape ? "\\" : "") + hex + "  " + (escape ? escaped : name) + "\n";
}
