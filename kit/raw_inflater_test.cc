#include "kit/raw_inflater.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

enum class Outcome { kEnd, kError, kStopped };

std::string Name(Outcome outcome) {
  switch (outcome) {
    case Outcome::kEnd:
      return "end";
    case Outcome::kError:
      return "error";
    case Outcome::kStopped:
      return "stopped";
  }
  return "?";
}

struct Inflation {
  Outcome outcome;
  std::string bytes;
};

// What zlib's raw inflate makes of the whole stream at once: the reference.
Inflation Zlib(const std::string& stream) {
  z_stream z{};
  EXPECT_EQ(inflateInit2(&z, -15), Z_OK);
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(stream.data()));
  z.avail_in = static_cast<uInt>(stream.size());
  Inflation run{Outcome::kStopped, ""};
  std::vector<unsigned char> chunk(1 << 16);
  for (;;) {
    z.next_out = chunk.data();
    z.avail_out = static_cast<uInt>(chunk.size());
    const int rc = inflate(&z, Z_NO_FLUSH);
    run.bytes.append(reinterpret_cast<char*>(chunk.data()),
                     chunk.size() - z.avail_out);
    if (rc == Z_STREAM_END) {
      run.outcome = Outcome::kEnd;
      break;
    }
    if (rc == Z_DATA_ERROR) {
      run.outcome = Outcome::kError;
      break;
    }
    if (rc == Z_BUF_ERROR || (z.avail_in == 0 && z.avail_out > 0)) break;
    EXPECT_EQ(rc, Z_OK);
    if (rc != Z_OK) break;
  }
  inflateEnd(&z);
  return run;
}

// Sizes of the input pieces and of the room for each call.
struct Pieces {
  std::function<size_t()> input;
  std::function<size_t()> output;
};

Pieces Fixed(size_t input, size_t output) {
  return {[input] { return input; }, [output] { return output; }};
}

Pieces Random(uint32_t seed, size_t max_input, size_t max_output) {
  auto rng = std::make_shared<std::mt19937>(seed);
  return {[rng, max_input] { return 1 + (*rng)() % max_input; },
          [rng, max_output] { return 1 + (*rng)() % max_output; }};
}

// Drives `inflater` as the kit's inflation does: a piece of input, then
// Inflate until a call makes no progress. Checks the promises the caller
// relies on along the way.
Inflation Inflate(RawInflater* inflater, const std::string& stream,
                  const Pieces& pieces) {
  Inflation run{Outcome::kStopped, ""};
  std::vector<unsigned char> out;
  size_t fed = 0;
  for (;;) {
    if (inflater->input_left() == 0) {
      if (fed == stream.size()) return run;
      const size_t piece = std::min(pieces.input(), stream.size() - fed);
      inflater->Feed(
          reinterpret_cast<const unsigned char*>(stream.data()) + fed, piece);
      fed += piece;
    }
    for (;;) {
      const size_t room = pieces.output();
      out.resize(room);
      const size_t left = inflater->input_left();
      size_t written = 0;
      const RawInflater::Result result =
          inflater->Inflate(out.data(), room, &written);
      EXPECT_LE(written, room);
      run.bytes.append(reinterpret_cast<char*>(out.data()), written);
      if (result != RawInflater::Result::kOk) {
        run.outcome = result == RawInflater::Result::kEnd ? Outcome::kEnd
                                                          : Outcome::kError;
        return run;
      }
      if (written < room && inflater->input_left() != 0) {
        ADD_FAILURE() << "input left over with room to spare";
        return run;
      }
      if (written == 0 && inflater->input_left() == left) break;
    }
  }
}

Inflation Inflate(const std::string& stream, const Pieces& pieces) {
  RawInflater inflater;
  return Inflate(&inflater, stream, pieces);
}

