// A fixed ring of equal blocks between one producer and one consumer: the
// producer fills the free block at the back and pushes it, the consumer
// takes the block at the front and pops it once it is done with it. Both
// rings of the kit's way in use it: the kit read ahead of the inflation
// (kit/inflation_pipe.cc) and the inflated blocks on their way to the
// container or the entries' files (kit/inflation_pipe.h).
//
// The ring has no lock of its own: its owner guards it with the mutex that
// also guards the owner's other state, and waits on the owner's condition.
#ifndef KIT_BLOCK_RING_H_
#define KIT_BLOCK_RING_H_

#include <cstdint>
#include <memory>
#include <vector>

class BlockRing {
 public:
  BlockRing(int blocks, uint32_t block_size)
      : block_size_(block_size), lengths_(blocks) {
    for (int i = 0; i < blocks; ++i) {
      blocks_.push_back(std::make_unique<unsigned char[]>(block_size));
    }
  }
  BlockRing(const BlockRing&) = delete;
  BlockRing& operator=(const BlockRing&) = delete;

  uint32_t block_size() const { return block_size_; }
  int capacity() const { return static_cast<int>(blocks_.size()); }
  int queued() const { return queued_; }
  bool empty() const { return queued_ == 0; }
  bool full() const { return queued_ == capacity(); }

  // The free block the producer fills next. REQUIRES: !full().
  unsigned char* Back() { return blocks_[Slot(queued_)].get(); }
  // Queues the back block with its first `length` bytes.
  void Push(uint32_t length) {
    lengths_[Slot(queued_)] = length;
    ++queued_;
  }
  // The oldest queued block and its length. REQUIRES: !empty().
  unsigned char* Front() { return blocks_[head_].get(); }
  uint32_t FrontLength() const { return lengths_[head_]; }
  // Frees the oldest queued block.
  void Pop() {
    head_ = Slot(1);
    --queued_;
  }

 private:
  int Slot(int n) const { return (head_ + n) % capacity(); }

  const uint32_t block_size_;
  std::vector<std::unique_ptr<unsigned char[]>> blocks_;
  std::vector<uint32_t> lengths_;
  int head_ = 0;
  int queued_ = 0;
};

#endif  // KIT_BLOCK_RING_H_
