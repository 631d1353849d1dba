#pragma once

#include <filesystem>
#include <system_error>

// The two atomic renames the install relies on to put a new copy of the application in place
// without ever leaving its path empty. Both sides must lie on one file system.
namespace vexa::platform {

enum class RenameMode {
  // Swaps two existing entries in one step; fails when either is missing.
  exchange,
  // Renames only when nothing exists at the destination; never replaces.
  noReplace,
};

// Renames `from` to `to` as `mode` says, in one system call. Returns the system's error when the
// rename did not happen, in which case nothing moved. A file system that offers neither mode
// reports EINVAL: there is deliberately no non-atomic fallback.
[[nodiscard]] std::error_code renameAtomically(const std::filesystem::path& from,
                                               const std::filesystem::path& to,
                                               RenameMode mode) noexcept;

}  // namespace vexa::platform
