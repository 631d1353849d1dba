#pragma once

#include <cstddef>
#include <filesystem>
#include <limits>
#include <string>

namespace vexa::platform {

// The whole content of the regular file at `path` (a final symbolic link is followed). Throws
// std::system_error with the system's errno (ENOENT, EACCES, EISDIR, ...) and the path when the
// file cannot be opened or read. Anything but a regular file (a folder, a FIFO, a device) is
// refused without blocking: EISDIR for a folder, EINVAL otherwise. At most `limit` bytes are read,
// so a caller that caps a file's size never holds more of an oversized file than that.
[[nodiscard]] std::string readWholeFile(
    const std::filesystem::path& path, std::size_t limit = std::numeric_limits<std::size_t>::max());

}  // namespace vexa::platform
