#include "platform/atomic_rename.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <stdio.h>

#include <cerrno>

namespace vexa::platform {

std::error_code renameAtomically(const std::filesystem::path& from, const std::filesystem::path& to,
                                 RenameMode mode) noexcept {
  // The flags go by their Linux names: macOS's numeric values mean other things here (its
  // exclusive flag's value is RENAME_WHITEOUT, which renames without exclusivity and leaves a
  // character device behind).
  const unsigned int flags = mode == RenameMode::exchange ? RENAME_EXCHANGE : RENAME_NOREPLACE;
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), flags) != 0) {
    return std::error_code(errno, std::generic_category());
  }
  return {};
}

}  // namespace vexa::platform
