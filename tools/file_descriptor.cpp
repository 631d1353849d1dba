#include "file_descriptor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Only regular files: a FIFO or device planted in a bundle must not hang or flood the tool.
void streamRegularFile(const fs::path& path, int openFlags,
                       const std::function<void(const char*, std::size_t)>& consume) {
  const FileDescriptor file = openRegularFile(path, openFlags);
  ::posix_fadvise(file.get(), 0, 0, POSIX_FADV_SEQUENTIAL);  // a hint: longer read-ahead
  AlignedBuffer& buffer = readBuffer();
  while (const std::size_t count = readSome(file, buffer.data(), buffer.size(), path))
    consume(buffer.data(), count);
}

std::string readFileBytes(const fs::path& path) {
  std::string bytes;
  streamRegularFile(path, 0, [&](const char* data, std::size_t size) { bytes.append(data, size); });
  return bytes;
}

}  // namespace vexa::tools
