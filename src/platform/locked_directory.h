#pragma once

#include <chrono>
#include <filesystem>
#include <optional>

#include "platform/unique_fd.h"

namespace vexa::platform {

// A private folder that shows whether it is in use: it holds a lock file, "lock", on which this
// object keeps an exclusive flock for its whole life. The kernel drops the lock when the owning
// process ends, however it ends, so a later process can tell the folder of one that was killed
// from one still in use, claim it and remove it.
//
// Making and claiming follow one protocol, so that no folder is ever removed under the process
// making it: the maker creates the lock file exclusively and, once locked, checks that it is still
// in place; a claimer creates a missing lock file itself (its maker ended before locking) and
// takes the folder only when nobody holds the lock.
//
// Movable; one thread at a time. Failures are std::system_error, except where noexcept.
class LockedDirectory {
 public:
  // Makes the folder `path` (its parent must exist, nothing may be at `path`), with permissions
  // 0700 from its first moment whatever the umask, and takes its lock. EEXIST when something is at
  // `path`; EBUSY when another process claimed the new folder before it was locked (make another).
  [[nodiscard]] static LockedDirectory create(const std::filesystem::path& path);

  // Takes over the folder at `path` when its maker has ended: a real folder (a symbolic link is
  // never followed) that the current user owns and whose lock nobody holds. A folder without a
  // lock file (its maker ended before locking, or predates locks and may still be at work) is
  // taken only once it has not changed for `unlockedAge`. Nothing when the folder is in use,
  // someone else's, not a folder, gone, or cannot be locked.
  [[nodiscard]] static std::optional<LockedDirectory> claimAbandoned(
      const std::filesystem::path& path, std::chrono::seconds unlockedAge) noexcept;

  LockedDirectory(LockedDirectory&&) noexcept = default;
  LockedDirectory& operator=(LockedDirectory&&) noexcept = default;
  // Releases the lock; the folder stays unless remove() took it.
  ~LockedDirectory() = default;

  [[nodiscard]] const std::filesystem::path& path() const { return path_; }

  // Removes the folder and everything in it as removeItemRecursively does (write access given
  // back to read-only folders, links never followed) while still holding the lock, then releases
  // the lock. Failures are ignored: what stays is claimed and removed by a later process.
  void remove() noexcept;

 private:
  LockedDirectory(std::filesystem::path path, UniqueFd lock)
      : path_(std::move(path)), lock_(std::move(lock)) {}

  std::filesystem::path path_;
  UniqueFd lock_;
};

}  // namespace vexa::platform
