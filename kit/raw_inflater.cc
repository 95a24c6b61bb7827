#include "kit/raw_inflater.h"

#include <isa-l/igzip_lib.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr size_t kWindow = ISAL_DEF_HIST_SIZE;
// A block header takes at most 2,286 bits (286 bytes); ISA-L may hand back
// as many bytes as its own input buffer holds.
constexpr size_t kPendingCapacity = 1024;
static_assert(ISAL_DEF_MAX_HDR_SIZE + 300 <= kPendingCapacity);

constexpr int kMaxLengthCodes = 286;
constexpr int kMaxDistanceCodes = 30;
constexpr int kEndOfBlock = 256;

// Reads bits in stream order (least significant first) from a few bits
// already taken out of the bytes, then from two byte ranges.
class BitReader {
 public:
  BitReader(uint64_t bits, int count, const unsigned char* first,
            size_t first_size, const unsigned char* second, size_t second_size)
      : hold_(bits),
        count_(count),
        first_(first),
        first_left_(first_size),
        second_(second),
        second_left_(second_size) {}

  // True when `n` (at most 32) more bits are there.
  bool Need(int n) {
    while (count_ < n) {
      unsigned char byte;
      if (first_left_ > 0) {
        byte = *first_++;
        --first_left_;
      } else if (second_left_ > 0) {
        byte = *second_++;
        --second_left_;
      } else {
        return false;
      }
      hold_ |= static_cast<uint64_t>(byte) << count_;
      count_ += 8;
    }
    return true;
  }
  // REQUIRES: Need(n).
  uint32_t Peek(int n) const {
    return static_cast<uint32_t>(hold_ & ((1ull << n) - 1));
  }
  // REQUIRES: Need(n).
  uint32_t Take(int n) {
    const uint32_t value = static_cast<uint32_t>(hold_ & ((1ull << n) - 1));
    hold_ >>= n;
    count_ -= n;
    return value;
  }
  // Drops the bits up to the next byte boundary: what is held ends on one.
  void ToByte() { Take(count_ % 8); }

 private:
  uint64_t hold_;
  int count_;
  const unsigned char* first_;
  size_t first_left_;
  const unsigned char* second_;
  size_t second_left_;
};

enum class Shape { kEmpty, kComplete, kIncomplete, kOversubscribed };

// How zlib's table builder judges a code with these lengths; `count`
// receives the codes of each length, `max` the longest.
Shape ShapeOf(const unsigned char* lengths, int n, int count[16], int* max) {
  std::fill(count, count + 16, 0);
  for (int i = 0; i < n; ++i) ++count[lengths[i]];
  count[0] = 0;
  for (*max = 15; *max > 0 && count[*max] == 0; --*max) {
  }
  if (*max == 0) return Shape::kEmpty;
  int left = 1;
  for (int length = 1; length <= 15; ++length) {
    left = (left << 1) - count[length];
    if (left < 0) return Shape::kOversubscribed;
  }
  return left > 0 ? Shape::kIncomplete : Shape::kComplete;
}

// Literal/length and distance codes: zlib lets an incomplete code through
// only when it is a single code of length 1.
bool UsableCode(const unsigned char* lengths, int n) {
  int count[16], max;
  switch (ShapeOf(lengths, n, count, &max)) {
    case Shape::kEmpty:
    case Shape::kComplete:
      return true;
    case Shape::kIncomplete:
      return max == 1;
    case Shape::kOversubscribed:
      return false;
  }
  return false;
}

