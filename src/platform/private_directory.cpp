#include "platform/private_directory.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <system_error>

#include "platform/system_error.h"
#include "platform/unique_fd.h"

namespace vexa::platform {
namespace {

// A folder reached from `parent` without following a link: a link (or anything but a folder) in
// its place fails with ELOOP or ENOTDIR. O_PATH needs no read permission on the folder itself.
int openFolderAt(int parent, const std::filesystem::path& name) {
  return ::openat(parent, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

}  // namespace

void createPrivateDirectories(const std::filesystem::path& path) {
  const std::filesystem::path absolute = std::filesystem::absolute(path).lexically_normal();
  // Walked from the root one component at a time, each relative to the descriptor of the folder
  // before it, so a link anywhere on the path (also one swapped in while this runs) stops the
  // walk instead of being followed: nothing is ever created behind a link.
  std::filesystem::path reached = absolute.root_path();
  UniqueFd folder(::open(reached.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!folder) throwErrno(reached.string());
  for (auto part = std::next(absolute.begin()); part != absolute.end(); ++part) {
    if (part->empty()) continue;  // the trailing separator of "a/b/"
    reached /= *part;
    UniqueFd next(openFolderAt(folder.get(), *part));
    if (!next && errno == ENOENT) {
      if (::mkdirat(folder.get(), part->c_str(), 0700) != 0 && errno != EEXIST)
        throwErrno(reached.string());
      next.reset(openFolderAt(folder.get(), *part));
      if (!next) throwErrno(reached.string());
      // mkdir applies the umask; a private folder must be exactly 0700.
      if (::fchmodat(folder.get(), part->c_str(), 0700, AT_SYMLINK_NOFOLLOW) != 0)
        throwErrno(reached.string());
    }
    if (!next) throwErrno(reached.string());
    folder = std::move(next);
  }
}

void restrictToOwner(const std::filesystem::path& path) {
  // A link in the folder's place is refused rather than followed to whatever it names.
  if (::fchmodat(AT_FDCWD, path.c_str(), 0700, AT_SYMLINK_NOFOLLOW) != 0) throwErrno(path.string());
}

}  // namespace vexa::platform
