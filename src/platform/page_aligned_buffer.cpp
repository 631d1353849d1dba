#include "platform/page_aligned_buffer.h"

#include <unistd.h>

#include <new>

namespace vexa::platform {

PageAlignedBuffer::PageAlignedBuffer(std::size_t size)
    : alignment_(static_cast<std::size_t>(::sysconf(_SC_PAGESIZE))),
      size_(size),
      data_(static_cast<char*>(::operator new[](size, std::align_val_t{alignment_}))) {}

PageAlignedBuffer::~PageAlignedBuffer() {
  ::operator delete[](data_, std::align_val_t{alignment_});
}

}  // namespace vexa::platform
