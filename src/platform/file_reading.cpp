#include "platform/file_reading.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "platform/unique_fd.h"

namespace vexa::platform {

std::string readWholeFile(const std::filesystem::path& path, std::size_t limit) {
  // O_NONBLOCK: opening a FIFO must not wait for a writer; it is refused below like any
  // non-regular file. On a regular file the flag changes nothing.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd) throw std::system_error(errno, std::generic_category(), path.string());
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0)
    throw std::system_error(errno, std::generic_category(), path.string());
  // Refuse folders, devices and FIFOs: reading one could block for ever or never end.
  if (S_ISDIR(status.st_mode))
    throw std::system_error(EISDIR, std::generic_category(), path.string());
  if (!S_ISREG(status.st_mode))
    throw std::system_error(EINVAL, std::generic_category(), path.string());
  std::string content;
  char buffer[65536];
  while (content.size() < limit) {
    const ssize_t count = ::read(fd.get(), buffer, std::min(sizeof buffer, limit - content.size()));
    if (count < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), path.string());
    }
    if (count == 0) break;
    content.append(buffer, static_cast<std::size_t>(count));
  }
  return content;
}

}  // namespace vexa::platform