// The code-length code, complete, for reading the lengths: 7 bits at a
// time (its longest code) while there are 7 bits, else bit by bit, as zlib
// needs just the code's bits before it goes on.
class LengthCode {
 public:
  // REQUIRES: ShapeOf(lengths, 19, ...) is kComplete.
  explicit LengthCode(const unsigned char lengths[19]) {
    int max;
    ShapeOf(lengths, 19, count_, &max);
    int offset[9] = {};
    uint32_t next[8] = {};
    for (int length = 1; length < 8; ++length) {
      offset[length + 1] = offset[length] + count_[length];
      next[length] = (next[length - 1] + count_[length - 1]) << 1;
    }
    for (int symbol = 0; symbol < 19; ++symbol) {
      const int length = lengths[symbol];
      if (length == 0) continue;
      sorted_[offset[length]++] = static_cast<uint8_t>(symbol);
      const uint32_t code = next[length]++;
      uint32_t reversed = 0;  // the stream holds a code's first bit lowest
      for (int i = 0; i < length; ++i) {
        reversed |= ((code >> i) & 1) << (length - 1 - i);
      }
      for (uint32_t i = reversed; i < 128; i += 1u << length) {
        table_[i] = {static_cast<uint8_t>(symbol),
                     static_cast<uint8_t>(length)};
      }
    }
  }

  // False when the bits run out.
  bool Decode(BitReader* bits, int* symbol) const {
    if (bits->Need(7)) {
      const Entry entry = table_[bits->Peek(7)];
      bits->Take(entry.length);
      *symbol = entry.symbol;
      return true;
    }
    int code = 0, first = 0, index = 0;
    for (int length = 1; length < 8; ++length) {
      if (!bits->Need(1)) return false;
      code |= static_cast<int>(bits->Take(1));
      if (code - first < count_[length]) {
        *symbol = sorted_[index + code - first];
        return true;
      }
      index += count_[length];
      first = (first + count_[length]) << 1;
      code <<= 1;
    }
    return false;  // not reached for a complete code
  }

 private:
  struct Entry {
    uint8_t symbol, length;
  };
  int count_[16];
  uint8_t sorted_[19] = {};  // the symbols by code length, then value
  Entry table_[128];
};

// How far reading a dynamic block's code lengths got.
enum class Progress { kNeedMore, kBad, kDone };

// Reads the `total` literal/length and distance code lengths of a dynamic
// block into `lengths`, with the repeats of codes 16, 17 and 18.
template <typename Bits, typename Code>
Progress ReadCodeLengths(Bits* bits, const Code& length_code, int total,
                         unsigned char* lengths) {
  int have = 0;
  while (have < total) {
    int symbol;
    if (!length_code.Decode(bits, &symbol)) return Progress::kNeedMore;
    if (symbol < 16) {
      lengths[have++] = static_cast<unsigned char>(symbol);
      continue;
    }
    unsigned char repeated = 0;
    int copies;
    if (symbol == 16) {
      if (!bits->Need(2)) return Progress::kNeedMore;
      if (have == 0) return Progress::kBad;
      repeated = lengths[have - 1];
      copies = 3 + static_cast<int>(bits->Take(2));
    } else if (symbol == 17) {
      if (!bits->Need(3)) return Progress::kNeedMore;
      copies = 3 + static_cast<int>(bits->Take(3));
    } else {
      if (!bits->Need(7)) return Progress::kNeedMore;
      copies = 11 + static_cast<int>(bits->Take(7));
    }
    if (have + copies > total) return Progress::kBad;
    std::memset(lengths + have, repeated, copies);
    have += copies;
  }
  return Progress::kDone;
}

}  // namespace

RawInflater::RawInflater()
    : state_(std::make_unique<inflate_state>()),
      zlib_(std::make_unique<z_stream>()),
      pending_(std::make_unique<unsigned char[]>(kPendingCapacity)),
      history_(std::make_unique<unsigned char[]>(2 * kWindow)) {
  zlib_ready_ = inflateInit2(zlib_.get(), -15) == Z_OK;
  Reset();
}

RawInflater::~RawInflater() {
  if (zlib_ready_) inflateEnd(zlib_.get());
}

void RawInflater::Reset() {
  isal_inflate_init(state_.get());
  state_->crc_flag = ISAL_DEFLATE;
  final_ = Result::kOk;
  in_header_ = true;
  last_block_ = false;
  fixed_block_ = false;
  zlib_last_byte_ = 0;
  input_ = nullptr;
  input_size_ = 0;
  carry_ = 0;
  carry_count_ = 0;
  pending_start_ = pending_end_ = 0;
  history_size_ = 0;
}