// The inflater must do what zlib does: the same outcome; the same bytes
// when both end; when both stop, zlib's bytes less at most kMaxHeldBack.
void ExpectLikeZlib(const std::string& stream, const Pieces& pieces,
                    const std::string& what) {
  const Inflation want = Zlib(stream);
  const Inflation got = Inflate(stream, pieces);
  ASSERT_EQ(Name(got.outcome), Name(want.outcome)) << what;
  if (want.outcome == Outcome::kEnd) {
    EXPECT_TRUE(got.bytes == want.bytes)
        << what << ": " << got.bytes.size() << " bytes, zlib "
        << want.bytes.size();
  } else if (want.outcome == Outcome::kStopped) {
    ASSERT_LE(got.bytes.size(), want.bytes.size()) << what;
    EXPECT_LE(want.bytes.size() - got.bytes.size(), RawInflater::kMaxHeldBack)
        << what;
    EXPECT_TRUE(want.bytes.compare(0, got.bytes.size(), got.bytes) == 0)
        << what;
  }
}

// ---------------------------------------------------------------------------
// Streams made with zlib.

std::string Text(size_t size, uint32_t seed) {
  static const char* const kWords[] = {"template ",  "install ", "kit ",
                                       "language\n", "Vendor ",  "Letters "};
  std::mt19937 rng(seed);
  std::string text;
  while (text.size() < size) {
    text += kWords[rng() % 6];
    if (rng() % 4 == 0) text.push_back(static_cast<char>(rng()));
  }
  text.resize(size);
  return text;
}

// Deflates `parts` one after another with `flush` between them.
std::string Deflate(const std::vector<std::string>& parts, int level,
                    int strategy = Z_DEFAULT_STRATEGY, int flush = Z_NO_FLUSH) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, -15, 8, strategy), Z_OK);
  std::string out;
  std::vector<unsigned char> chunk(1 << 16);
  for (size_t i = 0; i < parts.size(); ++i) {
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(parts[i].data()));
    z.avail_in = static_cast<uInt>(parts[i].size());
    do {
      z.next_out = chunk.data();
      z.avail_out = static_cast<uInt>(chunk.size());
      deflate(&z, i + 1 == parts.size() ? Z_FINISH : flush);
      out.append(reinterpret_cast<char*>(chunk.data()),
                 chunk.size() - z.avail_out);
    } while (z.avail_out == 0);
  }
  deflateEnd(&z);
  return out;
}

struct ValidCase {
  const char* name;
  std::string stream;
};

std::vector<ValidCase> ValidCases() {
  const std::string text = Text(300000, 1);
  const std::string small = Text(5000, 2);
  return {
      {"empty", Deflate({""}, 6)},
      {"level_0_stored_blocks", Deflate({text}, 0)},
      {"level_1", Deflate({text}, 1)},
      {"level_6", Deflate({text}, 6)},
      {"level_9", Deflate({text}, 9)},
      {"fixed", Deflate({text}, 6, Z_FIXED)},
      {"huffman_only", Deflate({text}, 6, Z_HUFFMAN_ONLY)},
      {"run_lengths", Deflate({std::string(70000, 'x') + small}, 6, Z_RLE)},
      {"sync_flushes",
       Deflate({small, small, small}, 6, Z_DEFAULT_STRATEGY, Z_SYNC_FLUSH)},
      {"partial_flushes",
       Deflate({small, "", small}, 6, Z_FIXED, Z_PARTIAL_FLUSH)},
      {"full_flushes",
       Deflate({small, small}, 9, Z_DEFAULT_STRATEGY, Z_FULL_FLUSH)},
      {"single_byte", Deflate({"x"}, 6)},
  };
}

TEST(RawInflaterTest, ValidStreamsWholeAndInRandomPieces) {
  for (const ValidCase& c : ValidCases()) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(Name(Zlib(c.stream).outcome), Name(Outcome::kEnd));
    ExpectLikeZlib(c.stream, Fixed(SIZE_MAX, 1 << 20), "whole");
    ExpectLikeZlib(c.stream, Random(7, 5000, 70000), "random pieces");
    ExpectLikeZlib(c.stream, Random(8, 40, 300), "small random pieces");
  }
}

