#include "file_descriptor.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "aligned_buffer.h"

namespace vexa::tools {

namespace fs = std::filesystem;

FileDescriptor::~FileDescriptor() {
  if (descriptor_ >= 0) ::close(descriptor_);
}

FileDescriptor openRegularFile(const fs::path& path, int extraFlags) {
  const auto notRegular = [&] {
    return std::system_error(EINVAL, std::generic_category(),
                             path.string() + " is not a regular file");
  };
  // First by name, so a device is never even opened; then on the descriptor, in case the name
  // was swapped in between.
  struct stat status {};
  const int named = (extraFlags & O_NOFOLLOW) != 0 ? ::lstat(path.c_str(), &status)
                                                   : ::stat(path.c_str(), &status);
  if (named != 0) throw std::system_error(errno, std::generic_category(), path.string());
  if (!S_ISREG(status.st_mode)) throw notRegular();
  FileDescriptor file(
      ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | extraFlags));
  if (file.get() < 0) throw std::system_error(errno, std::generic_category(), path.string());
  if (::fstat(file.get(), &status) != 0)
    throw std::system_error(errno, std::generic_category(), path.string());
  if (!S_ISREG(status.st_mode)) throw notRegular();
  return file;
}

std::size_t readSome(const FileDescriptor& file, char* data, std::size_t size,
                     const fs::path& path) {
  for (;;) {
    const ssize_t count = ::read(file.get(), data, size);
    if (count >= 0) return static_cast<std::size_t>(count);
    if (errno != EINTR) throw std::system_error(errno, std::generic_category(), path.string());
  }
}

namespace {

// Large files are mapped a window at a time rather than read: the bytes are used where the page
// cache holds them, without the copy a read makes (a tenth of the CPU time of hashing them). Small
// windows keep the tool's resident memory small, since mapped pages count towards it.
constexpr std::size_t kMappedWindow = 8 << 20;

// Unmaps its window when it goes.
struct MappedWindow {
  void* address;
  std::size_t length;
  ~MappedWindow() { ::munmap(address, length); }
};

}  // namespace

// Only regular files: a FIFO or device planted in a bundle must not hang or flood the tool.
//
// A file truncated by someone else while it is mapped makes the tool die of SIGBUS, which its
// caller sees as a refusal: the right answer for a bundle that changes while it is checked. A file
// that grows meanwhile is refused too (its size is compared once its mapped length is consumed),
// as the read would have consumed the added bytes.
void streamRegularFile(const fs::path& path, int openFlags,
                       const std::function<void(const char*, std::size_t)>& consume) {
  const FileDescriptor file = openRegularFile(path, openFlags);
  ::posix_fadvise(file.get(), 0, 0, POSIX_FADV_SEQUENTIAL);  // a hint: longer read-ahead
  AlignedBuffer& buffer = readBuffer();
  struct stat status {};
  if (::fstat(file.get(), &status) != 0)
    throw std::system_error(errno, std::generic_category(), path.string());
  off_t offset = 0;
  if (static_cast<std::size_t>(status.st_size) > buffer.size()) {
    for (; offset < status.st_size; offset += static_cast<off_t>(kMappedWindow)) {
      const std::size_t length =
          std::min<std::size_t>(kMappedWindow, static_cast<std::size_t>(status.st_size - offset));
      void* address =
          ::mmap(nullptr, length, PROT_READ, MAP_PRIVATE | MAP_POPULATE, file.get(), offset);
      if (address == MAP_FAILED) break;  // a file system that cannot map: read the rest
      const MappedWindow window{address, length};
      consume(static_cast<const char*>(address), length);
    }
    if (offset >= status.st_size) {
      struct stat after {};
      if (::fstat(file.get(), &after) != 0)
        throw std::system_error(errno, std::generic_category(), path.string());
      if (after.st_size != status.st_size)
        throw std::system_error(EIO, std::generic_category(), path.string() + " changed");
      return;
    }
    if (::lseek(file.get(), offset, SEEK_SET) < 0)
      throw std::system_error(errno, std::generic_category(), path.string());
  }
  while (const std::size_t count = readSome(file, buffer.data(), buffer.size(), path))
    consume(buffer.data(), count);
}

std::string readFileBytes(const fs::path& path) {
  std::string bytes;
  streamRegularFile(path, 0, [&](const char* data, std::size_t size) { bytes.append(data, size); });
  return bytes;
}

}  // namespace vexa::tools