void RawInflater::Feed(const unsigned char* input, size_t size) {
  input_ = input;
  input_size_ = size;
}

// The order of the checks and the bits each one waits for are zlib's, so
// that a stream cut anywhere is refused or awaited as zlib does.
RawInflater::HeaderCheck RawInflater::CheckHeader(bool* last,
                                                  bool* fixed) const {
  BitReader bits(carry_, carry_count_, pending_.get() + pending_start_,
                 pending_end_ - pending_start_, input_, input_size_);
  if (!bits.Need(3)) return HeaderCheck::kNeedMore;
  *last = bits.Take(1) != 0;
  const uint32_t type = bits.Take(2);
  *fixed = type == 1;
  switch (type) {
    case 0: {
      bits.ToByte();
      if (!bits.Need(32)) return HeaderCheck::kNeedMore;
      const uint32_t length = bits.Take(16);
      return bits.Take(16) == (length ^ 0xffff) ? HeaderCheck::kGood
                                                : HeaderCheck::kBad;
    }
    case 1:
      return HeaderCheck::kGood;
    case 3:
      return HeaderCheck::kBad;
  }

  if (!bits.Need(14)) return HeaderCheck::kNeedMore;
  const int length_codes = static_cast<int>(bits.Take(5)) + 257;
  const int distance_codes = static_cast<int>(bits.Take(5)) + 1;
  const int length_code_codes = static_cast<int>(bits.Take(4)) + 4;
  if (length_codes > kMaxLengthCodes || distance_codes > kMaxDistanceCodes) {
    return HeaderCheck::kBad;
  }
  static constexpr int kOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                     11, 4,  12, 3, 13, 2, 14, 1, 15};
  unsigned char code_lengths[19] = {};
  for (int i = 0; i < length_code_codes; ++i) {
    if (!bits.Need(3)) return HeaderCheck::kNeedMore;
    code_lengths[kOrder[i]] = static_cast<unsigned char>(bits.Take(3));
  }
  int count[16], max;
  const Shape shape = ShapeOf(code_lengths, 19, count, &max);
  const int total = length_codes + distance_codes;
  if (shape == Shape::kEmpty) {
    // zlib reads each length as a 0 of one bit, then misses the
    // end-of-block code.
    for (int i = 0; i < total; ++i) {
      if (!bits.Need(1)) return HeaderCheck::kNeedMore;
      bits.Take(1);
    }
    return HeaderCheck::kBad;
  }
  if (shape != Shape::kComplete) return HeaderCheck::kBad;
  const LengthCode length_code(code_lengths);

  unsigned char lengths[kMaxLengthCodes + kMaxDistanceCodes] = {};
  const Progress read = ReadCodeLengths(&bits, length_code, total, lengths);
  if (read != Progress::kDone) {
    return read == Progress::kNeedMore ? HeaderCheck::kNeedMore
                                       : HeaderCheck::kBad;
  }
  if (lengths[kEndOfBlock] == 0) return HeaderCheck::kBad;
  if (!UsableCode(lengths, length_codes) ||
      !UsableCode(lengths + length_codes, distance_codes)) {
    return HeaderCheck::kBad;
  }
  return HeaderCheck::kGood;
}

// The input that a header still waits for is kept, as zlib keeps it in its
// bit buffer, so that the caller may reuse its buffer.
void RawInflater::StashInput() {
  if (pending_start_ > 0) {
    std::memmove(pending_.get(), pending_.get() + pending_start_,
                 pending_end_ - pending_start_);
    pending_end_ -= pending_start_;
    pending_start_ = 0;
  }
  // A header needing more is shorter than what is here, so it fits.
  const size_t size = std::min(input_size_, kPendingCapacity - pending_end_);
  std::memcpy(pending_.get() + pending_end_, input_, size);
  pending_end_ += size;
  input_ += size;
  input_size_ -= size;
}

