#include "install/disk_image_mount.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string_view>
#include <system_error>

#include "platform/random_uuid.h"
#include "platform/standard_locations.h"

namespace vexa {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kWorkspacePrefix = "vexa-install-";
// A workspace without a lock comes from an installer that did not lock its workspaces yet, which
// may be at work right now (another product's installer has a lock of its own), or from one killed
// in the instant between making the folder and locking it. No install takes a day.
constexpr std::chrono::hours kUnlockedWorkspaceAge{24};

// A fresh workspace. Two more names are tried when another install claims the new folder in the
// moment before its lock is taken; a missing temporary folder is an error, never something to
// make, and its error is thrown unchanged.
platform::LockedDirectory createWorkspace() {
  for (int attempt = 0;; ++attempt) {
    try {
      return platform::LockedDirectory::create(
          platform::temporaryDirectory() /
          (std::string(kWorkspacePrefix) + platform::randomUuid()));
    } catch (const std::system_error& error) {
      if (error.code().value() != EBUSY || attempt == 2) throw;
    }
  }
}

// Whether `name` is vexa-install-<UUID> in the canonical upper-case form.
bool isWorkspaceName(std::string_view name) {
  if (!name.starts_with(kWorkspacePrefix)) return false;
  const std::string_view uuid = name.substr(kWorkspacePrefix.size());
  if (uuid.size() != 36) return false;
  for (std::size_t index = 0; index < uuid.size(); ++index) {
    const bool hyphen = index == 8 || index == 13 || index == 18 || index == 23;
    const char c = uuid[index];
    if (hyphen ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

void detach(const fs::path& hdiutil, const fs::path& mountPoint) noexcept {
  try {
    (void)NativeInstaller::run(hdiutil, {"detach", mountPoint.string()});
  } catch (...) {
    // A volume that will not detach does not change the install's outcome.
  }
}

}  // namespace

DiskImageMount::DiskImageMount(const fs::path& package, const SystemTools& tools)
    : hdiutil_(tools.hdiutil),
      workspace_(createWorkspace()),
      mountPoint_(workspace_.path() / "volume") {
  try {
    (void)NativeInstaller::run(hdiutil_, {"attach", "-readonly", "-nobrowse", "-noautoopen",
                                          "-mountpoint", mountPoint_.string(), package.string()});
  } catch (...) {
    workspace_.remove();
    throw;
  }
}

DiskImageMount::~DiskImageMount() {
  detach(hdiutil_, mountPoint_);
  workspace_.remove();
}

void DiskImageMount::removeAbandonedWorkspaces(const SystemTools& tools) noexcept {
  try {
    std::vector<fs::path> candidates;
    std::error_code error;
    for (fs::directory_iterator it(platform::temporaryDirectory(), error), end; !error && it != end;
         it.increment(error)) {
      if (isWorkspaceName(it->path().filename().native())) candidates.push_back(it->path());
    }
    for (const fs::path& candidate : candidates) {
      std::optional<platform::LockedDirectory> workspace =
          platform::LockedDirectory::claimAbandoned(candidate, kUnlockedWorkspaceAge);
      if (!workspace) continue;
      // A volume still attached must go first: removing files from under a mount is never right.
      const fs::path mountPoint = candidate / "volume";
      if (fs::exists(fs::symlink_status(mountPoint, error))) detach(tools.hdiutil, mountPoint);
      workspace->remove();
    }
  } catch (...) {
    // Clearing old workspaces is a courtesy; it never stops an install.
  }
}

}  // namespace vexa
