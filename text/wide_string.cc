#include "text/wide_string.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

namespace {

constexpr uint64_t kMaxBlockBytes = 0xFFFFFFFFu;

// Element copies that accept empty runs with null pointers.
template <typename CharT>
void CopyRun(CharT* to, const CharT* from, uint64_t count) noexcept {
  if (count != 0) std::memcpy(to, from, count * sizeof(CharT));
}

template <typename CharT>
void MoveRun(CharT* to, const CharT* from, uint64_t count) noexcept {
  if (count != 0) std::memmove(to, from, count * sizeof(CharT));
}

// Lengths are 32-bit; a longer result is a size overflow.
uint32_t CheckedLength(uint64_t length) {
  if (length > 0xFFFFFFFFu) throw std::bad_alloc();
  return static_cast<uint32_t>(length);
}

}  // namespace

template <typename CharT, uint32_t kInlineMax>
CowString<CharT, kInlineMax>::CowString() noexcept : tag_(0) {
  inline_[0] = 0;
}

template <typename CharT, uint32_t kInlineMax>
CowString<CharT, kInlineMax>::CowString(const CharT* text) : CowString() {
  assign(text, CheckedLength(std::char_traits<CharT>::length(text)));
}

template <typename CharT, uint32_t kInlineMax>
CowString<CharT, kInlineMax>::CowString(const CharT* text, uint32_t count)
    : CowString() {
  assign(text, count);
}

template <typename CharT, uint32_t kInlineMax>
CowString<CharT, kInlineMax>::CowString(const CowString& other) noexcept
    : tag_(other.tag_) {
  if (other.tag_ == kHeapTag) {
    other.heap_.block->count.fetch_add(1, std::memory_order_relaxed);
    heap_ = other.heap_;
  } else {
    CopyRun(inline_, other.inline_, tag_ + 1);
  }
}

template <typename CharT, uint32_t kInlineMax>
CowString<CharT, kInlineMax>::CowString(CowString&& other) noexcept {
  std::memcpy(static_cast<void*>(this), &other, sizeof(CowString));
  other.tag_ = 0;
  other.inline_[0] = 0;
}

template <typename CharT, uint32_t kInlineMax>
CowString<CharT, kInlineMax>& CowString<CharT, kInlineMax>::operator=(
    const CowString& other) noexcept {
  if (other.tag_ == kHeapTag) {
    // The new reference comes first, so assigning a value to itself never
    // drops the last one.
    other.heap_.block->count.fetch_add(1, std::memory_order_relaxed);
    if (tag_ == kHeapTag) Release(heap_.block);
    tag_ = kHeapTag;
    heap_ = other.heap_;
  } else if (this != &other) {
    if (tag_ == kHeapTag) Release(heap_.block);
    tag_ = other.tag_;
    CopyRun(inline_, other.inline_, tag_ + 1);
  }
  return *this;
}

template <typename CharT, uint32_t kInlineMax>
CowString<CharT, kInlineMax>& CowString<CharT, kInlineMax>::operator=(
    CowString&& other) noexcept {
  if (this != &other) {
    if (tag_ == kHeapTag) Release(heap_.block);
    std::memcpy(static_cast<void*>(this), &other, sizeof(CowString));
    other.tag_ = 0;
    other.inline_[0] = 0;
  }
  return *this;
}

template <typename CharT, uint32_t kInlineMax>
CowString<CharT, kInlineMax>::~CowString() {
  if (tag_ == kHeapTag) Release(heap_.block);
}

template <typename CharT, uint32_t kInlineMax>
uint32_t CowString<CharT, kInlineMax>::length() const noexcept {
  if (tag_ != kHeapTag) return tag_;
  return static_cast<uint32_t>(heap_.end - BlockText(heap_.block));
}

template <typename CharT, uint32_t kInlineMax>
const CharT* CowString<CharT, kInlineMax>::c_str() const noexcept {
  return tag_ == kHeapTag ? BlockText(heap_.block) : inline_;
}

template <typename CharT, uint32_t kInlineMax>
CharT* CowString<CharT, kInlineMax>::data() noexcept {
  return tag_ == kHeapTag ? BlockText(heap_.block) : inline_;
}

template <typename CharT, uint32_t kInlineMax>
uint32_t CowString<CharT, kInlineMax>::capacity() const noexcept {
  return tag_ == kHeapTag ? heap_.capacity : kInlineMax;
}

