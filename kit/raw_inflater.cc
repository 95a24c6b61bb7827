#include "kit/raw_inflater.h"

#include <isa-l/igzip_lib.h>

RawInflater::RawInflater() : state_(std::make_unique<inflate_state>()) {
  Reset();
}

RawInflater::~RawInflater() = default;

void RawInflater::Reset() {
  isal_inflate_init(state_.get());
  state_->crc_flag = ISAL_DEFLATE;
  final_ = Result::kOk;
}

void RawInflater::Feed(const unsigned char* input, size_t size) {
  state_->next_in = const_cast<unsigned char*>(input);
  state_->avail_in = static_cast<uint32_t>(size);
}

size_t RawInflater::input_left() const { return state_->avail_in; }

RawInflater::Result RawInflater::Inflate(unsigned char* out, size_t capacity,
                                         size_t* written) {
  *written = 0;
  if (final_ != Result::kOk) return final_;
  inflate_state& s = *state_;
  s.next_out = out;
  s.avail_out = static_cast<uint32_t>(capacity);
  // ISA-L may stop after a block header or with bits still buffered; call it
  // again while it moves, so that "no progress" really means "needs more".
  for (;;) {
    const uint32_t in_before = s.avail_in;
    const uint32_t out_before = s.avail_out;
    const int before_state = s.block_state;
    if (isal_inflate(&s) < 0) {
      final_ = Result::kError;
      break;
    }
    if (s.block_state == ISAL_BLOCK_FINISH) {
      final_ = Result::kEnd;
      break;
    }
    if (s.avail_out == 0) break;
    if (s.avail_in == in_before && s.avail_out == out_before &&
        s.block_state == before_state) {
      break;
    }
  }
  *written = capacity - s.avail_out;
  return final_;
}
