// Helpers shared by the kit tests.
#ifndef KIT_KIT_TEST_UTIL_H_
#define KIT_KIT_TEST_UTIL_H_

#include <string>

// GNU gzip as an independent deflater: `gzip -n` writes a 10-byte header
// (no name, no time) and an 8-byte trailer around a raw deflate stream.
// Compresses the file `input_path` into `output_path` (started with an
// argument vector, no shell) and returns the raw stream, or an empty string
// when gzip cannot be run.
std::string GzipRawStream(const std::string& input_path,
                          const std::string& output_path, int level);

#endif  // KIT_KIT_TEST_UTIL_H_