template <typename CharT, uint32_t kInlineMax>
const void* CowString<CharT, kInlineMax>::block() const noexcept {
  return tag_ == kHeapTag ? heap_.block : nullptr;
}

template <typename CharT, uint32_t kInlineMax>
int32_t CowString<CharT, kInlineMax>::use_count() const noexcept {
  return tag_ == kHeapTag
             ? heap_.block->count.load(std::memory_order_relaxed)
             : 0;
}

template <typename CharT, uint32_t kInlineMax>
CowString<CharT, kInlineMax>& CowString<CharT, kInlineMax>::assign(
    const CharT* text, uint32_t count) {
  const uint32_t old_length = length();
  if (count > old_length) {
    // A source this long cannot lie inside the current text.
    SetLength(count, false);
    CopyRun(data(), text, count);
  } else if (tag_ != kHeapTag) {
    MoveRun(inline_, text, count);
    SetLength(count, false);
  } else if (count <= kInlineMax) {
    *this = Join(text, count, nullptr, 0);
  } else {
    // Making the block unique may move the text: find the source again.
    const bool inside = Holds(text);
    const uint32_t offset = inside ? static_cast<uint32_t>(text - c_str()) : 0;
    MakeUnique(old_length, false);
    MoveRun(data(), inside ? data() + offset : text, count);
    SetLength(count, false);
  }
  return *this;
}

template <typename CharT, uint32_t kInlineMax>
CowString<CharT, kInlineMax>& CowString<CharT, kInlineMax>::append(
    const CharT* text, uint32_t count) {
  if (count == 0) return *this;
  const uint32_t old_length = length();
  const uint32_t new_length = CheckedLength(uint64_t{old_length} + count);
  const bool inside = Holds(text);
  const uint32_t offset = inside ? static_cast<uint32_t>(text - c_str()) : 0;
  SetLength(new_length, true);
  CharT* text_start = data();
  CopyRun(text_start + old_length, inside ? text_start + offset : text, count);
  return *this;
}

template <typename CharT, uint32_t kInlineMax>
CowString<CharT, kInlineMax>& CowString<CharT, kInlineMax>::append(
    const CowString& other, uint32_t position, uint32_t count) {
  const uint32_t other_length = other.length();
  if (position > other_length) throw std::out_of_range("basic_string");
  return append(other.c_str() + position,
                std::min(count, other_length - position));
}

template <typename CharT, uint32_t kInlineMax>
CowString<CharT, kInlineMax>& CowString<CharT, kInlineMax>::insert(
    uint32_t position, const CharT* first, const CharT* last) {
  const uint32_t old_length = length();
  if (position > old_length) throw std::out_of_range("basic_string");
  if (first == last) return *this;
  const uint32_t count = CheckedLength(static_cast<uint64_t>(last - first));
  if (position == old_length) return append(first, count);
  const CharT* text = c_str();
  *this = Join(text, position, first, count, text + position,
               old_length - position);
  return *this;
}

template <typename CharT, uint32_t kInlineMax>
CowString<CharT, kInlineMax>& CowString<CharT, kInlineMax>::erase(
    uint32_t position, uint32_t count) {
  const uint32_t old_length = length();
  if (position > old_length) throw std::out_of_range("basic_string");
  const uint32_t erased = std::min(count, old_length - position);
  const uint32_t new_length = old_length - erased;
  const uint32_t tail = old_length - position - erased;
  if (new_length <= kInlineMax) {
    const CharT* text = c_str();
    *this = Join(text, position, text + position + erased, tail);
    return *this;
  }
  MakeUnique(old_length, false);
  CharT* text = data();
  MoveRun(text + position, text + position + erased, tail);
  SetLength(new_length, false);
  return *this;
}

template <typename CharT, uint32_t kInlineMax>
CowString<CharT, kInlineMax>& CowString<CharT, kInlineMax>::replace(
    uint32_t position, uint32_t count, const CowString& other) {
  const uint32_t old_length = length();
  if (position > old_length) throw std::out_of_range("basic_string");
  const uint32_t removed = std::min(count, old_length - position);
  const uint32_t tail = old_length - position - removed;
  const uint32_t other_length = other.length();
  const uint64_t new_length =
      uint64_t{old_length} - removed + uint64_t{other_length};
  if (new_length > kMaxLength) throw std::length_error("basic_string");
  const CharT* source = other.c_str();
  if (Holds(source) || new_length <= kInlineMax) {
    const CharT* text = c_str();
    *this = Join(text, position, source, other_length,
                 text + position + removed, tail);
    return *this;
  }
  if (other_length > removed) {
    // Grow first (the only step that can fail), then overwrite the run.
    insert(position + removed, source + removed, source + other_length);
    CopyRun(data() + position, source, removed);
    return *this;
  }
  MakeUnique(old_length, false);
  CharT* text = data();
  MoveRun(text + position + other_length, text + position + removed, tail);
  CopyRun(text + position, source, other_length);
  SetLength(static_cast<uint32_t>(new_length), false);
  return *this;
}

