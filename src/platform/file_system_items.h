#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

// What the install needs to know and do about items on the file system beyond what
// std::filesystem offers: ownership, the current user's write access, link-safe removal and a
// flush of one volume. Synchronous; safe from any thread.
namespace vexa::platform {

// The real user id of this process.
[[nodiscard]] std::uint32_t currentUserId() noexcept;

// The owner's user id of the item at `path` itself (a final link is not followed); nothing when the
// item cannot be examined.
[[nodiscard]] std::optional<std::uint32_t> itemOwner(const std::filesystem::path& path) noexcept;

// Whether the current user may write into the item at `path`, as the system's access check
// answers it (a read-only file system answers no).
[[nodiscard]] bool isWritableByCurrentUser(const std::filesystem::path& path) noexcept;

// Removes the item at `path` and, for a folder, everything inside it. A symbolic link is removed
// as a link and never followed, the item at `path` itself included, so a link planted inside (or
// in place of) the folder cannot redirect the removal elsewhere. Folders without owner write
// access (a copy of a read-only volume) are opened up before their content goes. Throws
// std::system_error at the first failure, having removed what it could; a missing item is ENOENT.
void removeItemRecursively(const std::filesystem::path& path);

// Flushes the file system holding `folder` to its device (only that one: a stalled network or
// removable volume elsewhere cannot hold the caller up). Like the system's own flush it reports
// nothing; a folder that cannot be opened flushes nothing.
void synchronizeFileSystem(const std::filesystem::path& folder) noexcept;

}  // namespace vexa::platform
