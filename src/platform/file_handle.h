#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <span>

#include "platform/unique_fd.h"

// A file open for writing, as the download keeps its partial file, plus the two file-system steps
// around it: creating the empty file and moving the finished one to its final name.
namespace vexa::platform {

// Owns one descriptor open for writing (close-on-exec). Every failure throws std::system_error with
// errno and the path. Destruction closes without flushing; close() reports what closing reports.
// One thread at a time.
class FileHandle {
 public:
  FileHandle() = default;
  FileHandle(FileHandle&&) noexcept = default;
  FileHandle& operator=(FileHandle&&) noexcept = default;

  // An existing file, opened without truncating it and without following a final symbolic link.
  [[nodiscard]] static FileHandle openForWriting(const std::filesystem::path& path);

  [[nodiscard]] bool isOpen() const { return fd_.valid(); }
  // Moves to the end of the file and returns that offset (the file's length).
  [[nodiscard]] std::int64_t seekToEnd();
  // Cuts (or extends) the file to `length` bytes and moves the position there, so the next write
  // continues exactly at the new end instead of leaving a hole.
  void truncate(std::int64_t length);
  // Writes all of `bytes` at the current position. Every few MiB the kernel is asked to start
  // writing what came before to the disk (without waiting for it), so that a long sequential
  // write does not leave everything to the final synchronize().
  void write(std::span<const char> bytes);
  // Flushes the file's data to the disk.
  void synchronize();
  // Closes the descriptor; the handle owns nothing afterwards, whether or not closing failed.
  void close();

 private:
  FileHandle(UniqueFd fd, std::filesystem::path path)
      : fd_(std::move(fd)), path_(std::move(path)) {}
  [[noreturn]] void fail() const;

  UniqueFd fd_;
  std::filesystem::path path_;
  // Bytes written since the last write-back request, and where they begin.
  std::int64_t unflushedStart_ = -1;
  std::int64_t unflushedBytes_ = 0;
};

// Creates an empty file with exactly `mode` (whatever the umask). Fails (EEXIST) when anything is
// at `path` already, a symbolic link included. Throws std::system_error.
void createEmptyFile(const std::filesystem::path& path, mode_t mode);

// Renames `from` to `to` within one file system, failing (EEXIST) instead of replacing an item
// that is at `to`. Throws std::system_error.
void moveItem(const std::filesystem::path& from, const std::filesystem::path& to);

}  // namespace vexa::platform
