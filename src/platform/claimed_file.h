#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

namespace vexa::platform {

// An existing file that this object alone, among every process following the same rule, may work
// on: an exclusive advisory lock (flock) on it, held while the object lives and released when it
// is destroyed or the process ends. Unlike FileLock it never creates the file, and it checks that
// the path still names the locked file, so a file that a previous holder removed (its work done)
// is never taken up again.
//
// Any thread; one object is not shared between threads. Failures are std::system_error.
class ClaimedFile {
 public:
  // Opens the regular file at `path` without following a symbolic link and takes the lock without
  // waiting. Nothing when another holder has it, or when the path names no file or another file
  // once the lock is taken. std::system_error for every other failure (ELOOP for a link, EINVAL for
  // anything but a regular file).
  [[nodiscard]] static std::optional<ClaimedFile> tryClaim(const std::filesystem::path& path);

  ClaimedFile(ClaimedFile&& other) noexcept;
  ClaimedFile& operator=(ClaimedFile&& other) noexcept;
  ClaimedFile(const ClaimedFile&) = delete;
  ClaimedFile& operator=(const ClaimedFile&) = delete;
  ~ClaimedFile();

  // The content from the start, at most `limit` bytes (one more than a caller accepts tells it
  // the file is too large).
  [[nodiscard]] std::string read(std::size_t limit) const;

 private:
  ClaimedFile(int fd, std::filesystem::path path) : fd_(fd), path_(std::move(path)) {}

  int fd_ = -1;
  std::filesystem::path path_;
};

}  // namespace vexa::platform
