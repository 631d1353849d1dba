#include "platform/locked_directory.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>

#include "platform/file_system_items.h"
#include "platform/system_error.h"

namespace vexa::platform {
namespace {

constexpr const char* kLockName = "lock";

// Whether the open lock file `fd` is locked by this descriptor and still linked in its folder: a
// claimer that removed the folder leaves a lock on a file nobody can find any more.
bool lockedInPlace(int fd) {
  struct stat status {};
  return ::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &status) == 0 &&
         S_ISREG(status.st_mode) && status.st_nlink > 0;
}

}  // namespace

LockedDirectory LockedDirectory::create(const std::filesystem::path& path) {
  // mkdir never widens what it is given, so the folder is no wider than 0700 at any moment.
  if (::mkdir(path.c_str(), 0700) != 0) throwErrno(path.string());
  const UniqueFd folder(::open(path.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat status {};
  if (!folder || ::fstat(folder.get(), &status) != 0) throwErrno(path.string());
  // A umask that takes the owner's own bits away would leave a folder we cannot use.
  if ((status.st_mode & 07777) != 0700 && ::fchmodat(folder.get(), ".", 0700, 0) != 0)
    throwErrno(path.string());
  UniqueFd lock(
      ::openat(folder.get(), kLockName, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!lock && errno != EEXIST) throwErrno(path.string());
  if (!lock || !lockedInPlace(lock.get())) throwErrno(path.string(), EBUSY);
  return LockedDirectory(path, std::move(lock));
}

std::optional<LockedDirectory> LockedDirectory::claimAbandoned(
    const std::filesystem::path& path, std::chrono::seconds unlockedAge) noexcept try {
  const UniqueFd folder(::open(path.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat status {};
  if (!folder || ::fstat(folder.get(), &status) != 0 || status.st_uid != currentUserId())
    return std::nullopt;
  // O_NONBLOCK: something other than a file in the lock's place must not hold this process up.
  constexpr int kFlags = O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  UniqueFd lock(::openat(folder.get(), kLockName, kFlags));
  if (!lock && errno == ENOENT &&
      std::chrono::system_clock::from_time_t(status.st_mtime) + unlockedAge <
          std::chrono::system_clock::now())
    lock.reset(::openat(folder.get(), kLockName, kFlags | O_CREAT, 0600));
  if (!lock || !lockedInPlace(lock.get())) return std::nullopt;
  return LockedDirectory(path, std::move(lock));
} catch (...) {
  return std::nullopt;
}

void LockedDirectory::remove() noexcept {
  try {
    removeItemRecursively(path_);
  } catch (...) {
    // What stays is claimed again by a later process.
  }
  lock_.reset();
}

}  // namespace vexa::platform
