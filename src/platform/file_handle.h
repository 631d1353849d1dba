#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>

#include "platform/page_aligned_buffer.h"
#include "platform/unique_fd.h"

// A file open for writing, as the download keeps its partial file, plus the two file-system steps
// around it: creating the empty file and moving the finished one to its final name.
namespace vexa::platform {

// Owns one descriptor open for writing (close-on-exec). Every failure throws std::system_error with
// errno and the path. Written bytes are gathered in a page-aligned block of blockSize and reach the
// file a whole block at a time, at offsets that are multiples of blockSize (the first block after
// a seek ends at the next such offset): a download arrives in pieces of a few KiB, and one system
// call per piece costs more than the copy into the block. So a write error may surface only at a
// later write(), flush(), synchronize() or close(). Destruction writes what is gathered (ignoring
// errors) and closes without flushing to the disk. One thread at a time.
class FileHandle {
 public:
  static constexpr std::int64_t blockSize = 1 << 20;

  FileHandle() = default;
  FileHandle(FileHandle&&) noexcept = default;
  // Writes what this handle has gathered (ignoring errors) before taking over `other`.
  FileHandle& operator=(FileHandle&& other) noexcept;
  ~FileHandle();

  // An existing file, opened without truncating it and without following a final symbolic link.
  [[nodiscard]] static FileHandle openForWriting(const std::filesystem::path& path);

  [[nodiscard]] bool isOpen() const { return fd_.valid(); }
  // Writes what is gathered, moves to the end of the file and returns that offset (the length).
  [[nodiscard]] std::int64_t seekToEnd();
  // Writes what is gathered, then cuts (or extends) the file to `length` bytes and moves the
  // position there, so the next write continues exactly at the new end instead of leaving a hole.
  void truncate(std::int64_t length);
  // Appends all of `bytes` at the current position (gathered; see above). Every few dozen MiB the
  // kernel is asked to start writing what came before to the disk (without waiting for it), so
  // that a long sequential write does not leave everything to the final synchronize().
  void write(std::span<const char> bytes);
  // Writes what is gathered to the file (not to the disk).
  void flush();
  // Writes what is gathered and flushes the file's data to the disk.
  void synchronize();
  // Writes what is gathered and closes the descriptor; the handle owns nothing afterwards, whether
  // or not either step failed.
  void close();

 private:
  FileHandle(UniqueFd fd, std::filesystem::path path);
  [[noreturn]] void fail() const;
  void writeOut(const char* data, std::size_t size);

  UniqueFd fd_;
  std::filesystem::path path_;
  // The gathered bytes: they follow the file's position, which is `position_`.
  std::unique_ptr<PageAlignedBuffer> block_;
  std::size_t gathered_ = 0;
  std::int64_t position_ = 0;
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
