#include "platform/claimed_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

#include "platform/file_reading.h"
#include "platform/system_error.h"
#include "platform/unique_fd.h"

namespace vexa::platform {

std::optional<ClaimedFile> ClaimedFile::tryClaim(const std::filesystem::path& path) {
  // Non-blocking, so a FIFO put in the file's place cannot hold the caller up.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd) {
    if (errno == ENOENT) return std::nullopt;
    throwErrno(path.string());
  }
  struct stat opened {};
  if (::fstat(fd.get(), &opened) != 0) throwErrno(path.string());
  if (!S_ISREG(opened.st_mode)) throwErrno(path.string(), EINVAL);
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) return std::nullopt;
    throwErrno(path.string());
  }
  // The holder before may have removed or replaced the file between the open and the lock.
  struct stat named {};
  if (::lstat(path.c_str(), &named) != 0 || named.st_dev != opened.st_dev ||
      named.st_ino != opened.st_ino) {
    return std::nullopt;
  }
  return ClaimedFile(fd.release(), path);
}

ClaimedFile::ClaimedFile(ClaimedFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)) {}

ClaimedFile& ClaimedFile::operator=(ClaimedFile&& other) noexcept {
  if (this != &other) {
    UniqueFd released(fd_);
    fd_ = std::exchange(other.fd_, -1);
    path_ = std::move(other.path_);
  }
  return *this;
}

ClaimedFile::~ClaimedFile() { UniqueFd released(fd_); }

std::string ClaimedFile::read(std::size_t limit) const {
  if (::lseek(fd_, 0, SEEK_SET) != 0) throwErrno(path_.string());
  std::string content;
  char buffer[4096];
  while (content.size() < limit) {
    const std::ptrdiff_t count =
        readUninterrupted(fd_, buffer, std::min(sizeof buffer, limit - content.size()));
    if (count < 0) throwErrno("cannot read " + path_.string());
    if (count == 0) break;
    content.append(buffer, static_cast<std::size_t>(count));
  }
  return content;
}

}  // namespace vexa::platform
