#pragma once

#include <cstddef>
#include <filesystem>
#include <limits>
#include <string>

namespace vexa::platform {

struct FileReadOptions {
  // At most this many bytes are read, so a caller that caps a file's size never holds more of an
  // oversized file than that.
  std::size_t limit = std::numeric_limits<std::size_t>::max();
  // When false, a symbolic link in the file's place is refused (ELOOP) instead of followed.
  bool followFinalLink = true;
};

// The whole content of the regular file at `path`. Throws std::system_error with the system's
// errno (ENOENT, EACCES, EISDIR, ...) and the path when the file cannot be opened or read. Anything
// but a regular file (a folder, a FIFO, a device) is refused without blocking: EISDIR for a
// folder, EINVAL otherwise.
[[nodiscard]] std::string readWholeFile(const std::filesystem::path& path,
                                        const FileReadOptions& options = {});

// One read(2) of at most `size` bytes from the descriptor `fd` into `buffer`, made again whenever
// a signal interrupts it: the number of bytes read (0 at the end of the file), or -1 with errno
// set for any other failure.
[[nodiscard]] std::ptrdiff_t readUninterrupted(int fd, char* buffer, std::size_t size);

}  // namespace vexa::platform