bool RawInflater::StartIsal() {
  inflate_state& s = *state_;
  isal_inflate_reset(&s);
  s.crc_flag = ISAL_DEFLATE;
  if (history_size_ > 0) {
    const size_t size = std::min(history_size_, kWindow);
    if (isal_inflate_set_dict(&s, history_.get() + history_size_ - size,
                              static_cast<uint32_t>(size)) != COMP_OK) {
      return false;
    }
  }
  // The header's first bit says "last block": set it for ISA-L, so that it
  // stops at this block's end. It must be in the bit buffer for that.
  if (carry_count_ == 0) {
    if (pending_start_ < pending_end_) {
      carry_ = pending_[pending_start_++];
    } else {
      carry_ = *input_++;
      --input_size_;
    }
    carry_count_ = 8;
  }
  s.read_in = carry_ | 1;
  s.read_in_length = carry_count_;
  carry_ = 0;
  carry_count_ = 0;
  return true;
}

// zlib reads the header again itself. Its bit buffer takes only the bits
// short of a whole byte; the whole bytes go back before the pending ones.
bool RawInflater::StartZlib() {
  z_stream& z = *zlib_;
  if (!zlib_ready_ || inflateReset(&z) != Z_OK) return false;
  if (history_size_ > 0) {
    const size_t size = std::min(history_size_, kWindow);
    if (inflateSetDictionary(&z, history_.get() + history_size_ - size,
                             static_cast<uInt>(size)) != Z_OK) {
      return false;
    }
  }
  const int partial = carry_count_ % 8;
  if (partial > 0 &&
      inflatePrime(&z, partial,
                   static_cast<int>(carry_ & ((1u << partial) - 1))) != Z_OK) {
    return false;
  }
  const size_t whole = static_cast<size_t>(carry_count_ / 8);
  if (whole > 0) {
    const size_t rest = pending_end_ - pending_start_;
    std::memmove(pending_.get() + whole, pending_.get() + pending_start_, rest);
    for (size_t i = 0; i < whole; ++i) {
      pending_[i] = static_cast<unsigned char>(carry_ >> (partial + 8 * i));
    }
    pending_start_ = 0;
    pending_end_ = whole + rest;
  }
  carry_ = 0;
  carry_count_ = 0;
  return true;
}

void RawInflater::EndIsal() {
  inflate_state& s = *state_;
  carry_count_ = s.read_in_length;
  carry_ =
      carry_count_ >= 64 ? s.read_in : s.read_in & ((1ull << carry_count_) - 1);
  // Bytes ISA-L took into its own buffer but did not read come next.
  const size_t buffered = s.tmp_in_size > 0 ? s.tmp_in_size : 0;
  if (buffered > 0) {
    const size_t rest = pending_end_ - pending_start_;
    std::memmove(pending_.get() + buffered, pending_.get() + pending_start_,
                 rest);
    std::memcpy(pending_.get(), s.tmp_in_buffer, buffered);
    pending_start_ = 0;
    pending_end_ = buffered + rest;
    s.tmp_in_size = 0;
  }
}

void RawInflater::KeepHistory(const unsigned char* data, size_t size) {
  if (size >= kWindow) {
    std::memcpy(history_.get(), data + size - kWindow, kWindow);
    history_size_ = kWindow;
    return;
  }
  if (history_size_ + size > 2 * kWindow) {
    const size_t keep = kWindow - size;
    std::memmove(history_.get(), history_.get() + history_size_ - keep, keep);
    history_size_ = keep;
  }
  std::memcpy(history_.get() + history_size_, data, size);
  history_size_ += size;
}

