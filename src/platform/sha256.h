#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>

// SHA-256 for package verification, over OpenSSL's EVP interface (which picks the SHA extensions
// or AVX2 code paths of the processor it runs on).
namespace vexa::platform {

// One streaming computation: update() any number of times, then finishHex() once. Not copyable;
// one object per computation and thread. Throws std::runtime_error when OpenSSL fails.
class Sha256 {
 public:
  // Files are read in pieces of at most this many bytes, through one buffer.
  static constexpr std::size_t readSize = 1 << 20;

  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void update(std::span<const char> bytes);
  // The digest as 64 lower-case hexadecimal digits. Ends the computation.
  [[nodiscard]] std::string finishHex();

  // The digest of everything in the file at `path`, read once from start to end. Throws
  // std::system_error (errno, the path) when it cannot be opened or read; the file is closed on
  // every path out.
  [[nodiscard]] static std::string ofFile(const std::filesystem::path& path);

 private:
  struct Context;
  std::unique_ptr<Context> context_;
};

// The size in bytes of the item at `path` itself: a final symbolic link is not followed, so for a
// link this is the link's own size. Throws std::system_error (errno, the path).
[[nodiscard]] std::int64_t itemSize(const std::filesystem::path& path);

}  // namespace vexa::platform
