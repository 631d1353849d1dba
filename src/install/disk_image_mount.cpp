#include "install/disk_image_mount.h"

#include <system_error>

#include "platform/random_uuid.h"
#include "platform/standard_locations.h"

namespace vexa {

DiskImageMount::DiskImageMount(const std::filesystem::path& package, const SystemTools& tools)
    : hdiutil_(tools.hdiutil),
      workspace_(platform::temporaryDirectory() / ("vexa-install-" + platform::randomUuid())),
      mountPoint_(workspace_ / "volume") {
  // create_directory, not create_directories: a missing temporary folder is an error, never
  // something to make. A name that already exists is refused rather than reused.
  if (!std::filesystem::create_directory(workspace_)) {
    throw std::system_error(std::make_error_code(std::errc::file_exists), workspace_.string());
  }
  try {
    std::filesystem::permissions(workspace_, std::filesystem::perms::owner_all);
  } catch (...) {
    removeWorkspace();
    throw;
  }
  try {
    (void)NativeInstaller::run(hdiutil_, {"attach", "-readonly", "-nobrowse", "-noautoopen",
                                          "-mountpoint", mountPoint_.string(), package.string()});
  } catch (...) {
    removeWorkspace();
    throw;
  }
}

DiskImageMount::~DiskImageMount() {
  try {
    (void)NativeInstaller::run(hdiutil_, {"detach", mountPoint_.string()});
  } catch (...) {
    // A volume that will not detach does not change the install's outcome.
  }
  removeWorkspace();
}

void DiskImageMount::removeWorkspace() noexcept {
  std::error_code error;
  // A volume whose detach failed may still be read-only inside the workspace; give write access
  // back to the folders first so the removal can proceed as far as the system allows.
  for (auto it = std::filesystem::recursive_directory_iterator(workspace_, error);
       !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
    std::error_code ignored;
    if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ignored);
    }
  }
  std::filesystem::remove_all(workspace_, error);
}

}  // namespace vexa