TEST(RawInflaterTest, OneByteInAndOut) {
  const std::string text = Text(60000, 3);
  for (const std::string& stream :
       {Deflate({text}, 0), Deflate({text}, 1), Deflate({text}, 9),
        Deflate({text}, 6, Z_FIXED),
        Deflate({text, text}, 6, Z_DEFAULT_STRATEGY, Z_FULL_FLUSH)}) {
    ExpectLikeZlib(stream, Fixed(1, 1), "1 in, 1 out");
    ExpectLikeZlib(stream, Fixed(1, 1 << 16), "1 in");
    ExpectLikeZlib(stream, Fixed(SIZE_MAX, 1), "1 out");
  }
}

TEST(RawInflaterTest, SeveralMebibytes) {
  std::string data = Text(6 << 20, 4);
  // Some long runs too, so that matches reach far back across blocks.
  for (size_t at = 0; at + 100000 < data.size(); at += 1 << 20) {
    std::fill(data.begin() + at, data.begin() + at + 100000, 'z');
  }
  const std::string stream = Deflate({data}, 6);
  const Inflation got = Inflate(stream, Random(9, 256 * 1024, 256 * 1024));
  EXPECT_EQ(Name(got.outcome), Name(Outcome::kEnd));
  EXPECT_TRUE(got.bytes == data) << got.bytes.size();
}

TEST(RawInflaterTest, LaterBytesAreIgnored) {
  const std::string text = Text(20000, 5);
  const std::string stream = Deflate({text}, 6) + "trailing bytes";
  for (const Pieces& pieces : {Fixed(SIZE_MAX, 1 << 20), Fixed(1, 7)}) {
    const Inflation got = Inflate(stream, pieces);
    EXPECT_EQ(Name(got.outcome), Name(Outcome::kEnd));
    EXPECT_TRUE(got.bytes == text);
  }
}

// A dynamic, a stored and a fixed block (zlib ends a block where the
// parameters change), then the empty stored block of a sync flush and the
// last block.
std::string AllKinds(const std::string& text) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string out;
  unsigned char chunk[1 << 16];
  auto run = [&](const std::string& part, int flush) {
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(part.data()));
    z.avail_in = static_cast<uInt>(part.size());
    do {
      z.next_out = chunk;
      z.avail_out = sizeof chunk;
      deflate(&z, flush);
      out.append(reinterpret_cast<char*>(chunk), sizeof chunk - z.avail_out);
    } while (z.avail_out == 0);
  };
  // A change of parameters ends the block, writing to the output buffer.
  auto params = [&](int level, int strategy) {
    z.next_out = chunk;
    z.avail_out = sizeof chunk;
    EXPECT_EQ(deflateParams(&z, level, strategy), Z_OK);
    out.append(reinterpret_cast<char*>(chunk), sizeof chunk - z.avail_out);
  };
  run(text, Z_NO_FLUSH);
  params(0, Z_DEFAULT_STRATEGY);
  run(text.substr(0, 700), Z_NO_FLUSH);
  params(6, Z_FIXED);
  run(text.substr(300, 900), Z_SYNC_FLUSH);
  params(6, Z_DEFAULT_STRATEGY);
  run(text.substr(1000), Z_FINISH);
  deflateEnd(&z);
  return out;
}

// Every prefix of streams with blocks of each kind: the inflater stops, or
// refuses, where zlib does, with zlib's bytes (less what may be held back).
TEST(RawInflaterTest, CutAnywhere) {
  const std::string text = Text(3000, 6);
  for (const std::string& whole : {AllKinds(text), Deflate({text}, 1)}) {
    ASSERT_EQ(Name(Zlib(whole).outcome), Name(Outcome::kEnd));
    for (size_t size = 0; size < whole.size(); ++size) {
      const std::string cut = whole.substr(0, size);
      ExpectLikeZlib(cut, Fixed(SIZE_MAX, 1 << 20),
                     "whole, cut at " + std::to_string(size));
      ExpectLikeZlib(cut, Fixed(3, 100),
                     "pieces, cut at " + std::to_string(size));
      if (HasFatalFailure()) return;
    }
  }
}

