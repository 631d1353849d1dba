#include "install/install_paths.h"

#include <algorithm>
#include <system_error>

#include "config/installer_copy.h"
#include "config/installer_failure.h"
#include "platform/atomic_rename.h"
#include "platform/file_system_items.h"
#include "platform/path_safety.h"
#include "platform/standard_locations.h"

namespace vexa::InstallPaths {
namespace {

namespace fs = std::filesystem;

InstallerFailure cannotWrite() {
  return InstallerFailure(InstallerCopy::text(
      "无法写入应用程序目录，请检查当前账户的安装权限。",
      "Cannot write to Applications. Check this account’s install permissions."));
}

bool liesInsideBundle(const fs::path& path) {
  return std::any_of(path.begin(), path.end(), [](const fs::path& component) {
    return component.native().ends_with(".app");
  });
}

bool isFolder(const fs::path& path) {
  std::error_code error;
  return fs::is_directory(path, error);
}

bool isSymbolicLink(const fs::path& path) {
  std::error_code error;
  return fs::is_symlink(fs::symlink_status(path, error));
}

}  // namespace

fs::path defaultParent() {
  fs::path folder;
  try {
    folder = platform::applicationsDirectory();
  } catch (const std::system_error&) {
    // The home folder's links cannot be resolved (a link whose target has gone, a folder on the
    // way that may not be searched): the folder as named, which target refuses with its usual
    // message, so the failure shows where the install location is judged.
    folder = platform::standardizedPath(platform::homeDirectory() / "Applications");
  }
  std::error_code error;
  if (!fs::exists(fs::symlink_status(folder, error))) {
    // Only the last component: a missing home folder is not ours to make.
    if (fs::create_directory(folder, error)) fs::permissions(folder, fs::perms::owner_all, error);
  }
  return folder;
}

fs::path target(const fs::path& parent, std::string_view productName, bool requireWritable) {
  const fs::path folder = platform::standardizedPath(parent);
  if (!folder.is_absolute() || folder == folder.root_path() || liesInsideBundle(folder) ||
      !isFolder(folder) || (requireWritable && !platform::isWritableByCurrentUser(folder)) ||
      !platform::resolvesToItself(folder) ||
      std::find(std::begin(acceptedProductNames), std::end(acceptedProductNames), productName) ==
          std::end(acceptedProductNames)) {
    throw cannotWrite();
  }
  fs::path application = folder / (std::string(productName) + ".app");
  if (isSymbolicLink(application)) {
    throw InstallerFailure(
        InstallerCopy::text("安装位置是符号链接，请选择其他位置。",
                            "The install location is a symbolic link. Choose another location."));
  }
  return application;
}

void replace(const fs::path& staged, const fs::path& target, const Verification& verify) {
  const fs::path stagedPath = platform::standardizedPath(staged);
  const fs::path targetPath = platform::standardizedPath(target);
  if (stagedPath.parent_path() != targetPath.parent_path() || stagedPath == targetPath) {
    throw InstallerFailure(
        InstallerCopy::text("安装临时目录无效。", "The temporary install directory is invalid."));
  }
  const fs::path folder = targetPath.parent_path();

  // Asked once: every later decision follows this answer, so a change in between makes the
  // renames below fail rather than pick the wrong undo.
  std::error_code error;
  const bool targetExisted = fs::exists(targetPath, error);
  const platform::RenameMode mode =
      targetExisted ? platform::RenameMode::exchange : platform::RenameMode::noReplace;

  platform::synchronizeFileSystem(folder);
  if (platform::renameAtomically(stagedPath, targetPath, mode)) {
    // Nothing moved: the staged path holds only the new copy, which nothing will ever use.
    discard(stagedPath);
    throw InstallerFailure(InstallerCopy::text(
        "无法替换应用，请检查安装目录权限后重试。",
        "Could not replace the application. Check install directory permissions and retry."));
  }
  platform::synchronizeFileSystem(folder);

  try {
    verify(targetPath);
  } catch (...) {
    if (targetExisted) {
      if (platform::renameAtomically(stagedPath, targetPath, platform::RenameMode::exchange)) {
        throw InstallerFailure(InstallerCopy::text(
            "自动恢复失败，旧应用已保留，请勿删除安装临时目录。",
            "Recovery failed. The old app is safe; keep the temporary install folder."));
      }
    } else if (platform::renameAtomically(targetPath, stagedPath,
                                          platform::RenameMode::noReplace)) {
      throw InstallerFailure(InstallerCopy::text(
          "无法恢复安装状态，请重试。", "Could not restore the installation state. Retry."));
    }
    platform::synchronizeFileSystem(folder);
    // The rejected copy is back at the staged path and of no use to anyone.
    discard(stagedPath);
    throw;
  }

  // The previous copy; if it will not go, it stays under a hidden name and a later install
  // clears it.
  if (targetExisted) discard(stagedPath);
}

void discard(const fs::path& copy) noexcept {
  try {
    fs::path unfinished = copy;
    unfinished.replace_extension(".incomplete");
    const bool renamed =
        !platform::renameAtomically(copy, unfinished, platform::RenameMode::noReplace);
    platform::removeItemRecursively(renamed ? unfinished : copy);
  } catch (...) {
    // Nothing there, or an item that will not go: see above.
  }
}

}  // namespace vexa::InstallPaths
