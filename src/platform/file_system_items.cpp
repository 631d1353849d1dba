#include "platform/file_system_items.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>
#include <vector>

#include "platform/system_error.h"
#include "platform/unique_fd.h"

namespace vexa::platform {
namespace {

// Empties the folder open as `folder` (named `path` for errors). Entries are opened relative to
// their folder's descriptor with O_NOFOLLOW, so a rename of a folder above or a link swapped in
// during the walk cannot lead the removal outside the tree.
void removeContent(int folder, const std::filesystem::path& path) {
  struct stat status {};
  if (::fstat(folder, &status) != 0) throwErrno(path.string());
  if ((status.st_mode & S_IRWXU) != S_IRWXU && ::fchmod(folder, status.st_mode | S_IRWXU) != 0)
    throwErrno(path.string());

  const int listing = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listing < 0) throwErrno(path.string());
  DIR* directory = ::fdopendir(listing);
  if (directory == nullptr) {
    ::close(listing);
    throwErrno(path.string());
  }
  std::vector<std::string> names;
  errno = 0;
  while (const dirent* entry = ::readdir(directory)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  const int readError = errno;
  ::closedir(directory);
  if (readError != 0) {
    errno = readError;
    throwErrno(path.string());
  }

  for (const std::string& name : names) {
    if (::unlinkat(folder, name.c_str(), 0) == 0 || errno == ENOENT) continue;
    if (errno != EISDIR) throwErrno((path / name).string());
    UniqueFd child(::openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!child) throwErrno((path / name).string());
    removeContent(child.get(), path / name);
    if (::unlinkat(folder, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT)
      throwErrno((path / name).string());
  }
}

}  // namespace

std::uint32_t currentUserId() noexcept { return ::getuid(); }

std::optional<std::uint32_t> itemOwner(const std::filesystem::path& path) noexcept {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) return std::nullopt;
  return status.st_uid;
}

bool isWritableByCurrentUser(const std::filesystem::path& path) noexcept {
  return ::access(path.c_str(), W_OK) == 0;
}

void removeItemRecursively(const std::filesystem::path& path) {
  // unlink removes a file or a link (never its target); only a real folder fails with EISDIR.
  if (::unlink(path.c_str()) == 0) return;
  if (errno != EISDIR) throwErrno(path.string());
  UniqueFd folder(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!folder) throwErrno(path.string());
  removeContent(folder.get(), path);
  if (::rmdir(path.c_str()) != 0) throwErrno(path.string());
}

void synchronizeFileSystem(const std::filesystem::path& folder) noexcept {
  UniqueFd descriptor(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (descriptor) (void)::syncfs(descriptor.get());
}

}  // namespace vexa::platform