// ---------------------------------------------------------------------------
// Streams made bit by bit.

class BitWriter {
 public:
  // `count` bits of `value`, lowest first (header fields, extra bits).
  BitWriter& Bits(uint32_t value, int count) {
    for (int i = 0; i < count; ++i) {
      if (used_ == 8) {
        bytes_.push_back(0);
        used_ = 0;
      }
      bytes_.back() =
          static_cast<char>(bytes_.back() | ((value >> i) & 1) << used_);
      ++used_;
    }
    return *this;
  }
  // A Huffman code, its first bit first.
  BitWriter& Code(uint32_t code, int length) {
    for (int i = length - 1; i >= 0; --i) Bits(code >> i, 1);
    return *this;
  }
  BitWriter& Align() {
    used_ = 8;
    return *this;
  }
  BitWriter& Bytes(const std::string& bytes) {
    Align();
    bytes_ += bytes;
    return *this;
  }
  const std::string& bytes() const { return bytes_; }

 private:
  std::string bytes_;
  int used_ = 8;
};

// A canonical code for `lengths` (zero: no code), assigned as DEFLATE does;
// for an oversubscribed set the codes overlap, which suits the tests.
struct Huffman {
  std::vector<int> lengths;
  std::vector<uint32_t> codes;

  explicit Huffman(std::vector<int> code_lengths)
      : lengths(std::move(code_lengths)), codes(lengths.size()) {
    int count[16] = {};
    for (int length : lengths) ++count[length];
    count[0] = 0;
    uint32_t next[16] = {};
    uint32_t code = 0;
    for (int length = 1; length < 16; ++length) {
      code = (code + count[length - 1]) << 1;
      next[length] = code;
    }
    for (size_t i = 0; i < lengths.size(); ++i) {
      if (lengths[i] != 0) codes[i] = next[lengths[i]]++;
    }
  }
  void Put(BitWriter* out, int symbol) const {
    out->Code(codes[symbol], lengths[symbol]);
  }
};

// The fixed block's codes.
const Huffman& FixedLengths() {
  static const Huffman* const code = [] {
    std::vector<int> lengths(288, 8);
    std::fill(lengths.begin() + 144, lengths.begin() + 256, 9);
    std::fill(lengths.begin() + 256, lengths.begin() + 280, 7);
    return new Huffman(lengths);
  }();
  return *code;
}
const Huffman& FixedDistances() {
  static const Huffman* const code = new Huffman(std::vector<int>(32, 5));
  return *code;
}

// A distance of 1 to 32768: its code and extra bits.
void PutDistance(BitWriter* out, const Huffman& code, int distance) {
  int base = 1;
  for (int symbol = 0;; ++symbol) {
    const int extra = symbol < 4 ? 0 : symbol / 2 - 1;
    if (symbol == 29 || distance < base + (1 << extra)) {
      code.Put(out, symbol);
      out->Bits(distance - base, extra);
      return;
    }
    base += 1 << extra;
  }
}

// A dynamic block header, raw: the counts, the code-length code's lengths
// by symbol (the first `sent` of them in the header's order), and the
// code-length symbols with their extra bits.
struct LengthSymbol {
  int symbol;
  uint32_t extra = 0;
};
void PutDynamicHeader(BitWriter* out, bool last, int length_codes,
                      int distance_codes, const std::vector<int>& code_lengths,
                      int sent, const std::vector<LengthSymbol>& symbols) {
  static constexpr int kOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                     11, 4,  12, 3, 13, 2, 14, 1, 15};
  out->Bits(last, 1).Bits(2, 2);
  out->Bits(length_codes - 257, 5)
      .Bits(distance_codes - 1, 5)
      .Bits(sent - 4, 4);
  for (int i = 0; i < sent; ++i) out->Bits(code_lengths[kOrder[i]], 3);
  const Huffman code(code_lengths);
  for (const LengthSymbol& s : symbols) {
    code.Put(out, s.symbol);
    if (s.symbol == 16) out->Bits(s.extra, 2);
    if (s.symbol == 17) out->Bits(s.extra, 3);
    if (s.symbol == 18) out->Bits(s.extra, 7);
  }
}

