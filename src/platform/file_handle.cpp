#include "platform/file_handle.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace vexa::platform {
namespace {

constexpr std::int64_t kWritebackChunk = 8 << 20;

}  // namespace

FileHandle FileHandle::openForWriting(const std::filesystem::path& path) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY));
  if (!fd) throw std::system_error(errno, std::generic_category(), path.string());
  return FileHandle(std::move(fd), path);
}

void FileHandle::fail() const {
  throw std::system_error(errno, std::generic_category(), path_.string());
}

std::int64_t FileHandle::seekToEnd() {
  const off_t end = ::lseek(fd_.get(), 0, SEEK_END);
  if (end < 0) fail();
  unflushedStart_ = -1;
  return end;
}

void FileHandle::truncate(std::int64_t length) {
  if (::ftruncate(fd_.get(), length) != 0) fail();
  if (::lseek(fd_.get(), length, SEEK_SET) < 0) fail();
  unflushedStart_ = -1;
}

void FileHandle::write(std::span<const char> bytes) {
  if (unflushedStart_ < 0) {
    unflushedStart_ = ::lseek(fd_.get(), 0, SEEK_CUR);
    unflushedBytes_ = 0;
  }
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd_.get(), bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      fail();
    }
    bytes = bytes.subspan(static_cast<std::size_t>(written));
    unflushedBytes_ += written;
  }
  if (unflushedBytes_ >= kWritebackChunk && unflushedStart_ >= 0) {
    // Only a hint: its failure changes nothing, synchronize() still flushes everything.
    (void)::sync_file_range(fd_.get(), unflushedStart_, unflushedBytes_, SYNC_FILE_RANGE_WRITE);
    unflushedStart_ += unflushedBytes_;
    unflushedBytes_ = 0;
  }
}

void FileHandle::synchronize() {
  if (::fsync(fd_.get()) != 0) fail();
}

void FileHandle::close() {
  const int fd = fd_.release();
  // On Linux the descriptor is gone even when close reports an error, so it is never retried.
  if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) fail();
}

void createEmptyFile(const std::filesystem::path& path, mode_t mode) {
  UniqueFd fd(
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, mode));
  if (!fd) throw std::system_error(errno, std::generic_category(), path.string());
  if (::fchmod(fd.get(), mode) != 0) {
    const int error = errno;
    ::unlink(path.c_str());
    throw std::system_error(error, std::generic_category(), path.string());
  }
}

void moveItem(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) != 0) {
    throw std::system_error(errno, std::generic_category(), from.string() + " -> " + to.string());
  }
}

}  // namespace vexa::platform
