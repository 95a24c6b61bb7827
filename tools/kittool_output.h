// The buffer behind kittool's standard output. A report cut short by a full
// disk or a closed pipe must not pass for a whole one, so the first failed
// write is kept with its reason however early it happened (std::cout's
// stdio buffer would lose it long before the last flush). One thread.
#ifndef TOOLS_KITTOOL_OUTPUT_H_
#define TOOLS_KITTOOL_OUTPUT_H_

#include <cstddef>
#include <streambuf>

class SystemApi;

// Bytes are written to the descriptor through the SystemApi (WriteAll), in
// blocks, line by line when it is a terminal. The first failure keeps its
// errno and fails every later write. The destructor writes what is left.
class DescriptorOutput : public std::streambuf {
 public:
  DescriptorOutput(SystemApi& sys, int fd);
  ~DescriptorOutput() override;
  DescriptorOutput(const DescriptorOutput&) = delete;
  DescriptorOutput& operator=(const DescriptorOutput&) = delete;

  // The errno of the first failed write, or 0.
  int error() const { return error_; }

 protected:
  int_type overflow(int_type c) override;
  std::streamsize xsputn(const char* bytes, std::streamsize count) override;
  int sync() override;

 private:
  static constexpr size_t kSize = 64 * 1024;
  // Writes the put area out; false once any write has failed.
  bool Drain();

  SystemApi& sys_;
  const int fd_;
  const bool by_line_;
  int error_ = 0;
  char buffer_[kSize];
};

#endif  // TOOLS_KITTOOL_OUTPUT_H_