// A dynamic block header that sends each length as itself, with a
// code-length code of four bits for each of 0 to 15 (a complete code).
void PutDynamicHeader(BitWriter* out, bool last, const Huffman& lengths,
                      const Huffman& distances) {
  std::vector<int> code_lengths(19, 0);
  std::fill(code_lengths.begin(), code_lengths.begin() + 16, 4);
  std::vector<LengthSymbol> symbols;
  for (int length : lengths.lengths) symbols.push_back({length});
  for (int length : distances.lengths) symbols.push_back({length});
  PutDynamicHeader(out, last, static_cast<int>(lengths.lengths.size()),
                   static_cast<int>(distances.lengths.size()), code_lengths, 19,
                   symbols);
}

// Literal/length code lengths: 257 entries (or `size`) with the given ones.
Huffman LengthCode(std::initializer_list<std::pair<int, int>> set,
                   int size = 257) {
  std::vector<int> lengths(size, 0);
  for (const auto& [symbol, length] : set) lengths[symbol] = length;
  return Huffman(lengths);
}

constexpr int kEnd = 256;

// "aa" and the end of block, in a last dynamic block with these codes
// ('a' and the end-of-block code must have one).
std::string TwoAs(const Huffman& lengths, const Huffman& distances) {
  BitWriter out;
  PutDynamicHeader(&out, true, lengths, distances);
  lengths.Put(&out, 'a');
  lengths.Put(&out, 'a');
  lengths.Put(&out, kEnd);
  return out.bytes();
}

// The code-length code of the raw header cases: 0 and 1 at length 2, 18 at
// length 1 (complete); 18 lengths sent cover symbol 1 in the header's order.
std::vector<int> SmallLengthCode() {
  std::vector<int> lengths(19, 0);
  lengths[0] = 2;
  lengths[1] = 2;
  lengths[18] = 1;
  return lengths;
}

struct BadCase {
  const char* name;
  std::string stream;
  Outcome zlib;  // what zlib says of the whole stream, as the case intends
};

