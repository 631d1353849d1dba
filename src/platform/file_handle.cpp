#include "platform/file_handle.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <system_error>
#include <utility>

namespace vexa::platform {
namespace {

// How often the kernel is asked to start writing back: rarely enough that the requests cost next to
// nothing, often enough that the final flush finds little left to do.
constexpr std::int64_t kWritebackChunk = 32 << 20;

}  // namespace

FileHandle::FileHandle(UniqueFd fd, std::filesystem::path path)
    : fd_(std::move(fd)),
      path_(std::move(path)),
      block_(std::make_unique<PageAlignedBuffer>(static_cast<std::size_t>(blockSize))) {}

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
  if (this == &other) return *this;
  if (fd_ && gathered_ > 0) {
    try {
      flush();
    } catch (...) {
    }
  }
  fd_ = std::move(other.fd_);
  path_ = std::move(other.path_);
  block_ = std::move(other.block_);
  gathered_ = std::exchange(other.gathered_, 0);
  position_ = other.position_;
  unflushedStart_ = other.unflushedStart_;
  unflushedBytes_ = other.unflushedBytes_;
  return *this;
}

FileHandle::~FileHandle() {
  if (!fd_ || gathered_ == 0) return;
  try {
    flush();
  } catch (...) {
  }
}

FileHandle FileHandle::openForWriting(const std::filesystem::path& path) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY));
  if (!fd) throw std::system_error(errno, std::generic_category(), path.string());
  FileHandle handle(std::move(fd), path);
  handle.position_ = ::lseek(handle.fd_.get(), 0, SEEK_CUR);
  if (handle.position_ < 0) handle.fail();
  return handle;
}

void FileHandle::fail() const {
  throw std::system_error(errno, std::generic_category(), path_.string());
}

std::int64_t FileHandle::seekToEnd() {
  flush();
  const off_t end = ::lseek(fd_.get(), 0, SEEK_END);
  if (end < 0) fail();
  position_ = end;
  unflushedStart_ = -1;
  return end;
}

void FileHandle::truncate(std::int64_t length) {
  flush();
  if (::ftruncate(fd_.get(), length) != 0) fail();
  if (::lseek(fd_.get(), length, SEEK_SET) < 0) fail();
  position_ = length;
  unflushedStart_ = -1;
}

void FileHandle::writeOut(const char* data, std::size_t size) {
  if (unflushedStart_ < 0) {
    unflushedStart_ = position_;
    unflushedBytes_ = 0;
  }
  while (size > 0) {
    const ssize_t written = ::write(fd_.get(), data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      fail();
    }
    data += written;
    size -= static_cast<std::size_t>(written);
    position_ += written;
    unflushedBytes_ += written;
  }
  if (unflushedBytes_ >= kWritebackChunk) {
    // Only a hint: its failure changes nothing, synchronize() still flushes everything.
    (void)::sync_file_range(fd_.get(), unflushedStart_, unflushedBytes_, SYNC_FILE_RANGE_WRITE);
    unflushedStart_ += unflushedBytes_;
    unflushedBytes_ = 0;
  }
}

void FileHandle::write(std::span<const char> bytes) {
  while (!bytes.empty()) {
    // The block ends at the next multiple of blockSize in the file.
    const std::size_t room =
        static_cast<std::size_t>(blockSize - (position_ % blockSize)) - gathered_;
    const std::size_t taken = std::min(room, bytes.size());
    std::memcpy(block_->data() + gathered_, bytes.data(), taken);
    gathered_ += taken;
    bytes = bytes.subspan(taken);
    if (taken == room) flush();
  }
}

void FileHandle::flush() {
  if (gathered_ == 0) return;
  // Whether it succeeds or not, the bytes are out of the block: after a failure the caller knows
  // the file is short, and a retry must not write them at a wrong offset.
  const std::size_t size = std::exchange(gathered_, 0);
  writeOut(block_->data(), size);
}

void FileHandle::synchronize() {
  flush();
  if (::fsync(fd_.get()) != 0) fail();
}

void FileHandle::close() {
  std::exception_ptr flushError;
  try {
    flush();
  } catch (...) {
    flushError = std::current_exception();
  }
  const int fd = fd_.release();
  // On Linux the descriptor is gone even when close reports an error, so it is never retried.
  const bool closeFailed = fd >= 0 && ::close(fd) != 0 && errno != EINTR;
  if (flushError) std::rethrow_exception(flushError);
  if (closeFailed) fail();
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
