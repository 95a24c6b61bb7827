#include "tools/kittool_output.h"

#include <algorithm>
#include <cstring>

#include "platform/file_operations.h"
#include "platform/system_api.h"

DescriptorOutput::DescriptorOutput(SystemApi& sys, int fd)
    : sys_(sys), fd_(fd), by_line_(sys.Isatty(fd) == 1) {
  setp(buffer_, buffer_ + kSize);
}

DescriptorOutput::~DescriptorOutput() { Drain(); }

bool DescriptorOutput::Drain() {
  const size_t size = static_cast<size_t>(pptr() - pbase());
  if (error_ == 0 && size > 0) {
    const Status written = WriteAll(sys_, fd_, pbase(), size);
    if (!written.ok()) error_ = written.error();
  }
  setp(buffer_, buffer_ + kSize);
  return error_ == 0;
}

DescriptorOutput::int_type DescriptorOutput::overflow(int_type c) {
  if (!Drain()) return traits_type::eof();
  if (traits_type::eq_int_type(c, traits_type::eof())) {
    return traits_type::not_eof(c);
  }
  *pptr() = traits_type::to_char_type(c);
  pbump(1);
  if (by_line_ && traits_type::to_char_type(c) == '\n' && !Drain()) {
    return traits_type::eof();
  }
  return c;
}

std::streamsize DescriptorOutput::xsputn(const char* bytes,
                                         std::streamsize count) {
  if (error_ != 0) return 0;
  std::streamsize done = 0;
  while (done < count) {
    if (pptr() == epptr() && !Drain()) return done;
    const std::streamsize room = epptr() - pptr();
    const std::streamsize step = std::min(room, count - done);
    std::memcpy(pptr(), bytes + done, static_cast<size_t>(step));
    pbump(static_cast<int>(step));
    done += step;
  }
  if (by_line_ && std::memchr(bytes, '\n', static_cast<size_t>(count)) &&
      !Drain()) {
    return 0;
  }
  return done;
}

int DescriptorOutput::sync() { return Drain() ? 0 : -1; }
