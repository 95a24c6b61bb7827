#include "kit/table_reader.h"

#include <algorithm>
#include <cstring>

#include "kit/inflation_pipe.h"

namespace {

// The tables are read through a buffer of this size.
constexpr uint32_t kTableBufferSize = 256 * 1024;

Status Damaged() { return Status::Of(Status::Kind::kDamagedKit); }

}  // namespace

TableReader::TableReader(KitContainer* container, uint64_t size,
                         InflationPipe* inflation, uint64_t position)
    : container_(container),
      size_(size),
      inflation_(inflation),
      buffer_(std::make_unique<unsigned char[]>(kTableBufferSize)),
      position_(position) {}

Status TableReader::ReadAcrossFill(void* out, uint64_t count) {
  if (count > size_ - position_) return Damaged();
  unsigned char* to = static_cast<unsigned char*>(out);
  while (count > 0) {
    if (begin_ == end_) {
      TQ_RETURN_IF_ERROR(Fill());
    }
    const uint32_t piece =
        static_cast<uint32_t>(std::min<uint64_t>(count, end_ - begin_));
    std::memcpy(to, buffer_.get() + begin_, piece);
    begin_ += piece;
    to += piece;
    position_ += piece;
    count -= piece;
  }
  return Status::Ok();
}

Status TableReader::ReadU32AcrossFill(uint32_t* value) {
  unsigned char bytes[4];
  TQ_RETURN_IF_ERROR(Read(bytes, 4));
  *value = bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) |
           (static_cast<uint32_t>(bytes[3]) << 24);
  return Status::Ok();
}

Status TableReader::ReadString(uint64_t limit, WideString* text) {
  uint32_t count = 0;
  if (limit < position_ || limit - position_ < 4) return Damaged();
  TQ_RETURN_IF_ERROR(ReadU32(&count));
  const uint64_t bytes = 2 * static_cast<uint64_t>(count);
  if (bytes > limit - position_) return Damaged();
  if (count > WideString::kMaxLength) return Damaged();
  if (count == 0) {
    *text = WideString();
    return Status::Ok();
  }
  // While inflating, the count is checked only against the largest
  // container, not against the bytes that exist: the string grows as its
  // bytes arrive, so that a short kit claiming a long string fails before it
  // has made the reader take gigabytes.
  units_.clear();
  for (uint32_t done = 0; done < count;) {
    const uint32_t piece = std::min(count - done, kTableBufferSize / 2);
    raw_.resize(2 * static_cast<size_t>(piece));
    TQ_RETURN_IF_ERROR(Read(raw_.data(), raw_.size()));
    for (uint32_t i = 0; i < piece; ++i) {
      units_.push_back(
          static_cast<char16_t>(raw_[2 * i] | (raw_[2 * i + 1] << 8)));
    }
    done += piece;
  }
  text->assign(units_.data(), count);
  return Status::Ok();
}

Status TableReader::SkipTo(uint64_t target) {
  if (target > size_ || target < position_) return Damaged();
  const uint64_t distance = target - position_;
  if (distance <= end_ - begin_) {
    begin_ += static_cast<uint32_t>(distance);
  } else {
    begin_ = end_ = 0;  // the next Fill reads from there
  }
  position_ = target;
  return Status::Ok();
}

Status TableReader::Fill() {
  // Never past size_, so that a read the buffer already holds needs no check.
  uint32_t want = static_cast<uint32_t>(
      std::min<uint64_t>(kTableBufferSize, size_ - position_));
  if (want == 0) return Damaged();
  if (inflation_ != nullptr) {
    uint64_t available = 0;
    TQ_RETURN_IF_ERROR(inflation_->WaitFor(position_ + 1, &available));
    want = static_cast<uint32_t>(
        std::min<uint64_t>(want, available - position_));
  }
  uint32_t got = 0;
  TQ_RETURN_IF_ERROR(container_->ReadAt(position_, buffer_.get(), want, &got));
  // The container is private to the reader; a short file here means it
  // changed under us, which is as good as damaged.
  if (got == 0) return Damaged();
  begin_ = 0;
  end_ = got;
  return Status::Ok();
}

bool IsSafeEntryName(const WideString& name) {
  const char16_t* units = name.c_str();
  const uint32_t length = name.length();
  uint32_t component_start = 0;
  for (uint32_t i = 0; i <= length; ++i) {
    const char16_t unit = i < length ? units[i] : u'/';
    if (i < length && unit == 0) return false;
    if (unit == u'/' || unit == u'\\') {
      if (i - component_start == 2 && units[component_start] == u'.' &&
          units[component_start + 1] == u'.') {
        return false;
      }
      component_start = i + 1;
    }
  }
  return true;
}

Status ReadEntryRecord(TableReader& in, KitEntry* entry) {
  uint32_t entry_size = 0;
  TQ_RETURN_IF_ERROR(in.ReadU32(&entry_size));
  if (entry_size < 4) return Damaged();
  const uint64_t body_end = in.position() + (entry_size - 4);
  if (body_end > in.size()) return Damaged();
  TQ_RETURN_IF_ERROR(in.ReadString(body_end, &entry->name));
  if (body_end - in.position() < 16) return Damaged();
  uint32_t fields[4];
  for (uint32_t& field : fields) {
    TQ_RETURN_IF_ERROR(in.ReadU32(&field));
  }
  TQ_RETURN_IF_ERROR(in.SkipTo(body_end));
  if (!IsSafeEntryName(entry->name)) return Damaged();
  entry->last_write = fields[0] | (static_cast<uint64_t>(fields[1]) << 32);
  entry->offset = fields[2];
  entry->size = fields[3];
  return Status::Ok();
}
