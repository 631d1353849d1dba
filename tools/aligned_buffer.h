#pragma once

#include <cstddef>

namespace vexa::tools {

// A page-aligned block of memory for large reads: the kernel copies file data into a misaligned
// heap block about three times slower. Not copyable; allocation failure throws std::bad_alloc.
class AlignedBuffer {
 public:
  static constexpr std::size_t kAlignment = 4096;
  explicit AlignedBuffer(std::size_t size);
  ~AlignedBuffer();
  AlignedBuffer(const AlignedBuffer&) = delete;
  AlignedBuffer& operator=(const AlignedBuffer&) = delete;

  [[nodiscard]] char* data() const { return data_; }
  [[nodiscard]] std::size_t size() const { return size_; }

 private:
  char* data_;
  std::size_t size_;
};

// The calling thread's read buffer (1 MiB, page-aligned), allocated on its first use there. A
// thread never reads two files at once through it.
[[nodiscard]] AlignedBuffer& readBuffer();

}  // namespace vexa::tools
