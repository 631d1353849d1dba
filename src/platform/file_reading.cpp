#include "platform/file_reading.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/system_error.h"
#include "platform/unique_fd.h"

namespace vexa::platform {

std::string readWholeFile(const std::filesystem::path& path, const FileReadOptions& options) {
  // O_NONBLOCK: opening a FIFO must not wait for a writer; it is refused below like any
  // non-regular file. On a regular file the flag changes nothing.
  const int noFollow = options.followFinalLink ? 0 : O_NOFOLLOW;
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | noFollow));
  if (!fd) throwErrno(path.string());
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0) throwErrno(path.string());
  // Refuse folders, devices and FIFOs: reading one could block for ever or never end.
  if (S_ISDIR(status.st_mode)) throwErrno(path.string(), EISDIR);
  if (!S_ISREG(status.st_mode)) throwErrno(path.string(), EINVAL);
  std::string content;
  char buffer[65536];
  while (content.size() < options.limit) {
    const std::ptrdiff_t count = readUninterrupted(
        fd.get(), buffer, std::min(sizeof buffer, options.limit - content.size()));
    if (count < 0) throwErrno(path.string());
    if (count == 0) break;
    content.append(buffer, static_cast<std::size_t>(count));
  }
  return content;
}

std::ptrdiff_t readUninterrupted(int fd, char* buffer, std::size_t size) {
  for (;;) {
    const ssize_t count = ::read(fd, buffer, size);
    if (count >= 0 || errno != EINTR) return count;
  }
}

}  // namespace vexa::platform