std::vector<BadCase> BadCases() {
  std::vector<BadCase> cases;
  auto add = [&cases](const char* name, const std::string& stream,
                      Outcome zlib = Outcome::kError) {
    cases.push_back({name, stream, zlib});
  };
  const Huffman one_distance({1});
  const Huffman no_distance({0});

  add("block_type_3", BitWriter().Bits(1, 1).Bits(3, 2).Bits(0, 16).bytes());
  add("stored_length_mismatch", BitWriter()
                                    .Bits(1, 1)
                                    .Bits(0, 2)
                                    .Align()
                                    .Bits(3, 16)
                                    .Bits(0xfffd, 16)
                                    .Bytes("abc")
                                    .bytes());
  add("stored_lengths_match",
      BitWriter()
          .Bits(1, 1)
          .Bits(0, 2)
          .Align()
          .Bits(3, 16)
          .Bits(0xfffc, 16)
          .Bytes("abc")
          .bytes(),
      Outcome::kEnd);

  // Counts beyond what DEFLATE allows.
  for (int size : {287, 288}) {
    add(size == 287 ? "287_length_codes" : "288_length_codes",
        TwoAs(LengthCode({{'a', 1}, {kEnd, 1}}, size), no_distance));
  }
  add("286_length_codes",
      TwoAs(LengthCode({{'a', 1}, {kEnd, 1}}, 286), no_distance),
      Outcome::kEnd);
  add("31_distance_codes",
      TwoAs(LengthCode({{'a', 1}, {kEnd, 1}}), Huffman(std::vector<int>(31))));
  add("32_distance_codes",
      TwoAs(LengthCode({{'a', 1}, {kEnd, 1}}), Huffman(std::vector<int>(32))));
  add("30_distance_codes",
      TwoAs(LengthCode({{'a', 1}, {kEnd, 1}}), Huffman(std::vector<int>(30))),
      Outcome::kEnd);

  // The code-length code: 'a' and the end of block at length 1 (runs of
  // zeros between), no distance code.
  auto with_code = [&](std::vector<int> code_lengths) {
    BitWriter out;
    PutDynamicHeader(
        &out, true, 257, 1, code_lengths, 18,
        {{18, 97 - 11}, {1}, {18, 138 - 11}, {18, 20 - 11}, {1}, {0}});
    out.Code(0, 1).Code(0, 1).Code(1, 1);  // 'a', 'a', end
    return out.bytes();
  };
  add("length_code_complete", with_code(SmallLengthCode()), Outcome::kEnd);
  {
    std::vector<int> incomplete = SmallLengthCode();
    incomplete[18] = 2;
    add("length_code_incomplete", with_code(incomplete));
    std::vector<int> oversubscribed = SmallLengthCode();
    oversubscribed[17] = 1;
    add("length_code_oversubscribed", with_code(oversubscribed));
    std::vector<int> single(19, 0);
    single[1] = 1;
    add("length_code_single", with_code(single));
  }
  {
    // No code-length code at all: zlib reads 258 bits before it refuses.
    BitWriter out;
    PutDynamicHeader(&out, true, 257, 1, std::vector<int>(19, 0), 4, {});
    out.Bits(0, 32).Bits(0, 32).Bits(0, 32).Bits(0, 32).Bits(0, 32);
    out.Bits(0, 32).Bits(0, 32).Bits(0, 32).Bits(0, 32);
    add("length_code_empty", out.bytes());
  }
  {
    BitWriter out;
    std::vector<int> code_lengths(19, 0);
    code_lengths[16] = 1;
    code_lengths[0] = 2;
    code_lengths[2] = 2;
    PutDynamicHeader(&out, true, 257, 1, code_lengths, 16, {{16, 0}});
    out.Bits(0, 32);
    add("repeat_without_length", out.bytes());
  }
  {
    BitWriter out;
    PutDynamicHeader(&out, true, 257, 1, SmallLengthCode(), 18,
                     {{18, 127}, {18, 127}, {18, 0}});
    out.Bits(0, 32);
    add("repeat_past_end", out.bytes());
  }

  // Literal/length codes.
  add("lengths_incomplete",
      TwoAs(LengthCode({{'a', 2}, {kEnd, 2}}), one_distance));
  add("lengths_oversubscribed",
      TwoAs(LengthCode({{'a', 1}, {'b', 1}, {kEnd, 1}}), one_distance));
  add("lengths_complete", TwoAs(LengthCode({{'a', 1}, {kEnd, 1}}), no_distance),
      Outcome::kEnd);
  {
    const Huffman end_only = LengthCode({{kEnd, 1}});
    BitWriter out;
    PutDynamicHeader(&out, true, end_only, one_distance);
    end_only.Put(&out, kEnd);
    add("lengths_single_code", out.bytes(), Outcome::kEnd);
    BitWriter bad;
    PutDynamicHeader(&bad, true, end_only, one_distance);
    bad.Code(1, 1).Bits(0, 16);
    add("lengths_single_code_missing_one_used", bad.bytes());
    BitWriter longer;
    const Huffman end_at_2 = LengthCode({{kEnd, 2}});
    PutDynamicHeader(&longer, true, end_at_2, one_distance);
    end_at_2.Put(&longer, kEnd);
    add("lengths_single_code_of_length_2", longer.bytes());
  }
  add("lengths_without_end_of_block",
      TwoAs(LengthCode({{'a', 1}, {'b', 1}}), one_distance));

  // Distance codes, with 'a' and a match of 3.
  const Huffman a_and_match = LengthCode({{'a', 1}, {kEnd, 2}, {257, 2}}, 258);
  auto match = [&](const Huffman& distances, uint32_t distance_code,
                   int distance_length) {
    BitWriter out;
    PutDynamicHeader(&out, true, a_and_match, distances);
    a_and_match.Put(&out, 'a');
    a_and_match.Put(&out, 'a');
    a_and_match.Put(&out, 257);
    out.Code(distance_code, distance_length);
    a_and_match.Put(&out, kEnd);
    return out.bytes();
  };
  add("distances_incomplete", match(Huffman({2, 2}), 0, 2));
  add("distances_oversubscribed", match(Huffman({1, 1, 1}), 0, 1));
  add("distances_complete", match(Huffman({1, 1}), 1, 1), Outcome::kEnd);
  add("distances_single_code", match(one_distance, 0, 1), Outcome::kEnd);
  add("distances_single_code_missing_one_used", match(one_distance, 1, 1));
  add("distances_single_code_of_length_2", match(Huffman({2}), 0, 2));
  add("distances_none_but_used", match(no_distance, 0, 0));
  add("distances_none", TwoAs(a_and_match, no_distance), Outcome::kEnd);

  // Fixed blocks: codes that the fixed code has but DEFLATE does not use.
  const Huffman& fixed = FixedLengths();
  auto fixed_block = [&](const std::function<void(BitWriter*)>& body) {
    BitWriter out;
    out.Bits(1, 1).Bits(1, 2);
    fixed.Put(&out, 'a');
    fixed.Put(&out, 'b');
    fixed.Put(&out, 'c');
    body(&out);
    fixed.Put(&out, kEnd);
    out.Bits(0, 16);
    return out.bytes();
  };
  add("fixed_length_286",
      fixed_block([&](BitWriter* o) { fixed.Put(o, 286); }));
  add("fixed_length_287",
      fixed_block([&](BitWriter* o) { fixed.Put(o, 287); }));
  {
    // Six 9-bit literals put code 286's first 7 bits at the end of a byte:
    // cut there, zlib waits for the 8th bit before it refuses.
    BitWriter out;
    out.Bits(1, 1).Bits(1, 2);
    for (int i = 0; i < 6; ++i) fixed.Put(&out, 200);
    fixed.Put(&out, 286);
    add("fixed_length_286_on_a_byte_boundary", out.bytes());
  }
  for (int symbol : {30, 31}) {
    add(symbol == 30 ? "fixed_distance_30" : "fixed_distance_31",
        fixed_block([&](BitWriter* o) {
          fixed.Put(o, 257);
          FixedDistances().Put(o, symbol);
          o->Bits(0, 14);
        }));
  }
  add("fixed_distance_3", fixed_block([&](BitWriter* o) {
        fixed.Put(o, 257);
        PutDistance(o, FixedDistances(), 3);
      }),
      Outcome::kEnd);
  add("fixed_distance_4_too_far", fixed_block([&](BitWriter* o) {
        fixed.Put(o, 257);
        PutDistance(o, FixedDistances(), 4);
      }));
  {
    BitWriter out;
    out.Bits(1, 1).Bits(1, 2);
    fixed.Put(&out, 257);
    PutDistance(&out, FixedDistances(), 1);
    fixed.Put(&out, kEnd);
    add("fixed_distance_before_any_output", out.bytes());
  }
  return cases;
}