template <typename CharT, uint32_t kInlineMax>
CowString<CharT, kInlineMax>& CowString<CharT, kInlineMax>::resize(
    uint32_t count, CharT fill) {
  const uint32_t old_length = length();
  SetLength(count, false);
  if (count > old_length) std::fill(data() + old_length, data() + count, fill);
  return *this;
}

template <typename CharT, uint32_t kInlineMax>
bool CowString<CharT, kInlineMax>::Holds(const CharT* p) const noexcept {
  // Compared as addresses: `p` may point into unrelated storage.
  const auto address = reinterpret_cast<uintptr_t>(p);
  const auto start = reinterpret_cast<uintptr_t>(c_str());
  return address >= start && address <= start + length() * sizeof(CharT);
}

template <typename CharT, uint32_t kInlineMax>
CharT* CowString<CharT, kInlineMax>::BlockText(Header* block) noexcept {
  return reinterpret_cast<CharT*>(reinterpret_cast<char*>(block) +
                                  sizeof(Header));
}

template <typename CharT, uint32_t kInlineMax>
typename CowString<CharT, kInlineMax>::Header*
CowString<CharT, kInlineMax>::AllocateBlock(uint64_t capacity) {
  static_assert(sizeof(Header) == kHeaderElements * sizeof(CharT));
  // The header elements are part of the capacity; the terminator follows it.
  if (capacity >= kMaxBlockBytes / sizeof(CharT)) throw std::bad_alloc();
  void* memory = ::operator new((capacity + 1) * sizeof(CharT));
  Header* block = ::new (memory) Header;
  block->count.store(1, std::memory_order_relaxed);
  return block;
}

template <typename CharT, uint32_t kInlineMax>
void CowString<CharT, kInlineMax>::Release(Header* block) noexcept {
  if (block->count.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    block->~Header();
    ::operator delete(block);
  }
}

template <typename CharT, uint32_t kInlineMax>
uint64_t CowString<CharT, kInlineMax>::RoundCapacity(
    uint64_t elements) noexcept {
  const uint64_t bytes = elements * sizeof(CharT);
  uint64_t unit = 1;
  if (bytes <= 256) {
    unit = 8;
  } else if (bytes <= 512) {
    unit = 16;
  } else if (bytes <= 1023) {
    unit = 32;
  } else if (bytes <= 2047) {
    unit = 64;
  } else if (bytes <= 4095) {
    unit = 128;
  } else if (bytes <= 8191) {
    unit = 256;
  } else if (bytes <= 16383) {
    unit = 512;
  }
  return (bytes + unit - 1) / unit * unit / sizeof(CharT);
}

template <typename CharT, uint32_t kInlineMax>
CowString<CharT, kInlineMax> CowString<CharT, kInlineMax>::Join(
    const CharT* a, uint32_t a_count, const CharT* b, uint32_t b_count,
    const CharT* c, uint32_t c_count) {
  CowString result;
  result.SetLength(CheckedLength(uint64_t{a_count} + b_count + c_count),
                   false);
  CharT* text = result.data();
  CopyRun(text, a, a_count);
  CopyRun(text + a_count, b, b_count);
  CopyRun(text + a_count + b_count, c, c_count);
  return result;
}

template <typename CharT, uint32_t kInlineMax>
void CowString<CharT, kInlineMax>::SetHeap(Header* block, uint32_t length,
                                           uint32_t capacity) noexcept {
  tag_ = kHeapTag;
  heap_.block = block;
  heap_.end = BlockText(block) + length;
  heap_.capacity = capacity;
  *heap_.end = 0;
}

template <typename CharT, uint32_t kInlineMax>
void CowString<CharT, kInlineMax>::Clear() noexcept {
  if (tag_ == kHeapTag) Release(heap_.block);
  tag_ = 0;
  inline_[0] = 0;
}