RawInflater::Result RawInflater::Inflate(unsigned char* out, size_t capacity,
                                         size_t* written) {
  *written = 0;
  if (final_ != Result::kOk) return final_;
  size_t done = 0;  // bytes of `out` filled
  size_t kept = 0;  // of which are in the history already
  for (;;) {
    if (in_header_) {
      bool last = false, fixed = false;
      const HeaderCheck check = CheckHeader(&last, &fixed);
      if (check == HeaderCheck::kBad) {
        final_ = Result::kError;
        break;
      }
      if (check == HeaderCheck::kNeedMore) {
        StashInput();
        break;
      }
      if (!(fixed ? StartZlib() : StartIsal())) {
        final_ = Result::kError;
        break;
      }
      last_block_ = last;
      fixed_block_ = fixed;
      in_header_ = false;
    }
    if (done == capacity) break;

    // Bytes kept from before go first.
    const bool from_pending = pending_start_ < pending_end_;
    const unsigned char* source =
        from_pending ? pending_.get() + pending_start_ : input_;
    const size_t source_size =
        from_pending ? pending_end_ - pending_start_ : input_size_;
    size_t taken = 0, produced = 0;
    const Step step = fixed_block_
                          ? RunZlib(source, source_size, out + done,
                                    capacity - done, &taken, &produced)
                          : RunIsal(source, source_size, out + done,
                                    capacity - done, &taken, &produced);
    if (step == Step::kError) {
      final_ = Result::kError;
      break;
    }
    done += produced;
    if (from_pending) {
      pending_start_ += taken;
    } else {
      input_ += taken;
      input_size_ -= taken;
    }
    if (step == Step::kBlockEnd) {
      if (last_block_) {
        final_ = Result::kEnd;
        break;
      }
      KeepHistory(out + kept, done - kept);
      kept = done;
      in_header_ = true;
      continue;
    }
    // Go on while it moves, so that stopping really means "needs more".
    if (from_pending && pending_start_ == pending_end_) continue;
    if (step == Step::kStuck) break;
  }
  if (final_ == Result::kOk) KeepHistory(out + kept, done - kept);
  *written = done;
  return final_;
}

RawInflater::Step RawInflater::RunIsal(const unsigned char* source,
                                       size_t source_size, unsigned char* out,
                                       size_t room, size_t* taken,
                                       size_t* produced) {
  inflate_state& s = *state_;
  s.next_in = const_cast<unsigned char*>(source);
  s.avail_in = static_cast<uint32_t>(source_size);
  s.next_out = out;
  s.avail_out = static_cast<uint32_t>(room);
  const int before_state = s.block_state;
  // On an error ISA-L's input count is not to be trusted. Nor if it hands
  // back more than it took in this call: the bytes before `source` may be
  // gone.
  if (isal_inflate(&s) < 0 || s.avail_in > source_size) return Step::kError;
  *taken = source_size - s.avail_in;
  *produced = room - s.avail_out;
  if (s.block_state == ISAL_BLOCK_FINISH) {
    EndIsal();
    return Step::kBlockEnd;
  }
  // ISA-L may stop after a block header or with bits still buffered.
  if (*taken == 0 && *produced == 0 && s.block_state == before_state) {
    return Step::kStuck;
  }
  return Step::kMoved;
}

RawInflater::Step RawInflater::RunZlib(const unsigned char* source,
                                       size_t source_size, unsigned char* out,
                                       size_t room, size_t* taken,
                                       size_t* produced) {
  z_stream& z = *zlib_;
  z.next_in = const_cast<unsigned char*>(source);
  z.avail_in = static_cast<uInt>(source_size);
  z.next_out = out;
  z.avail_out = static_cast<uInt>(room);
  const int rc = inflate(&z, Z_BLOCK);
  if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) {
    return Step::kError;
  }
  *taken = source_size - z.avail_in;
  *produced = room - z.avail_out;
  if (*taken > 0) zlib_last_byte_ = source[*taken - 1];
  // At a block's end zlib holds the last byte's unused high bits. It is
  // between blocks at the start too, before it has taken any byte.
  if (rc == Z_STREAM_END || ((z.data_type & 128) != 0 && z.total_in > 0)) {
    carry_count_ = z.data_type & 7;
    carry_ = zlib_last_byte_ >> (8 - carry_count_);
    return Step::kBlockEnd;
  }
  return *taken == 0 && *produced == 0 ? Step::kStuck : Step::kMoved;
}
