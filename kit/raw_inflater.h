// One raw DEFLATE stream (no header, no checksum) inflated in pieces: the
// single place where the program turns a kit's bytes back into its container.
// Built on ISA-L's inflater for speed; it accepts and refuses exactly what
// zlib's raw inflate does, because kits in the field were written and checked
// with zlib (see the differential fuzz target `inflate`).
#ifndef KIT_RAW_INFLATER_H_
#define KIT_RAW_INFLATER_H_

#include <cstddef>
#include <memory>

struct inflate_state;

class RawInflater {
 public:
  enum class Result {
    kOk,     // progress made; more input or more room is needed to go on
    kEnd,    // the stream's last block is complete; later input is ignored
    kError,  // not valid DEFLATE (where zlib reports a data error)
  };

  RawInflater();
  ~RawInflater();
  RawInflater(const RawInflater&) = delete;
  RawInflater& operator=(const RawInflater&) = delete;

  // The next piece of input. It must stay valid until input_left() is 0 or
  // the stream has ended or failed.
  void Feed(const unsigned char* input, size_t size);
  size_t input_left() const;

  // Inflates into out[0, capacity); *written is what this call produced.
  // Once kEnd or kError has been returned, it is returned again.
  Result Inflate(unsigned char* out, size_t capacity, size_t* written);

  // Ready for a new stream.
  void Reset();

 private:
  std::unique_ptr<inflate_state> state_;
  Result final_ = Result::kOk;
};

#endif  // KIT_RAW_INFLATER_H_
