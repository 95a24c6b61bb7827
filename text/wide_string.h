// WideString and NarrowString: the text types that every path and message
// passes through. WideString holds UTF-16 code units, NarrowString bytes in
// the locale's multibyte encoding (and the ASCII keys of the string tables).
//
// Short texts live inside the value; longer ones live in a reference-counted
// block shared between copies and copied only when a holder writes (copy on
// write). Copies may live on different threads: the count changes atomically.
// A single value must not be written on one thread while another uses it.
//
// Errors: out-of-range positions throw std::out_of_range("basic_string"),
// results longer than 0x7FFFFFFE elements std::length_error("basic_string"),
// size overflow and failed allocation std::bad_alloc. The string is unchanged
// when an operation throws.
#ifndef TEXT_WIDE_STRING_H_
#define TEXT_WIDE_STRING_H_

#include <atomic>
#include <cstdint>

namespace text_internal {

// The shared block: a count, then the elements, then one terminator after the
// capacity. The elements start 4 bytes in, so the header counts as
// 4 / sizeof(CharT) elements in every capacity figure.
struct BlockHeader {
  std::atomic<int32_t> count;
};

}  // namespace text_internal

template <typename CharT, uint32_t kInlineMax>
class CowString {
 public:
  using value_type = CharT;
  // "All": the count to pass where a substring runs to the end.
  static constexpr uint32_t npos = 0xFFFFFFFFu;
  // The longest text held inline.
  static constexpr uint32_t kInlineCapacity = kInlineMax;
  // The tag that marks the heap form.
  static constexpr uint32_t kHeapTag = kInlineMax + 1;
  // The block header measured in elements.
  static constexpr uint32_t kHeaderElements = 4 / sizeof(CharT);
  // The longest text that replace() may produce.
  static constexpr uint32_t kMaxLength = 0x7FFFFFFEu;

  CowString() noexcept;
  // From a zero-terminated text.
  CowString(const CharT* text);  // NOLINT: implicit, like a literal
  CowString(const CharT* text, uint32_t count);
  CowString(const CowString& other) noexcept;
  CowString(CowString&& other) noexcept;
  CowString& operator=(const CowString& other) noexcept;
  CowString& operator=(CowString&& other) noexcept;
  ~CowString();

  uint32_t length() const noexcept;
  bool empty() const noexcept { return tag_ == 0; }
  // Always terminated; never copies.
  const CharT* c_str() const noexcept;
  // REQUIRES: index <= length() (index == length() reads the terminator).
  CharT operator[](uint32_t index) const noexcept { return c_str()[index]; }

  // The source may lie inside this string's own text.
  CowString& assign(const CharT* text, uint32_t count);
  // Amortised growth; the source may lie inside this string's own text.
  CowString& append(const CharT* text, uint32_t count);
  // Appends other[position, position + min(count, other.length() - position)).
  // position > other.length() throws out_of_range.
  CowString& append(const CowString& other, uint32_t position = 0,
                    uint32_t count = npos);
  CowString& push_back(CharT unit) { return append(&unit, 1); }
  // Inserts [first, last) before position; the range may lie inside this
  // string's own text. position > length() throws out_of_range.
  CowString& insert(uint32_t position, const CharT* first, const CharT* last);
  // position > length() throws out_of_range.
  CowString& erase(uint32_t position, uint32_t count = npos);
  // Replaces [position, position + min(count, length() - position)) by other.
  CowString& replace(uint32_t position, uint32_t count, const CowString& other);
  CowString& resize(uint32_t count, CharT fill = 0);

  // Observation, for tests and diagnostics.
  bool is_inline() const noexcept { return tag_ != kHeapTag; }
  // Elements the value can hold without a new block, counting the block's
  // header elements (inline: kInlineMax).
  uint32_t capacity() const noexcept;
  // The shared block's identity (null when inline) and reference count
  // (0 when inline).
  const void* block() const noexcept;
  int32_t use_count() const noexcept;

  template <typename C, uint32_t M>
  friend CowString<C, M> operator+(const CowString<C, M>& a,
                                   const CowString<C, M>& b);
  template <typename C, uint32_t M>
  friend CowString<C, M> operator+(const CowString<C, M>& a, const C* b);

 private:
  using Header = text_internal::BlockHeader;

  // Storage: `tag_` is the length of an inline text, or kHeapTag. Inline, the
  // elements and their terminator lie at the start of the area. On the heap
  // the area holds the block, a pointer to the terminator inside it, and the
  // capacity (on 64-bit machines the area widens to fit the two pointers).
  // No field points into the value itself, so a value may be relocated by
  // copying its bytes. The block's count changes only atomically; a heap
  // value writes into its block only while the count is 1.
  struct Heap {
    Header* block;
    CharT* end;
    uint32_t capacity;
  };
  uint32_t tag_;
  union {
    CharT inline_[kInlineMax + 1];
    Heap heap_;
  };

  CharT* data() noexcept;
  // True when `p` points into this value's text (or at its terminator).
  bool Holds(const CharT* p) const noexcept;
  static CharT* BlockText(Header* block) noexcept;
  // A block of `capacity` elements with count 1; bad_alloc when its size
  // does not fit 32 bits or the allocation fails.
  static Header* AllocateBlock(uint64_t capacity);
  static void Release(Header* block) noexcept;
  // The capacity class of a request for `elements` (header included).
  static uint64_t RoundCapacity(uint64_t elements) noexcept;
  // The runs a, b, c one after the other, in a value sized exactly.
  static CowString Join(const CharT* a, uint32_t a_count, const CharT* b,
                        uint32_t b_count, const CharT* c = nullptr,
                        uint32_t c_count = 0);
  void SetHeap(Header* block, uint32_t length, uint32_t capacity) noexcept;
  void Clear() noexcept;
  // Heap form only: moves the text into a new block of `capacity`.
  void MoveToBlock(uint64_t capacity);
  // Heap form only: makes the block unique with room for `count` elements,
  // growing (amortised or exact, then rounded) when it is too small.
  void MakeUnique(uint32_t count, bool amortised);
  // Sets the length, keeping the first min(count, length()) elements and
  // leaving the rest for the caller to fill; writes the terminator.
  void SetLength(uint32_t count, bool amortised);
};

using WideString = CowString<char16_t, 9>;
using NarrowString = CowString<char, 19>;

template <typename C, uint32_t M>
bool operator==(const CowString<C, M>& a, const C* b) noexcept;
template <typename C, uint32_t M>
bool operator==(const CowString<C, M>& a, const CowString<C, M>& b) noexcept;
template <typename C, uint32_t M>
bool operator!=(const CowString<C, M>& a, const CowString<C, M>& b) noexcept {
  return !(a == b);
}
// Unsigned element order; a prefix sorts first.
template <typename C, uint32_t M>
bool operator<(const CowString<C, M>& a, const CowString<C, M>& b) noexcept;

extern template class CowString<char16_t, 9>;
extern template class CowString<char, 19>;

#endif  // TEXT_WIDE_STRING_H_
