#include "aligned_buffer.h"

#include <new>

namespace vexa::tools {

AlignedBuffer::AlignedBuffer(std::size_t size)
    : data_(static_cast<char*>(::operator new(size, std::align_val_t(kAlignment)))), size_(size) {}

AlignedBuffer::~AlignedBuffer() { ::operator delete(data_, std::align_val_t(kAlignment)); }

AlignedBuffer& readBuffer() {
  thread_local AlignedBuffer buffer(std::size_t{1} << 20);
  return buffer;
}

}  // namespace vexa::tools
