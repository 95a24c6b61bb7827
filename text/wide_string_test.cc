#include "text/wide_string.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

// The global allocator is replaced for this test binary so that tests can see
// the sizes of the blocks a string allocates and frees, and make the next
// allocation fail. Recording is per thread and only inside a recorder's scope.
namespace {

struct AllocationLog {
  static constexpr int kMaxSizes = 16;
  size_t sizes[kMaxSizes];
  int allocations = 0;
  int frees = 0;
  bool fail_next = false;
};

thread_local AllocationLog* current_log = nullptr;

}  // namespace

// Kept out of line: inlined into this file's own containers, the pairing of
// malloc and free would be visible to the compiler and reported as a
// mismatch.
__attribute__((noinline)) void* operator new(std::size_t size) {
  if (AllocationLog* log = current_log) {
    if (log->fail_next) {
      log->fail_next = false;
      throw std::bad_alloc();
    }
    if (log->allocations < AllocationLog::kMaxSizes) {
      log->sizes[log->allocations] = size;
    }
    ++log->allocations;
  }
  void* memory = std::malloc(size == 0 ? 1 : size);
  if (memory == nullptr) throw std::bad_alloc();
  return memory;
}

__attribute__((noinline)) void operator delete(void* memory) noexcept {
  if (memory != nullptr && current_log != nullptr) ++current_log->frees;
  std::free(memory);
}

__attribute__((noinline)) void operator delete(void* memory,
                                               std::size_t) noexcept {
  operator delete(memory);
}

namespace {

class AllocationRecorder {
 public:
  AllocationRecorder() { current_log = &log_; }
  ~AllocationRecorder() { Stop(); }
  void Stop() { current_log = nullptr; }
  void FailNext() { log_.fail_next = true; }
  int allocations() const { return log_.allocations; }
  int frees() const { return log_.frees; }
  size_t size(int index) const { return log_.sizes[index]; }

