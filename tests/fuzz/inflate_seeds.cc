// Writes the seeds of the `inflate` fuzz target into the directory given:
//   inflate_seeds DIR
// Raw DEFLATE streams made by zlib with every block kind (stored, fixed,
// dynamic, the empty blocks of the flushes), a few cut short or with a byte
// changed, and one hand-made header with an incomplete code. Each seed is
// the target's first byte (how the stream is cut into pieces) and the
// stream. The text and the changes are fixed, so the same zlib gives the
// same seeds.
#include <zlib.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string Text(size_t size) {
  static const char* const kWords[] = {"install ", "template ", "language ",
                                       "kit\n",    "vendor ",   "Letters "};
  std::string text;
  uint32_t state = 1;
  while (text.size() < size) {
    state = state * 1103515245 + 12345;
    text += kWords[(state >> 16) % 6];
    if ((state >> 8) % 5 == 0) text.push_back(static_cast<char>(state >> 24));
  }
  text.resize(size);
  return text;
}

// Deflates `parts` one after another, calling deflate with `flush` between
// them (Z_FINISH after the last).
std::string Deflate(const std::vector<std::string>& parts, int level,
                    int strategy, int flush) {
  z_stream stream{};
  if (deflateInit2(&stream, level, Z_DEFLATED, -15, 8, strategy) != Z_OK) {
    return std::string();
  }
  std::string out;
  std::vector<unsigned char> chunk(1 << 16);
  for (size_t i = 0; i < parts.size(); ++i) {
    stream.next_in =
        reinterpret_cast<Bytef*>(const_cast<char*>(parts[i].data()));
    stream.avail_in = static_cast<uInt>(parts[i].size());
    const int mode = i + 1 == parts.size() ? Z_FINISH : flush;
    do {
      stream.next_out = chunk.data();
      stream.avail_out = static_cast<uInt>(chunk.size());
      deflate(&stream, mode);
      out.append(reinterpret_cast<char*>(chunk.data()),
                 chunk.size() - stream.avail_out);
    } while (stream.avail_out == 0);
  }
  deflateEnd(&stream);
  return out;
}

// Bits in DEFLATE order, for the hand-made header.
struct Bits {
  std::string bytes;
  int used = 8;
  void Put(uint32_t value, int count) {
    for (int i = 0; i < count; ++i) {
      if (used == 8) {
        bytes.push_back(0);
        used = 0;
      }
      bytes.back() =
          static_cast<char>(bytes.back() | ((value >> i) & 1) << used);
      ++used;
    }
  }
  // A Huffman code goes out from its first bit.
  void Code(uint32_t code, int length) {
    for (int i = length - 1; i >= 0; --i) Put(code >> i, 1);
  }
};

// "aa" in a dynamic block whose literal/length code has 'a' and the
// end-of-block code at length 2 and nothing else: half the code space is
// missing, which zlib refuses.
std::string IncompleteCode() {
  Bits bits;
  bits.Put(1, 1);   // last block
  bits.Put(2, 2);   // dynamic
  bits.Put(0, 5);   // 257 literal/length codes
  bits.Put(0, 5);   // 1 distance code
  bits.Put(12, 4);  // 16 code-length code lengths, in their order:
  for (int length : {0, 0, 1, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2}) {
    bits.Put(length, 3);  // 18: 1 (code 0), 0 and 2: 2 (codes 10, 11)
  }
  bits.Code(0, 1);  // 97 zeros
  bits.Put(97 - 11, 7);
  bits.Code(3, 2);  // 'a': 2
  bits.Code(0, 1);  // 138 + 20 zeros
  bits.Put(138 - 11, 7);
  bits.Code(0, 1);
  bits.Put(20 - 11, 7);
  bits.Code(3, 2);  // end of block: 2
  bits.Code(2, 2);  // no distance code
  bits.Code(0, 2);  // 'a', 'a', end of block
  bits.Code(0, 2);
  bits.Code(1, 2);
  return bits.bytes;
}

bool Write(const std::string& dir, const std::string& name,
           unsigned char pieces, const std::string& stream) {
  const std::string path = dir + "/" + name;
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const bool ok =
      std::fputc(pieces, file) != EOF &&
      std::fwrite(stream.data(), 1, stream.size(), file) == stream.size();
  return std::fclose(file) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: inflate_seeds DIR\n");
    return 2;
  }
  const std::string dir = argv[1];
  const std::string text = Text(3000);
  const std::string half = text.substr(0, 1500);
  const std::string dynamic = Deflate({text}, 6, Z_DEFAULT_STRATEGY, 0);
  const std::string stored = Deflate({half}, 0, Z_DEFAULT_STRATEGY, 0);
  std::string changed = dynamic;
  changed[5] = static_cast<char>(changed[5] ^ 0x10);
  std::string bad_stored = stored;
  bad_stored[3] = static_cast<char>(bad_stored[3] ^ 1);

  struct Seed {
    const char* name;
    unsigned char pieces;
    std::string stream;
  };
  const Seed seeds[] = {
      {"empty", 0xff, Deflate({""}, 6, Z_DEFAULT_STRATEGY, 0)},
      {"stored", 0x5a, stored},
      {"fixed", 0x33, Deflate({text}, 6, Z_FIXED, 0)},
      {"dynamic_1", 0xf0, Deflate({text}, 1, Z_DEFAULT_STRATEGY, 0)},
      {"dynamic_6", 0x00, dynamic},
      {"dynamic_9", 0xcc, Deflate({text}, 9, Z_DEFAULT_STRATEGY, 0)},
      {"huffman_only", 0x87, Deflate({text}, 6, Z_HUFFMAN_ONLY, 0)},
      {"run_lengths", 0x4e, Deflate({text}, 6, Z_RLE, 0)},
      {"full_flush", 0x91,
       Deflate({half, half}, 6, Z_DEFAULT_STRATEGY, Z_FULL_FLUSH)},
      {"partial_flush", 0x2d,
       Deflate({half, half, "x"}, 6, Z_FIXED, Z_PARTIAL_FLUSH)},
      {"cut_in_header", 0x11, dynamic.substr(0, 20)},
      {"cut_in_data", 0xa3, dynamic.substr(0, dynamic.size() / 2)},
      {"cut_stored", 0x62, stored.substr(0, 700)},
      {"changed_header", 0x44, changed},
      {"bad_stored_length", 0xee, bad_stored},
      {"incomplete_code", 0x00, IncompleteCode()},
  };
  for (const Seed& seed : seeds) {
    if (seed.stream.empty() ||
        !Write(dir, seed.name, seed.pieces, seed.stream)) {
      std::fprintf(stderr, "inflate_seeds: cannot write %s\n", seed.name);
      return 1;
    }
  }
  return 0;
}
