// Fuzz target for the checksum file beside a kit: the input is its text,
// read for a kit called "tqkt.efd". Whatever it holds, the parser gives 64
// lowercase hex digits or nothing, and reading the file from disk as the
// kit's checksum file gives the same. The same text with CRLF line ends, or
// after a blank line and a comment, reads the same. And the lines sha256sum
// writes (plain, "*"-marked, tagged, upper-case) for a name and a digest
// made from the input read back to that digest for that name.
#include <cstdio>
#include <optional>
#include <string>

#include "kit/checksum_file.h"
#include "kit/kit_checksum.h"
#include "platform/system_api.h"
#include "tests/fuzz/fuzz_util.h"

namespace {

const std::string kKitName = "tqkt.efd";

bool IsLowerHex(const std::string& text) {
  if (text.size() != 64) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

std::string WithCrLf(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out.push_back('\r');
    out.push_back(c);
  }
  return out;
}

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

void CheckFromDisk(const std::string& text,
                   const std::optional<std::string>& parsed) {
  const std::string kit = fuzz::ScratchDir() + "/" + kKitName;
  const std::string path = SidecarPath(kit);
  FUZZ_CHECK(fuzz::WriteBytes(path, text.data(), text.size()));
  const KitSidecar sidecar = ReadKitSidecar(RealSystem(), kit);
  FUZZ_CHECK(std::remove(path.c_str()) == 0);
  if (parsed.has_value() && text.size() <= 64 * 1024) {
    FUZZ_CHECK(sidecar.state == KitSidecar::State::kDigest);
    FUZZ_CHECK(sidecar.digest == *parsed);
  } else {
    FUZZ_CHECK(sidecar.state == KitSidecar::State::kUnusable);
    FUZZ_CHECK(sidecar.problem.kind() == Status::Kind::kChecksumUnusable);
    FUZZ_CHECK(sidecar.problem.path() == path);
  }
}

// The input as a file name (no "/", no NUL, as a directory entry has it)
// and its SHA-256: every line sha256sum may write for them reads back.
void CheckWrittenLines(const std::string& input) {
  std::string name;
  for (char c : input) {
    if (c != '/' && c != '\0' && name.size() < 255) name.push_back(c);
  }
  if (name.empty() || name == "." || name == "..") return;
  Sha256 sha;
  sha.Update(input.data(), input.size());
  const std::string hex = sha.HexDigest();
  const std::string line = ChecksumLine(hex, name);
  const bool escaped = line[0] == '\\';
  FUZZ_CHECK(escaped == (name.find_first_of("\\\n\r") != std::string::npos));
  const size_t name_at = (escaped ? 1 : 0) + 64 + 2;
  const std::string written_name =
      line.substr(name_at, line.size() - name_at - 1);
  const std::string mark = escaped ? "\\" : "";
  const std::string forms[] = {
      line,
      mark + hex + " *" + written_name + "\n",
      mark + Upper(hex) + "  " + written_name,
      mark + "SHA256 (" + written_name + ") = " + hex + "\n",
  };
  for (const std::string& form : forms) {
    FUZZ_CHECK(ParseChecksumFile(form, name) == hex);
  }
  FUZZ_CHECK(ParseChecksumFile(line + line, name) == hex);
}

}  // namespace

extern "C" int FUZZ_ENTRY(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::optional<std::string> parsed = ParseChecksumFile(text, kKitName);
  if (parsed.has_value()) FUZZ_CHECK(IsLowerHex(*parsed));
  if (text.find('\r') == std::string::npos) {
    FUZZ_CHECK(ParseChecksumFile(WithCrLf(text), kKitName) == parsed);
  }
  FUZZ_CHECK(ParseChecksumFile("\n# a comment\n" + text, kKitName) == parsed);
  CheckFromDisk(text, parsed);
  CheckWrittenLines(text);
  return 0;
}