// Each bad stream, whole, in pieces, and cut at every byte, against zlib.
TEST(RawInflaterTest, HandMadeStreamsLikeZlib) {
  for (const BadCase& c : BadCases()) {
    SCOPED_TRACE(c.name);
    // The case is what it claims to be.
    ASSERT_EQ(Name(Zlib(c.stream).outcome), Name(c.zlib));
    ExpectLikeZlib(c.stream, Fixed(SIZE_MAX, 1 << 20), "whole");
    ExpectLikeZlib(c.stream, Fixed(1, 1), "1 in, 1 out");
    ExpectLikeZlib(c.stream, Random(10, 5, 10), "random pieces");
    for (size_t size = 0; size < c.stream.size(); ++size) {
      ExpectLikeZlib(c.stream.substr(0, size), Fixed(SIZE_MAX, 1 << 20),
                     "cut at " + std::to_string(size));
      ExpectLikeZlib(c.stream.substr(0, size), Fixed(1, 3),
                     "pieces, cut at " + std::to_string(size));
    }
  }
}

// Back references reach into earlier blocks, up to 32 KiB back, and only as
// far as there is output; the output before comes from earlier calls too.
TEST(RawInflaterTest, DistancesAcrossBlocks) {
  const std::string data = Text(40000, 11);
  auto stream = [&data](size_t stored, int distance) {
    BitWriter out;
    out.Bits(0, 1).Bits(0, 2).Align();
    out.Bits(static_cast<uint32_t>(stored), 16)
        .Bits(static_cast<uint32_t>(stored) ^ 0xffff, 16);
    out.Bytes(data.substr(0, stored));
    out.Bits(1, 1).Bits(1, 2);
    FixedLengths().Put(&out, 285);  // length 258
    PutDistance(&out, FixedDistances(), distance);
    FixedLengths().Put(&out, kEnd);
    return out.bytes();
  };
  struct Case {
    size_t stored;
    int distance;
    Outcome zlib;
  };
  for (const Case& c :
       {Case{40000, 32768, Outcome::kEnd}, Case{32768, 32768, Outcome::kEnd},
        Case{32767, 32768, Outcome::kError}, Case{300, 300, Outcome::kEnd},
        Case{300, 301, Outcome::kError}}) {
    SCOPED_TRACE(std::to_string(c.stored) + " stored, distance " +
                 std::to_string(c.distance));
    const std::string s = stream(c.stored, c.distance);
    ASSERT_EQ(Name(Zlib(s).outcome), Name(c.zlib));
    ExpectLikeZlib(s, Fixed(SIZE_MAX, 1 << 20), "whole");
    ExpectLikeZlib(s, Fixed(SIZE_MAX, 1000), "room of 1000");
    ExpectLikeZlib(s, Fixed(7, 1), "7 in, 1 out");
    ExpectLikeZlib(s, Random(12, 3000, 40000), "random pieces");
  }
}

