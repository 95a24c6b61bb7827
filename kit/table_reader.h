// Reads the container's tables front to back through a buffer, refusing to
// read beyond the container's end or beyond the body of the record or entry
// being parsed. While the kit is still being inflated the container's size
// is not known: reads then ask the inflation for the bytes they need and
// wait for them.
//
// One thread per reader; several readers may share the container.
#ifndef KIT_TABLE_READER_H_
#define KIT_TABLE_READER_H_

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "kit/kit_container.h"
#include "kit/kit_format.h"
#include "platform/status.h"

class InflationPipe;

class TableReader {
 public:
  // Reads `container` from `position`; `size` is the container's size, or
  // with `inflation` the most it may become.
  TableReader(KitContainer* container, uint64_t size, InflationPipe* inflation,
              uint64_t position = 0);

  uint64_t position() const { return position_; }
  uint64_t size() const { return size_; }

  // Copies `count` bytes. kDamagedKit when the container ends first.
  // Reads the buffer already holds are inline: the tables are read a few
  // bytes at a time.
  Status Read(void* out, uint64_t count) {
    if (count <= end_ - begin_) {
      std::memcpy(out, buffer_.get() + begin_, count);
      begin_ += static_cast<uint32_t>(count);
      position_ += count;
      return Status::Ok();
    }
    return ReadAcrossFill(out, count);
  }
  Status ReadU32(uint32_t* value) {
    if (end_ - begin_ >= 4) {
      const unsigned char* bytes = buffer_.get() + begin_;
      *value = bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) |
               (static_cast<uint32_t>(bytes[3]) << 24);
      begin_ += 4;
      position_ += 4;
      return Status::Ok();
    }
    return ReadU32AcrossFill(value);
  }
  // A string (u32 count of UTF-16LE units, then the units) that must end
  // at or before `limit` (an absolute position).
  Status ReadString(uint64_t limit, WideString* text);
  // Moves to the absolute position `target`, which lies ahead.
  Status SkipTo(uint64_t target);

 private:
  Status ReadAcrossFill(void* out, uint64_t count);
  Status ReadU32AcrossFill(uint32_t* value);
  Status Fill();

  KitContainer* const container_;
  const uint64_t size_;
  InflationPipe* const inflation_;
  std::unique_ptr<unsigned char[]> buffer_;
  uint32_t begin_ = 0;
  uint32_t end_ = 0;
  uint64_t position_ = 0;
  std::vector<char16_t> units_;
  std::vector<unsigned char> raw_;
};

// True for a name an entry may have: no NUL unit and no ".." component
// (separators "\\" and "/"), so that it stays inside the template directory.
bool IsSafeEntryName(const WideString& name);

// Reads one file entry at the reader's position and moves past its body.
// The offset stays relative to the data area. kDamagedKit for an entry that is too
// small for its fields or whose name would leave the template directory.
Status ReadEntryRecord(TableReader& in, KitEntry* entry);

#endif  // KIT_TABLE_READER_H_
