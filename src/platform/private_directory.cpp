#include "platform/private_directory.h"

#include <sys/stat.h>

#include <cerrno>
#include <system_error>
#include <vector>

namespace vexa::platform {

void createPrivateDirectories(const std::filesystem::path& path) {
  // Walk down from the first missing ancestor so that only folders made here get 0700.
  std::vector<std::filesystem::path> missing;
  for (std::filesystem::path current = path; !current.empty(); current = current.parent_path()) {
    struct stat status {};
    if (::stat(current.c_str(), &status) == 0) break;
    if (errno != ENOENT) throw std::system_error(errno, std::generic_category(), current.string());
    missing.push_back(current);
    if (current == current.parent_path()) break;
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (::mkdir(it->c_str(), 0700) != 0 && errno != EEXIST) {
      throw std::system_error(errno, std::generic_category(), it->string());
    }
    // mkdir applies the umask; a private folder must be exactly 0700.
    if (::chmod(it->c_str(), 0700) != 0) throw std::system_error(errno, std::generic_category(), it->string());
  }
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) throw std::system_error(errno, std::generic_category(), path.string());
  if (!S_ISDIR(status.st_mode)) {
    throw std::system_error(std::make_error_code(std::errc::not_a_directory), path.string());
  }
}

void restrictToOwner(const std::filesystem::path& path) {
  if (::chmod(path.c_str(), 0700) != 0) throw std::system_error(errno, std::generic_category(), path.string());
}

}  // namespace vexa::platform
