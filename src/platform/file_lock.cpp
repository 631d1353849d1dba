#include "platform/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <system_error>
#include <utility>

#include "platform/file_error.h"
#include "platform/system_error.h"
#include "platform/unique_fd.h"

namespace vexa::platform {

std::optional<FileLock> FileLock::tryAcquire(const std::filesystem::path& path) {
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd) throwErrno(path.string());
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) return std::nullopt;
    throwErrno(path.string());
  }
  return FileLock(fd.release());
}

FileLock::FileLock(FileLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
  if (this != &other) {
    UniqueFd released(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

FileLock::~FileLock() { UniqueFd released(fd_); }

ExclusiveLockFile::ExclusiveLockFile(std::filesystem::path path) : path_(std::move(path)) {
  fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd_ < 0) throw std::system_error(FileError::fileLocking, path_.string());
}

ExclusiveLockFile::~ExclusiveLockFile() {
  UniqueFd released(fd_);
  released.reset();
  ::unlink(path_.c_str());
}

}  // namespace vexa::platform
