// The text of a SHA-256 checksum file: read as `sha256sum --strict -c`
// reads it, for the one file it is to vouch for, and the line `sha256sum`
// writes. A vendor makes the file beside a kit with whatever tool is at
// hand, so every form that sha256sum itself checks is taken; pure functions
// on bytes, any thread.
#ifndef KIT_CHECKSUM_FILE_H_
#define KIT_CHECKSUM_FILE_H_

#include <optional>
#include <string>
#include <string_view>

// The SHA-256 that the checksum file `text` gives for the file called `name`
// (a base name), in 64 lowercase hex digits; nullopt when `text` is no
// checksum file of that file.
//
// Lines end in LF or CRLF, the last one may have no end. Blank lines and
// lines that begin with "#" are skipped. Every other line is
//   [blanks][\]<64 hex digits><blank>[ |*]<file name>
// or, the tagged form,
//   [blanks][\]SHA256[ ](<file name>)[blanks]=[blanks]<64 hex digits>
// with hex digits of either case. A leading "\" means the name is escaped
// as sha256sum escapes it ("\\", "\n", "\r"; any other escape spoils the
// line). As in sha256sum, the untagged lines of one file are all marked
// (" " or "*" after the blank) or all unmarked, as its first one is; a name
// ends at its first NUL and keeps its other bytes, blanks included.
//
// Stricter than a plain `sha256sum -c`, which only warns about lines it
// cannot parse: any such line makes the text no checksum file. And since
// the text is about one file, every line must name it, as `name` or
// "./name" (sha256sum would check the other files named, and fail on a
// missing one); lines that name it more than once must give one digest.
std::optional<std::string> ParseChecksumFile(std::string_view text,
                                             std::string_view name);

// The line `sha256sum` prints for the file `name` whose digest is `hex`:
// "<hex>  <name>\n", or "\<hex>  <name escaped>\n" when the name holds a
// backslash, a line feed or a carriage return.
std::string ChecksumLine(const std::string& hex, const std::string& name);

#endif  // KIT_CHECKSUM_FILE_H_
