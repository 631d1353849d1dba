#pragma once

#include <filesystem>

#include "install/system_tools.h"

namespace vexa {

// One package attached read-only for the length of an install: a private workspace
// <temporary folder>/vexa-install-<UUID> (0700, links in the temporary folder's path resolved, so
// bundles inside pass the path check) with the image's volume at <workspace>/volume.
//
// Construction creates the workspace (its error is thrown unchanged; nothing to clean), then
// attaches the image with hdiutil; if attaching fails, the workspace is removed, nothing is
// detached and the tool failure is thrown. Destruction detaches the volume, then removes the
// workspace; both failures are ignored. Not copyable or movable: the mount is tied to one scope.
// Use from one thread.
class DiskImageMount {
 public:
  DiskImageMount(const std::filesystem::path& package, const SystemTools& tools);
  ~DiskImageMount();
  DiskImageMount(const DiskImageMount&) = delete;
  DiskImageMount& operator=(const DiskImageMount&) = delete;

  [[nodiscard]] const std::filesystem::path& workspace() const { return workspace_; }
  [[nodiscard]] const std::filesystem::path& mountPoint() const { return mountPoint_; }

 private:
  // Removes the workspace recursively, ignoring failures.
  void removeWorkspace() noexcept;

  std::filesystem::path hdiutil_;
  std::filesystem::path workspace_;
  std::filesystem::path mountPoint_;
};

}  // namespace vexa
