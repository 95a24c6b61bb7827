// Differential fuzz target for the raw inflater: the input after its first
// byte is a raw DEFLATE stream, inflated whole by zlib and in pieces by
// RawInflater. The first byte picks the pieces: its low half the size of the
// input pieces, its high half the room given to each Inflate call. Both must
// end, both refuse or both stop early (the input runs out); when both end
// the output is the same, when both stop the inflater's output is zlib's
// less at most RawInflater::kMaxHeldBack bytes at the end. When both refuse
// the bytes before the refusal are not compared: where in a bad block each
// one notices is theirs to choose.
#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "kit/raw_inflater.h"
#include "tests/fuzz/fuzz_util.h"

namespace {

// Both sides stop here, so that a small input cannot ask for gigabytes.
constexpr size_t kOutputCap = 64 << 20;
// After this many calls the room grows to its largest, so that one-byte
// pieces do not spend the run on a long output.
constexpr size_t kSmallCalls = 1 << 16;

constexpr size_t kInputPieces[16] = {
    1, 2, 3, 4, 5, 7, 8, 13, 31, 64, 100, 255, 512, 999, 4096, SIZE_MAX};
constexpr size_t kOutputPieces[16] = {1,     2,     3,     5,      8,    16,
                                      31,    64,    258,   300,    1024, 4096,
                                      32767, 32768, 65536, 1 << 20};

enum class Outcome { kEnd, kError, kStopped, kCapped };

Outcome Zlib(const uint8_t* data, size_t size, std::string* out) {
  z_stream stream{};
  FUZZ_CHECK(inflateInit2(&stream, -15) == Z_OK);
  stream.next_in = const_cast<Bytef*>(data);
  stream.avail_in = static_cast<uInt>(size);
  std::vector<unsigned char> chunk(1 << 16);
  Outcome outcome;
  for (;;) {
    const size_t room = std::min(chunk.size(), kOutputCap - out->size());
    stream.next_out = chunk.data();
    stream.avail_out = static_cast<uInt>(room);
    const int rc = inflate(&stream, Z_NO_FLUSH);
    out->append(reinterpret_cast<char*>(chunk.data()), room - stream.avail_out);
    if (rc == Z_STREAM_END) {
      outcome = Outcome::kEnd;
      break;
    }
    if (rc == Z_DATA_ERROR) {
      outcome = Outcome::kError;
      break;
    }
    FUZZ_CHECK(rc == Z_OK || rc == Z_BUF_ERROR);
    if (out->size() == kOutputCap) {
      outcome = Outcome::kCapped;
      break;
    }
    if (rc == Z_BUF_ERROR || (stream.avail_in == 0 && stream.avail_out > 0)) {
      outcome = Outcome::kStopped;
      break;
    }
  }
  inflateEnd(&stream);
  return outcome;
}

// Drives the inflater as the kit's inflation does: a piece of input, then
// Inflate until a call makes no progress.
Outcome Pieces(const uint8_t* data, size_t size, size_t input_piece,
               size_t output_piece, std::string* out) {
  RawInflater inflater;
  std::vector<unsigned char> buffer(kOutputPieces[15]);
  size_t fed = 0;
  size_t calls = 0;
  for (;;) {
    if (inflater.input_left() == 0) {
      if (fed == size) return Outcome::kStopped;
      const size_t piece = std::min(input_piece, size - fed);
      inflater.Feed(data + fed, piece);
      fed += piece;
    }
    for (;;) {
      const size_t room =
          std::min(++calls > kSmallCalls ? buffer.size() : output_piece,
                   kOutputCap - out->size());
      const size_t left = inflater.input_left();
      size_t written = 0;
      const RawInflater::Result result =
          inflater.Inflate(buffer.data(), room, &written);
      FUZZ_CHECK(written <= room);
      out->append(reinterpret_cast<char*>(buffer.data()), written);
      if (result != RawInflater::Result::kOk) {
        // The outcome stays, and nothing more comes.
        size_t again = 1;
        FUZZ_CHECK(inflater.Inflate(buffer.data(), room, &again) == result);
        FUZZ_CHECK(again == 0);
        return result == RawInflater::Result::kEnd ? Outcome::kEnd
                                                   : Outcome::kError;
      }
      if (out->size() == kOutputCap) return Outcome::kCapped;
      // Input is left over only when the room ran out; the kit's inflation
      // would wait for it forever otherwise.
      FUZZ_CHECK(written == room || inflater.input_left() == 0);
      if (written == 0 && inflater.input_left() == left) break;
    }
  }
}

}  // namespace

extern "C" int FUZZ_ENTRY(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t input_piece = kInputPieces[data[0] & 15];
  const size_t output_piece = kOutputPieces[data[0] >> 4];
  ++data;
  --size;

  std::string expected;
  const Outcome zlib = Zlib(data, size, &expected);
  std::string got;
  const Outcome ours = Pieces(data, size, input_piece, output_piece, &got);

  FUZZ_CHECK(ours == zlib);
  switch (zlib) {
    case Outcome::kEnd:
    case Outcome::kCapped:
      FUZZ_CHECK(got == expected);
      break;
    case Outcome::kStopped:
      FUZZ_CHECK(got.size() <= expected.size());
      FUZZ_CHECK(expected.size() - got.size() <= RawInflater::kMaxHeldBack);
      FUZZ_CHECK(expected.compare(0, got.size(), got) == 0);
      break;
    case Outcome::kError:
      break;
  }
  return 0;
}
