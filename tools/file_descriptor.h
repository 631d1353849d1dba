#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>

// Reading regular files in the Linux stand-ins for the macOS system tools. Safe on any thread (each
// thread reads through its own buffer); every failure throws std::system_error naming the file.
namespace vexa::tools {

// An open descriptor, closed when the object goes.
class FileDescriptor {
 public:
  explicit FileDescriptor(int descriptor) : descriptor_(descriptor) {}
  ~FileDescriptor();
  FileDescriptor(FileDescriptor&& other) noexcept
      : descriptor_(std::exchange(other.descriptor_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&&) = delete;

  [[nodiscard]] int get() const { return descriptor_; }
  // Gives up ownership (to close it and see the result, say).
  [[nodiscard]] int release() { return std::exchange(descriptor_, -1); }

 private:
  int descriptor_;
};

// Opens the regular file at `path` for reading. Anything else (a FIFO, device, socket or folder)
// is refused without ever blocking in open: it is checked before the open, opened non-blocking
// and close-on-exec, and checked again on the open descriptor. `extraFlags` adds to the open
// (O_NOFOLLOW refuses a final link). Throws std::system_error (EINVAL for a file of another type).
[[nodiscard]] FileDescriptor openRegularFile(const std::filesystem::path& path, int extraFlags = 0);

// Reads up to `size` bytes at the file's position into `data`, retrying on EINTR; 0 at the end.
// Throws std::system_error naming `path`.
[[nodiscard]] std::size_t readSome(const FileDescriptor& file, char* data, std::size_t size,
                                   const std::filesystem::path& path);

// Reads a whole regular file (see openRegularFile); throws std::system_error.
[[nodiscard]] std::string readFileBytes(const std::filesystem::path& path);

// Hands the content of the regular file at `path` (opened as openRegularFile does, with
// `openFlags`) to `consume` in large chunks, in one pass: a file larger than the thread's read
// buffer is mapped a few MiB at a time, a smaller one is read through the buffer. A file that is
// cut short meanwhile kills the process (SIGBUS); one that grows throws std::system_error.
void streamRegularFile(const std::filesystem::path& path, int openFlags,
                       const std::function<void(const char*, std::size_t)>& consume);

}  // namespace vexa::tools
