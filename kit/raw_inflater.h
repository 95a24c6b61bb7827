// One raw DEFLATE stream (no header, no checksum) inflated in pieces: the
// single place where the program turns a kit's bytes back into its container.
// Built on ISA-L's inflater for speed; it accepts and refuses exactly what
// zlib's raw inflate does, because kits in the field were written and checked
// with zlib (see the differential fuzz target `inflate`).
//
// How: ISA-L inflates one block at a time, told that each block is the
// stream's last, so that it stops at every block's end. Between blocks the
// inflater reads the next block header itself, as zlib reads it, refuses
// what zlib refuses, and then starts ISA-L afresh on that block with the last
// 32 KiB of output as its history. Stored and dynamic blocks (all the bulk
// of a kit) are ISA-L's; the header check and the restart cost a few per
// cent against ISA-L alone. Fixed-code blocks, which zlib writes only for
// short stretches, go to zlib itself (see below).
//
// Where ISA-L on its own differs from zlib, and what is done about it:
// - An incomplete code (code-length, literal/length or distance code) passes
//   ISA-L until a missing code is read; zlib refuses the header. Checked in
//   the header, where zlib allows only a single code of length 1.
// - A code-length code with no codes at all: ISA-L refuses at once; zlib
//   reads one bit per code length and only then refuses (no end-of-block
//   code), so a stream that stops inside those bits is no error for it.
//   The header check follows zlib.
// - In a fixed-code block, input that stops 7 bits into code 286 or 287
//   (not used by DEFLATE) is refused by ISA-L at once; zlib waits for the
//   8th bit first. Fixed-code blocks are inflated by zlib.
// - Not changed: when the input stops inside a block, up to 2 bytes that
//   zlib has already given out may still be held back (ISA-L reads some
//   runs of literals with one table look-up and backs out the whole look-up
//   when its bits are incomplete). They come out once more input arrives;
//   a stream that simply ends there is truncated either way.
//
// One thread at a time; the object keeps no pointer to the output.
#ifndef KIT_RAW_INFLATER_H_
#define KIT_RAW_INFLATER_H_

#include <cstddef>
#include <cstdint>
#include <memory>

struct inflate_state;
struct z_stream_s;

class RawInflater {
 public:
  enum class Result {
    kOk,     // progress made; more input or more room is needed to go on
    kEnd,    // the stream's last block is complete; later input is ignored
    kError,  // not valid DEFLATE (where zlib reports a data error)
  };

  // What a stopped stream may lack against zlib's output (see above).
  static constexpr size_t kMaxHeldBack = 2;

  RawInflater();
  ~RawInflater();
  RawInflater(const RawInflater&) = delete;
  RawInflater& operator=(const RawInflater&) = delete;

  // The next piece of input, in place of what is left of the last one. It
  // must stay valid until input_left() is 0 or the stream has ended or
  // failed.
  void Feed(const unsigned char* input, size_t size);
  // The bytes of the fed piece not taken yet. After kOk it is 0 unless the
  // output room ran out.
  size_t input_left() const { return input_size_; }

  // After kEnd: the bytes that follow the stream's end in what was fed (the
  // rest of the last piece and what the inflater had taken ahead of it).
  size_t bytes_after_end() const {
    return input_size_ + (pending_end_ - pending_start_) +
           static_cast<size_t>(carry_count_ / 8);
  }

  // Inflates into out[0, capacity); *written is what this call produced.
  // Once kEnd or kError has been returned, it is returned again with
  // *written 0.
  Result Inflate(unsigned char* out, size_t capacity, size_t* written);

  // Ready for a new stream.
  void Reset();

 private:
  enum class HeaderCheck { kNeedMore, kBad, kGood };
  // One call of the block's inflater.
  enum class Step { kMoved, kStuck, kBlockEnd, kError };

  HeaderCheck CheckHeader(bool* last, bool* fixed) const;
  bool StartIsal();
  void EndIsal();
  bool StartZlib();
  Step RunIsal(const unsigned char* source, size_t source_size,
               unsigned char* out, size_t room, size_t* taken,
               size_t* produced);
  Step RunZlib(const unsigned char* source, size_t source_size,
               unsigned char* out, size_t room, size_t* taken,
               size_t* produced);
  void StashInput();
  void KeepHistory(const unsigned char* data, size_t size);

  std::unique_ptr<inflate_state> state_;
  // Fixed-code blocks (see above); `zlib_ready_` once initialised.
  std::unique_ptr<z_stream_s> zlib_;
  bool zlib_ready_ = false;
  unsigned char zlib_last_byte_ = 0;
  Result final_ = Result::kOk;
  // True between blocks, while the next header is awaited or checked.
  bool in_header_ = true;
  // The block under way: the stream's real last one? a fixed-code one?
  bool last_block_ = false;
  bool fixed_block_ = false;

  const unsigned char* input_ = nullptr;
  size_t input_size_ = 0;

  // The stream between blocks, in order: `carry_count_` bits left over by
  // the last block's inflater (low bits first), then pending_[pending_start_,
  // pending_end_): bytes taken from the input while a header was
  // incomplete, or handed back by the last block's inflater. Then the input.
  // While a block is inflated, its inflater takes the pending bytes first.
  uint64_t carry_ = 0;
  int carry_count_ = 0;
  std::unique_ptr<unsigned char[]> pending_;
  size_t pending_start_ = 0;
  size_t pending_end_ = 0;

  // The last output, for the next block's back references: the newest
  // history_size_ bytes (at most twice the window, so that appends rarely
  // move it).
  std::unique_ptr<unsigned char[]> history_;
  size_t history_size_ = 0;
};

#endif  // KIT_RAW_INFLATER_H_
