#pragma once

#include <filesystem>
#include <optional>

namespace vexa::platform {

// An exclusive advisory lock (flock) on a file that stays in place, held while this object lives
// and released when it is destroyed or when the process ends, whichever comes first. The
// descriptor is close-on-exec, so no child can keep the lock alive after its owner ends.
//
// Any thread; one object is not shared between threads. Failures are std::system_error.
class FileLock {
 public:
  // Opens `path` (created with permissions 0600 when missing, never truncated: only the lock
  // matters, not the content) and takes the lock without waiting. Nothing when another open file
  // holds the lock; std::system_error for every other failure, among them a symbolic link in the
  // file's place (ELOOP: a link is never followed).
  [[nodiscard]] static std::optional<FileLock> tryAcquire(const std::filesystem::path& path);

  FileLock(FileLock&& other) noexcept;
  FileLock& operator=(FileLock&& other) noexcept;
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  ~FileLock();

 private:
  explicit FileLock(int fd) : fd_(fd) {}

  int fd_ = -1;
};

// A lock file that exists only while this object lives: created exclusively, and closed and removed
// by the destructor, so every way out of the guarded work releases it. Another process finding the
// file does not wait; it fails. Never follows a symbolic link.
//
// Any thread. The constructor throws std::system_error(FileError::fileLocking) naming the path
// when the file exists already or cannot be created for any other reason.
class ExclusiveLockFile {
 public:
  explicit ExclusiveLockFile(std::filesystem::path path);
  ExclusiveLockFile(const ExclusiveLockFile&) = delete;
  ExclusiveLockFile& operator=(const ExclusiveLockFile&) = delete;
  ~ExclusiveLockFile();

 private:
  const std::filesystem::path path_;
  int fd_ = -1;
};

}  // namespace vexa::platform