 private:
  AllocationLog log_;
};

template <typename C, uint32_t M>
std::basic_string<C> Str(const CowString<C, M>& s) {
  return std::basic_string<C>(s.c_str(), s.length());
}

// `count` distinct-looking elements: a, b, c, ... z, a, ...
template <typename C>
std::basic_string<C> Letters(uint32_t count, char first = 'a') {
  std::basic_string<C> text;
  for (uint32_t i = 0; i < count; ++i) {
    text.push_back(static_cast<C>('a' + (first - 'a' + i) % 26));
  }
  return text;
}

template <typename S>
S Make(const std::basic_string<typename S::value_type>& text) {
  return S(text.data(), static_cast<uint32_t>(text.size()));
}

WideString Wide(uint32_t count, char first = 'a') {
  return Make<WideString>(Letters<char16_t>(count, first));
}

NarrowString Narrow(uint32_t count, char first = 'a') {
  return Make<NarrowString>(Letters<char>(count, first));
}

// The form, terminator and capacity invariants every value keeps.
template <typename S>
void ExpectWellFormed(const S& s) {
  EXPECT_EQ(s.length() <= S::kInlineCapacity, s.is_inline());
  EXPECT_EQ(0, s.c_str()[s.length()]);
  if (s.is_inline()) {
    EXPECT_EQ(S::kInlineCapacity, s.capacity());
    EXPECT_EQ(nullptr, s.block());
    EXPECT_EQ(0, s.use_count());
  } else {
    EXPECT_GE(s.capacity(), s.length() + S::kHeaderElements);
    EXPECT_NE(nullptr, s.block());
    EXPECT_GE(s.use_count(), 1);
  }
}

// ---------------------------------------------------------------------------
// Forms, limits and first blocks.

TEST(WideStringTest, EmptyIsInlineAndTerminated) {
  WideString s;
  EXPECT_TRUE(s.empty());
  EXPECT_TRUE(s.is_inline());
  EXPECT_EQ(0u, s.length());
  EXPECT_EQ(u'\0', s.c_str()[0]);
  EXPECT_EQ(9u, s.capacity());
  EXPECT_EQ(nullptr, s.block());
  EXPECT_EQ(0, s.use_count());
}

TEST(WideStringTest, NineUnitsStayInlineWithoutAllocation) {
  AllocationRecorder recorder;
  WideString s(u"abcdefghi");
  WideString copy = s;
  recorder.Stop();
  EXPECT_EQ(0, recorder.allocations());
  EXPECT_TRUE(s.is_inline());
  EXPECT_TRUE(copy.is_inline());
  EXPECT_EQ(9u, s.length());
  EXPECT_EQ(u"abcdefghi", Str(copy));
}

TEST(WideStringTest, TenthUnitMovesToAnExactBlock) {
  WideString s(u"abcdefghi");
  AllocationRecorder recorder;
  s.push_back(u'j');
  recorder.Stop();
  EXPECT_FALSE(s.is_inline());
  EXPECT_EQ(12u, s.capacity());
  EXPECT_EQ(1, s.use_count());
  ASSERT_EQ(1, recorder.allocations());
  EXPECT_EQ(26u, recorder.size(0));
  EXPECT_EQ(u"abcdefghij", Str(s));
}

TEST(WideStringTest, AppendsGrowByHalfAndRoundToTheSizeClass) {
  WideString s = Wide(10);
  ASSERT_EQ(12u, s.capacity());

  // max(13, 12 + 6) = 18 units = 36 bytes, rounded to 40: 20 units.
  AllocationRecorder recorder;
  s.push_back(u'k');
  recorder.Stop();
  EXPECT_EQ(20u, s.capacity());
  ASSERT_EQ(1, recorder.allocations());
  EXPECT_EQ(42u, recorder.size(0));
  EXPECT_EQ(1, recorder.frees());

  // Room for 18 units: no new block.
  const void* block = s.block();
  s.append(u"lmnopqr", 7);
  EXPECT_EQ(18u, s.length());
  EXPECT_EQ(20u, s.capacity());
  EXPECT_EQ(block, s.block());

  // max(25, 20 + 10) = 30 units = 60 bytes, rounded to 64: 32 units.
  AllocationRecorder second;
  s.append(u"stuvw", 5);
  second.Stop();
  EXPECT_EQ(32u, s.capacity());
  ASSERT_EQ(1, second.allocations());
  EXPECT_EQ(66u, second.size(0));
  EXPECT_EQ(Letters<char16_t>(23), Str(s));
}

TEST(NarrowStringTest, NineteenBytesInlineTwentyInAnExactBlock) {
  NarrowString nineteen = Narrow(19);
  EXPECT_TRUE(nineteen.is_inline());
  EXPECT_EQ(19u, nineteen.length());
  EXPECT_EQ(19u, nineteen.capacity());

  // 10 is the wide heap tag but an ordinary inline length here.
  NarrowString ten = Narrow(10);
  EXPECT_TRUE(ten.is_inline());
  EXPECT_EQ(10u, ten.length());
  EXPECT_EQ(Letters<char>(10), Str(ten));

  const std::string text = Letters<char>(20);
  AllocationRecorder recorder;
  NarrowString twenty = Make<NarrowString>(text);
  recorder.Stop();
  EXPECT_FALSE(twenty.is_inline());
  EXPECT_EQ(24u, twenty.capacity());
  ASSERT_EQ(1, recorder.allocations());
  EXPECT_EQ(25u, recorder.size(0));
  EXPECT_EQ(Letters<char>(20), Str(twenty));
}

// ---------------------------------------------------------------------------
// Sharing and copy on write.

TEST(WideStringTest, CopyingSharesTheBlockWithoutAllocation) {
  WideString s = Wide(30);
  AllocationRecorder recorder;
  WideString copy(s);
  WideString assigned;
  assigned = s;
  recorder.Stop();
  EXPECT_EQ(0, recorder.allocations());
  EXPECT_EQ(s.block(), copy.block());
  EXPECT_EQ(s.block(), assigned.block());
  EXPECT_EQ(3, s.use_count());
  EXPECT_EQ(s.c_str(), copy.c_str());
}

TEST(WideStringTest, ReplacingOneUnitOfACopyGivesItAnExactBlock) {
  WideString s = Wide(10);
  s.push_back(u'k');  // length 11, capacity 20
  ASSERT_EQ(20u, s.capacity());
  WideString copy = s;
  ASSERT_EQ(2, s.use_count());

  copy.replace(3, 1, WideString(u"Z"));
  EXPECT_EQ(u"abcdefghijk", Str(s));
  EXPECT_EQ(u"abcZefghijk", Str(copy));
  EXPECT_NE(s.block(), copy.block());
  EXPECT_EQ(13u, copy.capacity());  // length + 2, no slack
  EXPECT_EQ(20u, s.capacity());
  EXPECT_EQ(1, s.use_count());
  EXPECT_EQ(1, copy.use_count());
}

TEST(WideStringTest, AppendingToACopyUnsharesBeforeGrowing) {
  WideString s = Wide(10);
  s.push_back(u'k');  // length 11, capacity 20
  WideString copy = s;
  // The unshared copy would have 13 units; max(14, 13 + 6) = 19 units =
  // 38 bytes, rounded to 40: 20 units.
  copy.push_back(u'l');
  EXPECT_EQ(20u, copy.capacity());
  EXPECT_EQ(u"abcdefghijk", Str(s));
  EXPECT_EQ(u"abcdefghijkl", Str(copy));
  EXPECT_EQ(1, s.use_count());
  EXPECT_EQ(1, copy.use_count());
}

// Each write on one holder of a shared block leaves the other holder alone.
TEST(WideStringTest, WritesToASharedBlockLeaveOtherHoldersIntact) {
  struct Case {
    const char* name;
    void (*write)(WideString&);
    std::u16string expected;
  };
  const Case cases[] = {
      {"assign", [](WideString& s) { s.assign(u"0123456789AB", 12); },
       u"0123456789AB"},
      {"append", [](WideString& s) { s.append(u"!", 1); },
       Letters<char16_t>(14) + u"!"},
      {"insert",
       [](WideString& s) {
         const char16_t text[] = u"XY";
         s.insert(2, text, text + 2);
       },
       u"abXYcdefghijklmn"},
      {"erase", [](WideString& s) { s.erase(1, 2); }, u"adefghijklmn"},
      {"replace", [](WideString& s) { s.replace(0, 3, WideString(u"Q")); },
       u"Qdefghijklmn"},
      {"resize", [](WideString& s) { s.resize(16, u'.'); },
       Letters<char16_t>(14) + u".."},
      {"push_back", [](WideString& s) { s.push_back(u'?'); },
       Letters<char16_t>(14) + u"?"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WideString original = Wide(14);
    WideString copy = original;
    c.write(copy);
    EXPECT_EQ(c.expected, Str(copy));
    EXPECT_EQ(Letters<char16_t>(14), Str(original));
    EXPECT_EQ(1, original.use_count());
    EXPECT_NE(original.block(), copy.block());
    ExpectWellFormed(copy);
  }
}

TEST(WideStringTest, ShorteningASharedStringToNothingLeavesOthersIntact) {
  struct Case {
    const char* name;
    void (*shorten)(WideString&);
  };
  const Case cases[] = {
      {"resize(0)", [](WideString& s) { s.resize(0); }},
      {"erase(0)", [](WideString& s) { s.erase(0); }},
      {"erase(0, length)", [](WideString& s) { s.erase(0, s.length()); }},
      {"assign(text, 0)", [](WideString& s) { s.assign(u"x", 0); }},
      {"replace by empty",
       [](WideString& s) { s.replace(0, WideString::npos, WideString()); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WideString original = Wide(25);
    WideString copy = original;
    AllocationRecorder recorder;
    c.shorten(copy);
    recorder.Stop();
    EXPECT_EQ(0, recorder.allocations());
    EXPECT_EQ(0, recorder.frees());
    EXPECT_TRUE(copy.empty());
    EXPECT_TRUE(copy.is_inline());
    EXPECT_EQ(u'\0', copy.c_str()[0]);
    EXPECT_EQ(Letters<char16_t>(25), Str(original));
    EXPECT_EQ(1, original.use_count());
  }
}

TEST(WideStringTest, ErasingToNineUnitsGoesInlineAndReleasesTheBlock) {
  WideString s = Wide(10);
  WideString other = s;
  ASSERT_EQ(2, other.use_count());
  s.erase(0, 1);
  EXPECT_TRUE(s.is_inline());
  EXPECT_EQ(u"bcdefghij", Str(s));
  EXPECT_EQ(1, other.use_count());
  EXPECT_EQ(u"abcdefghij", Str(other));

  // The last holder frees the block.
  AllocationRecorder recorder;
  other.erase(9, 1);
  recorder.Stop();
  EXPECT_TRUE(other.is_inline());
  EXPECT_EQ(u"abcdefghi", Str(other));
  EXPECT_EQ(0, recorder.allocations());
  EXPECT_EQ(1, recorder.frees());
}

TEST(WideStringTest, AssigningAShortTextToALongStringGoesInline) {
  WideString s = Wide(30);
  AllocationRecorder recorder;
  s.assign(u"short", 5);
  recorder.Stop();
  EXPECT_TRUE(s.is_inline());
  EXPECT_EQ(u"short", Str(s));
  EXPECT_EQ(0, recorder.allocations());
  EXPECT_EQ(1, recorder.frees());
}

TEST(WideStringTest, CuttingToTheInlineLimitGoesInlineAndBlocksNeverShrink) {
  WideString s = Wide(12);  // capacity 14
  const void* block = s.block();
  s.resize(10);
  EXPECT_FALSE(s.is_inline());
  EXPECT_EQ(14u, s.capacity());
  EXPECT_EQ(block, s.block());
  EXPECT_EQ(u"abcdefghij", Str(s));
  s.resize(9);
  EXPECT_TRUE(s.is_inline());
  EXPECT_EQ(u"abcdefghi", Str(s));
}

// ---------------------------------------------------------------------------
// Copy and move.

TEST(WideStringTest, SelfAssignmentKeepsTheOnlyReference) {
  WideString s = Wide(20);
  WideString& alias = s;
  s = alias;
  EXPECT_EQ(1, s.use_count());
  EXPECT_EQ(Letters<char16_t>(20), Str(s));

  WideString short_text(u"abc");
  WideString& short_alias = short_text;
  short_text = short_alias;
  EXPECT_EQ(u"abc", Str(short_text));
}

TEST(WideStringTest, CopyAssignmentMovesReferencesBetweenBlocks) {
  WideString a = Wide(20);
  WideString b = Wide(30, 'k');
  WideString b_copy = b;
  ASSERT_EQ(2, b.use_count());

  b = a;  // b drops its block's reference and shares a's
  EXPECT_EQ(a.block(), b.block());
  EXPECT_EQ(2, a.use_count());
  EXPECT_EQ(1, b_copy.use_count());

  b = WideString(u"tiny");  // inline over heap
  EXPECT_TRUE(b.is_inline());
  EXPECT_EQ(u"tiny", Str(b));
  EXPECT_EQ(1, a.use_count());
}

TEST(WideStringTest, MoveStealsTheBlock) {
  WideString s = Wide(20);
  const void* block = s.block();
  WideString moved(std::move(s));
  EXPECT_EQ(block, moved.block());
  EXPECT_EQ(1, moved.use_count());
  EXPECT_TRUE(s.empty());  // NOLINT: a moved-from value is empty
  EXPECT_TRUE(s.is_inline());

  WideString target = Wide(40);
  target = std::move(moved);
  EXPECT_EQ(block, target.block());
  EXPECT_TRUE(moved.empty());  // NOLINT
  EXPECT_EQ(Letters<char16_t>(20), Str(target));
}

// A value is relocated by copying its bytes, without copy or destroy.
TEST(WideStringTest, ARelocatedValueKeepsWorking) {
  for (uint32_t length : {0u, 5u, 9u, 10u, 40u}) {
    SCOPED_TRACE(length);
    alignas(WideString) unsigned char first[sizeof(WideString)];
    alignas(WideString) unsigned char second[sizeof(WideString)];
    WideString* original = new (first) WideString(Wide(length));
    WideString other_holder = *original;
    std::memcpy(second, first, sizeof(WideString));
    std::memset(first, 0xAB, sizeof(WideString));  // the old bytes are gone
    WideString* moved = std::launder(reinterpret_cast<WideString*>(second));
    (void)original;

    EXPECT_EQ(Letters<char16_t>(length), Str(*moved));
    moved->append(u"++", 2);
    EXPECT_EQ(Letters<char16_t>(length) + u"++", Str(*moved));
    EXPECT_EQ(Letters<char16_t>(length), Str(other_holder));
    ExpectWellFormed(*moved);
    moved->~WideString();
  }
}

// ---------------------------------------------------------------------------
// Length changes, insert, erase, replace.

TEST(WideStringTest, LengthChangesAreExactAndAppendsAmortised) {
  // From capacity 12, one more unit.
  WideString appended = Wide(10);
  appended.append(u"k", 1);
  EXPECT_EQ(20u, appended.capacity());  // max(13, 18) -> 40 bytes

  WideString resized = Wide(10);
  resized.resize(11, u'k');
  EXPECT_EQ(16u, resized.capacity());  // 13 -> 26 bytes -> 32 bytes
  EXPECT_EQ(Str(appended), Str(resized));

  WideString assigned = Wide(10);
  assigned.assign(u"abcdefghijk", 11);
  EXPECT_EQ(16u, assigned.capacity());

  // Inserting at the end appends; in the middle builds an exact value.
  const char16_t text[] = u"k";
  WideString at_end = Wide(10);
  at_end.insert(10, text, text + 1);
  EXPECT_EQ(20u, at_end.capacity());
  WideString in_middle = Wide(10);
  in_middle.insert(3, text, text + 1);
  EXPECT_EQ(13u, in_middle.capacity());
  EXPECT_EQ(u"abckdefghij", Str(in_middle));
}

TEST(WideStringTest, ResizeFillsNewUnits) {
  struct Case {
    uint32_t length;
    uint32_t count;
  };
  const Case cases[] = {{0, 0},   {0, 3},   {3, 9},  {3, 10},  {9, 25},
                        {12, 30}, {30, 12}, {30, 9}, {12, 12}, {5, 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.length << " -> " << c.count);
    WideString s = Wide(c.length);
    s.resize(c.count, u'*');
    std::u16string expected = Letters<char16_t>(c.length);
    expected.resize(c.count, u'*');
    EXPECT_EQ(expected, Str(s));
    ExpectWellFormed(s);
  }
}

TEST(WideStringTest, InsertErase) {
  struct Case {
    std::u16string text;
    uint32_t position;
    std::u16string inserted;
  };
  const Case inserts[] = {
      {u"", 0, u"abc"},
      {u"abc", 0, u"XY"},
      {u"abc", 3, u"XY"},
      {u"abcdefg", 4, u"XYZ"},  // inline to heap in the middle
      {u"abcdefghijklmnop", 16, u"XYZ"},
      {u"abcdefghijklmnop", 1, Letters<char16_t>(30)},
      {u"abc", 1, u""},
  };
  for (const Case& c : inserts) {
    SCOPED_TRACE(testing::Message() << c.text.size() << "@" << c.position);
    WideString s = Make<WideString>(c.text);
    s.insert(c.position, c.inserted.data(),
             c.inserted.data() + c.inserted.size());
    std::u16string expected = c.text;
    expected.insert(c.position, c.inserted);
    EXPECT_EQ(expected, Str(s));
    ExpectWellFormed(s);
  }

  struct EraseCase {
    uint32_t length;
    uint32_t position;
    uint32_t count;
  };
  const EraseCase erases[] = {
      {0, 0, 5},
      {5, 2, 1},
      {5, 5, 1},
      {12, 0, 3},
      {12, 2, 2},
      {30, 4, 10},
      {30, 29, WideString::npos},
      {30, 0, 20},
      {30, 10, 0},
      {10, 0, WideString::npos},
  };
  for (const EraseCase& c : erases) {
    SCOPED_TRACE(testing::Message()
                 << c.length << " erase " << c.position << "," << c.count);
    WideString s = Wide(c.length);
    s.erase(c.position, c.count);
    std::u16string expected = Letters<char16_t>(c.length);
    expected.erase(c.position,
                   std::min<size_t>(c.count, c.length - c.position));
    EXPECT_EQ(expected, Str(s));
    ExpectWellFormed(s);
  }
}

TEST(WideStringTest, EraseKeepsTheBlockOfAUniqueString) {
  WideString s = Wide(30);  // capacity 32
  const void* block = s.block();
  s.erase(5, 10);
  EXPECT_EQ(block, s.block());
  EXPECT_EQ(32u, s.capacity());
  EXPECT_EQ(u"abcdepqrstuvwxyzabcd", Str(s));
}

TEST(WideStringTest, Replace) {
  struct Case {
    uint32_t length;
    uint32_t position;
    uint32_t count;
    std::u16string other;
  };
  const Case cases[] = {
      {5, 1, 2, u"XYZ"},                 // inline, longer, stays inline
      {5, 1, 2, Letters<char16_t>(12)},  // inline to heap
      {12, 3, 1, u"Z"},                  // same length, in place
      {20, 3, 8, u"Z"},                  // shorter, stays heap
      {12, 3, 5, u"Z"},                  // shorter, goes inline
      {12, 3, 1, u"XYZ"},                // longer, in the middle
      {12, 10, 2, u"XYZ"},               // longer, at the end
      {12, 12, 0, u"XYZ"},               // at the end, nothing removed
      {12, 0, WideString::npos, u""},    // everything removed
      {0, 0, 0, u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << c.length << " replace " << c.position << "," << c.count);
    WideString s = Wide(c.length);
    s.replace(c.position, c.count, Make<WideString>(c.other));
    std::u16string expected = Letters<char16_t>(c.length);
    expected.replace(c.position,
                     std::min<size_t>(c.count, c.length - c.position), c.other);
    EXPECT_EQ(expected, Str(s));
    ExpectWellFormed(s);
  }
}

TEST(WideStringTest, ALongerReplaceGrowsLikeInsert) {
  WideString middle = Wide(12);  // capacity 14
  middle.replace(3, 1, WideString(u"XYZ"));
  EXPECT_EQ(16u, middle.capacity());  // exactly 14 units + 2

  WideString end = Wide(12);
  end.replace(11, 1, WideString(u"XYZ"));
  EXPECT_EQ(24u, end.capacity());  // max(16, 14 + 7) = 21 -> 48 bytes
  EXPECT_EQ(u"abcdefghijkXYZ", Str(end));
}

// The source of assign, append, insert and replace may lie in the string's
// own text, also when the string moves to a new block or out of the inline
// area on the way.
TEST(WideStringTest, SourcesInsideTheStringItself) {
  for (uint32_t length : {1u, 4u, 5u, 9u, 10u, 15u, 30u}) {
    SCOPED_TRACE(length);
    const std::u16string text = Letters<char16_t>(length);
    for (bool shared : {false, true}) {
      SCOPED_TRACE(shared ? "shared" : "unique");
      WideString s = Make<WideString>(text);
      WideString holder;
      if (shared) holder = s;
      std::u16string model = text;

      s.append(s);
      model += model;
      EXPECT_EQ(text + text, Str(s));
      s.append(s.c_str() + 1, length);
      model += model.substr(1, length);
      EXPECT_EQ(model, Str(s));
      s.append(s, length, 2);
      model += model.substr(length, 2);
      EXPECT_EQ(model, Str(s));
      ExpectWellFormed(s);
      EXPECT_EQ(shared ? text : std::u16string(), Str(holder));
    }

    WideString self = Make<WideString>(text);
    self.replace(1, 1, self);
    std::u16string expected = text;
    expected.replace(1, std::min<size_t>(1, length - 1), text);
    EXPECT_EQ(expected, Str(self));

    WideString inserted = Make<WideString>(text);
    WideString inserted_holder = inserted;
    inserted.insert(1, inserted.c_str(), inserted.c_str() + length);
    expected = text;
    expected.insert(1, text);
    EXPECT_EQ(expected, Str(inserted));
    EXPECT_EQ(text, Str(inserted_holder));

    WideString assigned = Make<WideString>(text);
    WideString assigned_holder = assigned;
    assigned.assign(assigned.c_str() + length / 2, length - length / 2);
    EXPECT_EQ(text.substr(length / 2), Str(assigned));
    EXPECT_EQ(text, Str(assigned_holder));
    ExpectWellFormed(assigned);
  }
}

TEST(WideStringTest, ReplaceWithACopySharingTheBlock) {
  WideString s = Wide(20);
  WideString copy = s;
  s.replace(5, 10, copy);
  std::u16string expected = Letters<char16_t>(20);
  expected.replace(5, 10, Letters<char16_t>(20));
  EXPECT_EQ(expected, Str(s));
  EXPECT_EQ(Letters<char16_t>(20), Str(copy));
  EXPECT_EQ(32u, s.capacity());  // built exactly: 30 units + 2
}

TEST(WideStringTest, AppendingTheWholeOfAnotherStringFromItsEnd) {
  WideString s(u"abc");
  WideString other = Wide(12);
  s.append(other, other.length(), WideString::npos);
  EXPECT_EQ(u"abc", Str(s));
  s.append(other, 10);
  EXPECT_EQ(u"abckl", Str(s));
  s.append(other, 0, 3);
  EXPECT_EQ(u"abcklabc", Str(s));
}

// ---------------------------------------------------------------------------
// Errors.

template <typename E, typename F>
void ExpectThrowsBasicString(F f) {
  try {
    f();
    ADD_FAILURE() << "no exception";
  } catch (const E& e) {
    EXPECT_STREQ("basic_string", e.what());
  }
}

TEST(WideStringTest, PositionsPastTheEndThrowAndChangeNothing) {
  for (uint32_t length : {0u, 5u, 12u}) {
    SCOPED_TRACE(length);
    WideString s = Wide(length);
    WideString holder = s;
    const WideString other = Wide(7);
    ExpectThrowsBasicString<std::out_of_range>(
        [&] { s.append(other, other.length() + 1, WideString::npos); });
    ExpectThrowsBasicString<std::out_of_range>([&] { s.erase(length + 1, 1); });
    ExpectThrowsBasicString<std::out_of_range>(
        [&] { s.replace(length + 1, 0, other); });
    ExpectThrowsBasicString<std::out_of_range>(
        [&] { s.insert(length + 1, other.c_str(), other.c_str() + 2); });
    EXPECT_EQ(Letters<char16_t>(length), Str(s));
    EXPECT_EQ(s.block(), holder.block());
    EXPECT_EQ(length > 9 ? 2 : 0, s.use_count());
  }
}

// Runs `write`, which must throw bad_alloc without allocating.
template <typename F>
void ExpectBadAllocWithoutAllocation(F write) {
  bool threw = false;
  AllocationRecorder recorder;
  try {
    write();
  } catch (const std::bad_alloc&) {
    threw = true;
  }
  recorder.Stop();
  EXPECT_TRUE(threw);
  EXPECT_EQ(0, recorder.allocations());
}

TEST(CowStringTest, SizeOverflowThrowsBadAllocWithoutAllocating) {
  const char16_t unit = u'x';
  WideString wide(u"abc");
  ExpectBadAllocWithoutAllocation([&] { wide.append(&unit, 0xFFFFFFFFu); });
  // 0x7FFFFFFD units need a block of 2 x 0x7FFFFFFF + 2 bytes.
  ExpectBadAllocWithoutAllocation([&] { wide.resize(0x7FFFFFFDu); });
  EXPECT_EQ(u"abc", Str(wide));

  NarrowString narrow = Narrow(25);
  // 0xFFFFFFFC bytes need a capacity of 2^32; 0xFFFFFFFB a block of 2^32
  // bytes.
  ExpectBadAllocWithoutAllocation([&] { narrow.resize(0xFFFFFFFCu); });
  ExpectBadAllocWithoutAllocation([&] { narrow.resize(0xFFFFFFFBu); });
  ExpectBadAllocWithoutAllocation([&] { narrow.append("y", 0xFFFFFFFFu); });
  EXPECT_EQ(Letters<char>(25), Str(narrow));
}

TEST(WideStringTest, AFailedAllocationLeavesTheValuesIntact) {
  struct Case {
    const char* name;
    void (*write)(WideString&);
  };
  const Case cases[] = {
      {"append", [](WideString& s) { s.append(s.c_str(), 15); }},
      {"assign", [](WideString& s) { s.assign(u"0123456789ABCDEFGHIJ", 20); }},
      {"insert",
       [](WideString& s) {
         const char16_t text[] = u"XY";
         s.insert(2, text, text + 2);
       }},
      {"erase (unshares)", [](WideString& s) { s.erase(1, 2); }},
      {"replace", [](WideString& s) { s.replace(1, 1, WideString(u"Z")); }},
      {"replace longer",
       [](WideString& s) { s.replace(1, 1, WideString(u"XYZ")); }},
      {"resize", [](WideString& s) { s.resize(40, u'.'); }},
      {"concatenation", [](WideString& s) { s = s + u"tail"; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WideString s = Wide(15);
    WideString holder = s;
    bool threw = false;
    AllocationRecorder recorder;
    recorder.FailNext();
    try {
      c.write(s);
    } catch (const std::bad_alloc&) {
      threw = true;
    }
    recorder.Stop();
    EXPECT_TRUE(threw);
    EXPECT_EQ(Letters<char16_t>(15), Str(s));
    EXPECT_EQ(holder.block(), s.block());
    EXPECT_EQ(2, holder.use_count());
  }

  WideString inline_text(u"abcdefgh");
  bool threw = false;
  AllocationRecorder recorder;
  recorder.FailNext();
  try {
    inline_text.append(u"ijk", 3);
  } catch (const std::bad_alloc&) {
    threw = true;
  }
  recorder.Stop();
  EXPECT_TRUE(threw);
  EXPECT_EQ(u"abcdefgh", Str(inline_text));
  EXPECT_TRUE(inline_text.is_inline());
}

// ---------------------------------------------------------------------------
// Concatenation, equality, ordering.

TEST(WideStringTest, ConcatenationIsSizedExactly) {
  const WideString a = Wide(7);
  const WideString b = Wide(8, 'h');
  AllocationRecorder recorder;
  WideString sum = a + b;
  recorder.Stop();
  EXPECT_EQ(Letters<char16_t>(15), Str(sum));
  EXPECT_EQ(17u, sum.capacity());
  ASSERT_EQ(1, recorder.allocations());
  EXPECT_EQ(36u, recorder.size(0));

  WideString small = WideString(u"dir") + u"/x";
  EXPECT_TRUE(small.is_inline());
  EXPECT_EQ(u"dir/x", Str(small));

  WideString path = Wide(12) + u"/file.cfg";
  EXPECT_EQ(Letters<char16_t>(12) + u"/file.cfg", Str(path));
  EXPECT_EQ(23u, path.capacity());

  WideString nothing = WideString() + WideString();
  EXPECT_TRUE(nothing.empty());
  EXPECT_TRUE(nothing.is_inline());

  WideString same = a + a;
  EXPECT_EQ(Letters<char16_t>(7) + Letters<char16_t>(7), Str(same));
}

TEST(WideStringTest, EqualityWithTerminatedText) {
  struct Case {
    std::u16string value;
    const char16_t* text;
    bool equal;
  };
  const Case cases[] = {
      {u"", u"", true},
      {u"", u"a", false},
      {u"a", u"", false},
      {u"abc", u"abc", true},
      {u"abc", u"abd", false},
      {u"abc", u"abcd", false},
      {Letters<char16_t>(20), u"abcdefghijklmnopqrst", true},
      {Letters<char16_t>(20), u"abcdefghijklmnopqrsT", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.value.size());
    EXPECT_EQ(c.equal, Make<WideString>(c.value) == c.text);
    EXPECT_EQ(c.equal, Make<WideString>(c.value) == WideString(c.text));
    EXPECT_EQ(!c.equal, Make<WideString>(c.value) != WideString(c.text));
  }
  EXPECT_TRUE(WideString() == u"");
}

TEST(NarrowStringTest, OrderingIsByUnsignedBytesWithPrefixesFirst) {
  struct Case {
    std::string a;
    std::string b;
    bool less;
  };
  const std::string long_key = "IDS_ERROR_NOSPACE_LONGER_THAN_19";
  const Case cases[] = {
      {"", "", false},
      {"", "a", true},
      {"a", "", false},
      {"a", "ab", true},
      {"ab", "a", false},
      {"ab", "ab", false},
      {"IDS_A", "IDS_B", true},
      {"IDS_WIZARD", "IDS_WIZARD_NEXT", true},
      {long_key, long_key + "X", true},
      {long_key + "X", long_key, false},
      {long_key + "A", long_key + "B", true},
      {"z", "\x80", true},
      {"\x80", "z", false},
      {"\x7f", "\xff", true},
      {"\xff", "\x80", false},
      {"abc\x80", "abcz", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << '"' << c.a << "\" < \"" << c.b << '"');
    EXPECT_EQ(c.less, Make<NarrowString>(c.a) < Make<NarrowString>(c.b));
  }
}

TEST(NarrowStringTest, EqualityAndConcatenation) {
  NarrowString key("IDS_WIZARD_");
  NarrowString full = key + "FINISH";
  EXPECT_TRUE(full == "IDS_WIZARD_FINISH");
  EXPECT_FALSE(full == "IDS_WIZARD_FINISh");
  EXPECT_TRUE(full == NarrowString("IDS_WIZARD_FINISH"));
  EXPECT_TRUE(full.is_inline());
  NarrowString longer = full + key;
  EXPECT_EQ("IDS_WIZARD_FINISHIDS_WIZARD_", Str(longer));
  EXPECT_EQ(32u, longer.capacity());
}

// ---------------------------------------------------------------------------
// Capacity classes.

// Growth of a heap string by an exact request for `count` elements plus the
// header, through resize.
TEST(NarrowStringTest, CapacityClassesAtTheirBoundaries) {
  struct Case {
    uint32_t request;  // bytes, header included
    uint32_t capacity;
  };
  const Case cases[] = {
      {25, 32},       {256, 256},       {257, 272},     {512, 512},
      {513, 544},     {1023, 1024},     {1024, 1024},   {1025, 1088},
      {2047, 2048},   {2049, 2176},     {4095, 4096},   {4097, 4352},
      {8191, 8192},   {8193, 8704},     {16383, 16384}, {16384, 16384},
      {16385, 16385}, {100001, 100001},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request);
    NarrowString s = Narrow(20);  // capacity 24
    s.resize(c.request - 4, 'x');
    EXPECT_EQ(c.capacity, s.capacity());
    ExpectWellFormed(s);
  }
}

TEST(WideStringTest, CapacityClassesAtTheirBoundaries) {
  struct Case {
    uint32_t request;  // units, header included
    uint32_t capacity;
  };
  const Case cases[] = {
      {13, 16},     {128, 128},   {129, 136},     {256, 256},   {257, 272},
      {511, 512},   {513, 544},   {1023, 1024},   {1025, 1088}, {2047, 2048},
      {2049, 2176}, {4095, 4096}, {4096, 4096},   {4097, 4352}, {8191, 8192},
      {8192, 8192}, {8193, 8193}, {50001, 50001},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request);
    WideString s = Wide(10);  // capacity 12
    s.resize(c.request - 2, u'x');
    EXPECT_EQ(c.capacity, s.capacity());
    ExpectWellFormed(s);
  }
}

// ---------------------------------------------------------------------------
// Threads.

TEST(WideStringTest, CopyOnWriteAcrossThreads) {
  const std::u16string text = Letters<char16_t>(100);
  const WideString shared = Make<WideString>(text);
  constexpr int kThreads = 8;
  constexpr int kRounds = 2000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&shared, &text, t] {
      for (int round = 0; round < kRounds; ++round) {
        WideString copy = shared;
        if (t % 2 == 0) {
          // Readers: copies come and go; the text is never copied.
          WideString second = copy;
          if (second.c_str() != shared.c_str() || !(second == shared)) {
            ADD_FAILURE() << "copy lost the shared text";
            return;
          }
        } else {
          // Writers: each write unshares the copy first.
          copy.push_back(static_cast<char16_t>(u'0' + t));
          copy.replace(0, 1, WideString(u"#"));
          if (copy.length() != text.size() + 1 || copy[0] != u'#' ||
              copy.c_str() == shared.c_str()) {
            ADD_FAILURE() << "write did not unshare";
            return;
          }
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(text, Str(shared));
  EXPECT_EQ(1, shared.use_count());
}

// Holders on several threads drop their references while the others write:
// whichever holder is last writes in place or frees the block.
TEST(WideStringTest, LastHolderOnAnyThreadOwnsTheBlock) {
  constexpr int kThreads = 6;
  for (int round = 0; round < 200; ++round) {
    std::vector<WideString> copies;
    {
      WideString original = Wide(40);
      copies.assign(kThreads, original);
    }
    std::atomic<bool> start{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&copies, &start, t] {
        while (!start.load(std::memory_order_acquire)) {
          std::this_thread::yield();
        }
        WideString& mine = copies[t];
        if (t % 3 == 0) {
          mine = WideString();
        } else {
          // Neither write needs a bigger block: the last holder writes into
          // the block the others have just read.
          mine.erase(0, 1);
          mine.append(u"!", 1);
        }
      });
    }
    start.store(true, std::memory_order_release);
    for (std::thread& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) {
      if (t % 3 == 0) {
        EXPECT_TRUE(copies[t].empty());
      } else {
        EXPECT_EQ(Letters<char16_t>(39, 'b') + u"!", Str(copies[t]));
        EXPECT_EQ(1, copies[t].use_count());
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Random operations against std::basic_string, on a pool of values that
// share blocks with each other.

template <typename S>
class CowStringModelTest : public testing::Test {};

using StringTypes = testing::Types<WideString, NarrowString>;
TYPED_TEST_SUITE(CowStringModelTest, StringTypes);

TYPED_TEST(CowStringModelTest, MatchesStandardStrings) {
  using S = TypeParam;
  using C = typename S::value_type;
  using Model = std::basic_string<C>;
  constexpr int kPool = 5;
  std::mt19937 random(12345);
  auto below = [&random](uint32_t bound) {
    return bound == 0
               ? 0u
               : std::uniform_int_distribution<uint32_t>(0, bound - 1)(random);
  };
  auto random_text = [&](uint32_t max_length) {
    Model text;
    const uint32_t length = below(max_length + 1);
    for (uint32_t i = 0; i < length; ++i) {
      // Letters, and units or bytes above ASCII; never 0.
      text.push_back(below(4) == 0 ? static_cast<C>(0x80 + below(0x7F))
                                   : static_cast<C>('a' + below(26)));
    }
    return text;
  };

  std::vector<S> values(kPool);
  std::vector<Model> models(kPool);
  for (int step = 0; step < 20000; ++step) {
    const int i = static_cast<int>(below(kPool));
    const int j = static_cast<int>(below(kPool));
    S& s = values[i];
    Model& m = models[i];
    const uint32_t length = static_cast<uint32_t>(m.size());
    const uint32_t position = below(length + 1);
    const uint32_t count = below(4) == 0 ? S::npos : below(length + 2);
    const uint32_t clipped = std::min(count, length - position);
    const int operation = static_cast<int>(below(13));
    SCOPED_TRACE(testing::Message() << "step " << step << " op " << operation);
    switch (operation) {
      case 0: {
        const Model text = random_text(45);
        s.assign(text.data(), static_cast<uint32_t>(text.size()));
        m = text;
        break;
      }
      case 1:  // from its own text
        s.assign(s.c_str() + position, clipped);
        m = m.substr(position, clipped);
        break;
      case 2: {
        const Model text = random_text(30);
        s.append(text.data(), static_cast<uint32_t>(text.size()));
        m += text;
        break;
      }
      case 3: {  // from another value, possibly itself or sharing its block
        const uint32_t other_length = static_cast<uint32_t>(models[j].size());
        const uint32_t from = below(other_length + 1);
        const uint32_t n = below(other_length + 2);
        const Model source = models[j];
        s.append(values[j], from, n);
        m.append(source, from, std::min(n, other_length - from));
        break;
      }
      case 4: {
        if (below(2) == 0) {  // from its own text
          const Model text = m.substr(position / 2, clipped);
          s.insert(position, s.c_str() + position / 2,
                   s.c_str() + position / 2 + text.size());
          m.insert(position, text);
        } else {
          const Model text = random_text(25);
          s.insert(position, text.data(), text.data() + text.size());
          m.insert(position, text);
        }
        break;
      }
      case 5:
        s.erase(position, count);
        m.erase(position, clipped);
        break;
      case 6: {
        const Model source = models[j];
        s.replace(position, count, values[j]);
        m.replace(position, clipped, source);
        break;
      }
      case 7: {
        const uint32_t new_length = below(50);
        const C fill = static_cast<C>('A' + below(26));
        s.resize(new_length, fill);
        m.resize(new_length, fill);
        break;
      }
      case 8:
        s = values[j];
        m = models[j];
        break;
      case 9: {
        S temporary = values[j];
        s = std::move(temporary);
        m = models[j];
        break;
      }
      case 10: {
        const Model a = models[i];
        const Model b = models[j];
        s = values[i] + values[j];
        m = a + b;
        break;
      }
      case 11: {
        const Model text = random_text(25);
        s = values[j] + text.c_str();
        m = models[j] + text;
        break;
      }
      case 12: {
        const C unit = static_cast<C>('a' + below(26));
        s.push_back(unit);
        m.push_back(unit);
        break;
      }
    }
    for (int k = 0; k < kPool; ++k) {
      ASSERT_EQ(models[k], Str(values[k])) << "value " << k;
      ExpectWellFormed(values[k]);
      if (!values[k].is_inline()) {
        int holders = 0;
        for (const S& other : values)
          holders += other.block() == values[k].block();
        ASSERT_EQ(holders, values[k].use_count()) << "value " << k;
      }
    }
    for (int k = 0; k < kPool; ++k) {
      ASSERT_EQ(models[i] == models[k], values[i] == values[k]);
      ASSERT_EQ(models[i] < models[k], values[i] < values[k]);
    }
  }
}

}  // namespace
