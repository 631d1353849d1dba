#pragma once

#include <unistd.h>

#include <utility>

namespace vexa::platform {

// Sole owner of one file descriptor; closes it on destruction (a close error is ignored, as every
// clean-up here ignores its own failures). Movable, not copyable. -1 means "owns nothing".
//
// Every descriptor the installer opens must be opened close-on-exec (O_CLOEXEC, pipe2, accept4,
// SOCK_CLOEXEC) before it is handed to this owner, so children inherit only 0 to 2.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(std::exchange(other.fd_, -1));
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  [[nodiscard]] int get() const noexcept { return fd_; }
  [[nodiscard]] bool valid() const noexcept { return fd_ >= 0; }
  explicit operator bool() const noexcept { return valid(); }

  // Gives up ownership without closing.
  [[nodiscard]] int release() noexcept { return std::exchange(fd_, -1); }
  void reset(int fd = -1) noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

}  // namespace vexa::platform
