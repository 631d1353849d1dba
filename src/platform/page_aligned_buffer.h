#pragma once

#include <cstddef>

namespace vexa::platform {

// A block of memory aligned to the page size, for large reads and writes: the kernel copies file
// data to and from a page-aligned buffer markedly faster than a misaligned heap block. Not
// copyable or movable; allocation failure throws std::bad_alloc. Usable from one thread at a time.
class PageAlignedBuffer {
 public:
  explicit PageAlignedBuffer(std::size_t size);
  ~PageAlignedBuffer();
  PageAlignedBuffer(const PageAlignedBuffer&) = delete;
  PageAlignedBuffer& operator=(const PageAlignedBuffer&) = delete;

  [[nodiscard]] char* data() const { return data_; }
  [[nodiscard]] std::size_t size() const { return size_; }

 private:
  const std::size_t alignment_;
  const std::size_t size_;
  char* const data_;
};

}  // namespace vexa::platform