template <typename CharT, uint32_t kInlineMax>
void CowString<CharT, kInlineMax>::MoveToBlock(uint64_t capacity) {
  Header* block = AllocateBlock(capacity);
  Header* old_block = heap_.block;
  const uint32_t old_length = length();
  CopyRun(BlockText(block), BlockText(old_block), old_length);
  SetHeap(block, old_length, static_cast<uint32_t>(capacity));
  Release(old_block);
}

template <typename CharT, uint32_t kInlineMax>
void CowString<CharT, kInlineMax>::MakeUnique(uint32_t count,
                                              bool amortised) {
  // A shared block is first copied with no slack, and any growth starts from
  // that copy's capacity; both steps are done with one allocation.
  const bool shared = heap_.block->count.load(std::memory_order_acquire) != 1;
  const uint64_t current =
      shared ? uint64_t{length()} + kHeaderElements : heap_.capacity;
  const uint64_t needed = uint64_t{count} + kHeaderElements;
  if (needed <= current) {
    if (shared) MoveToBlock(current);
    return;
  }
  const uint64_t request =
      amortised ? std::max(needed, current + current / 2) : needed;
  MoveToBlock(RoundCapacity(request));
}

template <typename CharT, uint32_t kInlineMax>
void CowString<CharT, kInlineMax>::SetLength(uint32_t count, bool amortised) {
  if (count == 0) {
    Clear();
  } else if (tag_ == kHeapTag) {
    if (count <= kInlineMax && count <= length()) {
      *this = Join(c_str(), count, nullptr, 0);
    } else {
      MakeUnique(count, amortised);
      heap_.end = BlockText(heap_.block) + count;
      *heap_.end = 0;
    }
  } else if (count <= kInlineMax) {
    tag_ = count;
    inline_[count] = 0;
  } else {
    // Leaving the inline form: the first block is sized exactly.
    const uint64_t capacity = uint64_t{count} + kHeaderElements;
    Header* block = AllocateBlock(capacity);
    CopyRun(BlockText(block), inline_, tag_);
    SetHeap(block, count, static_cast<uint32_t>(capacity));
  }
}

template <typename C, uint32_t M>
CowString<C, M> operator+(const CowString<C, M>& a, const CowString<C, M>& b) {
  return CowString<C, M>::Join(a.c_str(), a.length(), b.c_str(), b.length());
}

template <typename C, uint32_t M>
CowString<C, M> operator+(const CowString<C, M>& a, const C* b) {
  return CowString<C, M>::Join(
      a.c_str(), a.length(), b,
      CheckedLength(std::char_traits<C>::length(b)));
}

template <typename C, uint32_t M>
bool operator==(const CowString<C, M>& a, const C* b) noexcept {
  const size_t length = std::char_traits<C>::length(b);
  return length == a.length() &&
         std::char_traits<C>::compare(a.c_str(), b, length) == 0;
}

template <typename C, uint32_t M>
bool operator==(const CowString<C, M>& a, const CowString<C, M>& b) noexcept {
  const uint32_t length = a.length();
  return length == b.length() &&
         std::char_traits<C>::compare(a.c_str(), b.c_str(), length) == 0;
}

template <typename C, uint32_t M>
bool operator<(const CowString<C, M>& a, const CowString<C, M>& b) noexcept {
  // char_traits compares char as unsigned char and char16_t by value.
  const uint32_t a_length = a.length();
  const uint32_t b_length = b.length();
  const int order = std::char_traits<C>::compare(
      a.c_str(), b.c_str(), std::min(a_length, b_length));
  return order != 0 ? order < 0 : a_length < b_length;
}

template class CowString<char16_t, 9>;
template class CowString<char, 19>;

template WideString operator+(const WideString&, const WideString&);
template WideString operator+(const WideString&, const char16_t*);
template bool operator==(const WideString&, const char16_t*) noexcept;
template bool operator==(const WideString&, const WideString&) noexcept;
template bool operator<(const WideString&, const WideString&) noexcept;

template NarrowString operator+(const NarrowString&, const NarrowString&);
template NarrowString operator+(const NarrowString&, const char*);
template bool operator==(const NarrowString&, const char*) noexcept;
template bool operator==(const NarrowString&, const NarrowString&) noexcept;
template bool operator<(const NarrowString&, const NarrowString&) noexcept;
