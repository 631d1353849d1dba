#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "platform/unique_fd.h"

// SHA-256 for package verification, over OpenSSL's EVP interface (which picks the SHA extensions
// or AVX2 code paths of the processor it runs on).
namespace vexa::platform {

// One streaming computation: update() any number of times, then finishHex() once. Not copyable;
// one object per computation and thread. Throws std::runtime_error when OpenSSL fails.
class Sha256 {
 public:
  // Files are read through one buffer of this many bytes, in pieces of half of it.
  static constexpr std::size_t readSize = 1 << 20;

  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void update(std::span<const char> bytes);
  // The digest as 64 lower-case hexadecimal digits. Ends the computation.
  [[nodiscard]] std::string finishHex();

 private:
  struct Context;
  std::unique_ptr<Context> context_;
};

// A regular file held open for hashing. It is opened read-only without following a final symbolic
// link and without blocking (a FIFO is never waited on), and its size comes from the open
// descriptor, so the size a caller checks and the bytes it hashes belong to one and the same file,
// whatever is done to the path in between. Movable; one thread at a time. Closed on destruction.
class HashableFile {
 public:
  // The regular file at `path`, or nullopt when the item there is a symbolic link, a folder, a
  // FIFO, a device or a socket. Throws std::system_error (errno, the path) when there is nothing
  // to examine or it cannot be opened (ENOENT, EACCES, ...).
  [[nodiscard]] static std::optional<HashableFile> open(const std::filesystem::path& path);

  // The size the file had when it was opened.
  [[nodiscard]] std::int64_t size() const { return size_; }
  // The digest of everything from the file's first byte to its end, read once, front to back,
  // through one page-aligned buffer of Sha256::readSize (the kernel copies into an aligned buffer
  // markedly faster): a reader thread of its own fills one half while the calling thread hashes
  // the other, so the time approaches that of the hashing alone; a block the reader has not
  // started yet the calling thread reads itself, so a busy machine never makes it wait. The reader
  // has ended when this returns or throws. `progress`, when set, hears the bytes hashed so far
  // after every block. Throws std::system_error (errno, the path) on a read error.
  [[nodiscard]] std::string sha256Hex(
      const std::function<void(std::int64_t hashed)>& progress = {});

 private:
  HashableFile(UniqueFd fd, std::filesystem::path path, std::int64_t size)
      : fd_(std::move(fd)), path_(std::move(path)), size_(size) {}

  UniqueFd fd_;
  std::filesystem::path path_;
  std::int64_t size_ = 0;
};

}  // namespace vexa::platform