TEST(RawInflaterTest, OutcomeStaysAndResetStartsAnew) {
  const std::string text = Text(50000, 13);
  const std::string good = Deflate({text}, 9);
  const std::string bad =
      TwoAs(LengthCode({{'a', 2}, {kEnd, 2}}), Huffman({1}));
  for (const auto& [stream, result] :
       {std::pair{good, RawInflater::Result::kEnd},
        std::pair{bad, RawInflater::Result::kError}}) {
    RawInflater inflater;
    const Inflation first =
        Inflate(&inflater, stream, Fixed(SIZE_MAX, 1 << 20));
    ASSERT_EQ(Name(first.outcome), Name(Zlib(stream).outcome));
    unsigned char out[16];
    size_t written = 1;
    inflater.Feed(reinterpret_cast<const unsigned char*>(good.data()),
                  good.size());
    EXPECT_EQ(inflater.Inflate(out, sizeof out, &written), result);
    EXPECT_EQ(written, 0u);

    // Reset in the middle of the next stream, then a whole one.
    inflater.Reset();
    inflater.Feed(reinterpret_cast<const unsigned char*>(good.data()), 400);
    EXPECT_EQ(inflater.Inflate(out, sizeof out, &written),
              RawInflater::Result::kOk);
    EXPECT_EQ(written, sizeof out);
    inflater.Reset();
    const Inflation second = Inflate(&inflater, good, Random(14, 1000, 5000));
    EXPECT_EQ(Name(second.outcome), Name(Outcome::kEnd));
    EXPECT_TRUE(second.bytes == text);
  }
}

}  // namespace
