#pragma once

#include <filesystem>

#include "install/system_tools.h"
#include "platform/locked_directory.h"

namespace vexa {

// One package attached read-only for the length of an install: a private workspace
// <temporary folder>/vexa-install-<UUID> (0700 from its first moment, links in the temporary
// folder's path resolved, so bundles inside pass the path check) with the image's volume at
// <workspace>/volume. The workspace holds a lock for as long as this object lives, so that a later
// install can tell the workspace of a killed one from a live one (removeAbandonedWorkspaces).
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

  [[nodiscard]] const std::filesystem::path& workspace() const { return workspace_.path(); }
  [[nodiscard]] const std::filesystem::path& mountPoint() const { return mountPoint_; }

  // Removes the workspaces that earlier installs of this user left in the temporary folder when
  // they were killed: each one nobody holds any more is detached (when a volume is there), given
  // write access back and removed. A live workspace, another user's, a symbolic link and anything
  // not named like a workspace are left alone. Runs tools; failures are ignored.
  static void removeAbandonedWorkspaces(const SystemTools& tools) noexcept;

 private:
  std::filesystem::path hdiutil_;
  platform::LockedDirectory workspace_;
  std::filesystem::path mountPoint_;
};

}  // namespace vexa
