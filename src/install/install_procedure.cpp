#include "install/install_procedure.h"

#include <system_error>

#include "config/installer_copy.h"
#include "config/installer_failure.h"
#include "config/package_verification.h"
#include "install/disk_image_mount.h"
#include "install/install_paths.h"
#include "platform/atomic_rename.h"
#include "platform/file_system_items.h"
#include "platform/random_uuid.h"

namespace vexa::NativeInstaller {
namespace {

namespace fs = std::filesystem;

void requireNotRunning(const InstallConfiguration& configuration,
                       const RunningCheck& applicationIsRunning) {
  if (applicationIsRunning(configuration.appId)) {
    throw InstallerFailure(
        InstallerCopy::text("Vexa 正在运行，请安全退出后继续安装。",
                            "Vexa is running. Quit it safely to continue installation."),
        InstallerFailureReason::applicationRunning);
  }
}

void requireReplaceable(const fs::path& target, const InstallConfiguration& configuration,
                        const std::optional<InstalledApplicationVersion>& replacing,
                        const VerificationServices& services) {
  if (std::optional<InstalledApplication> installed =
          installedApplication(target, configuration, services)) {
    installed->version.requireReplacementConsent(configuration, replacing);
  }
}

// The hidden copy next to the target for as long as this call owns it. It is written under
// <name>.incomplete and takes its .app name only once whole, so that a copy cut short (the process
// killed) is never taken for an application; it is discarded when the call ends, unless it has
// been handed to the replacement, which then decides what stays there.
class StagedCopy {
 public:
  StagedCopy(const fs::path& folder, const std::string& name)
      : unfinished_(folder / (name + ".incomplete")), path_(folder / (name + ".app")) {}
  ~StagedCopy() {
    if (handedOver_) return;
    // A copy that will not go is cleared by a later install's leftover rules.
    InstallPaths::discard(unfinished_);
    InstallPaths::discard(path_);
  }
  StagedCopy(const StagedCopy&) = delete;
  StagedCopy& operator=(const StagedCopy&) = delete;

  void copy(const fs::path& source, const fs::path& ditto) {
    (void)run(ditto, {source.string(), unfinished_.string()});
    if (platform::renameAtomically(unfinished_, path_, platform::RenameMode::noReplace))
      throw toolFailure();
  }
  [[nodiscard]] const fs::path& path() const { return path_; }
  void handOver() { handedOver_ = true; }

 private:
  const fs::path unfinished_;
  const fs::path path_;
  bool handedOver_ = false;
};

// The entries of `folder` named `prefix`...`extension` that the current user owns. A listing that
// fails yields what was read so far.
std::vector<fs::path> ownItems(const fs::path& folder, const std::string& prefix,
                               std::string_view extension) {
  std::vector<fs::path> items;
  const std::uint32_t user = platform::currentUserId();
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    const fs::path& entry = it->path();
    if (entry.filename().native().starts_with(prefix) && entry.extension() == extension &&
        platform::itemOwner(entry) == user)
      items.push_back(entry);
  }
  return items;
}

// Removes what earlier attempts left in `parent` under `prefix` that holds no application: copies
// and removals cut short. Failures leave the item.
void removeUnfinishedCopies(const fs::path& parent, const std::string& prefix) noexcept {
  try {
    for (const fs::path& entry : ownItems(parent, prefix, ".incomplete")) {
      try {
        platform::removeItemRecursively(entry);
      } catch (const std::system_error&) {
      }
    }
  } catch (...) {
  }
}

// Removes the whole copies earlier attempts left in `parent` under `prefix`: only items this user
// owns that pass the lenient verification, so nothing the installer cannot prove is its own is
// touched. Every failure skips the item.
void removeLeftovers(const fs::path& parent, const std::string& prefix,
                     const InstallConfiguration& configuration,
                     const VerificationServices& services) noexcept {
  try {
    for (const fs::path& entry : ownItems(parent, prefix, ".app")) {
      try {
        verify(entry, configuration, false, services);
        InstallPaths::discard(entry);
      } catch (...) {
        // Not provably a copy of ours: it stays.
      }
    }
  } catch (...) {
  }
}

// Refuses a copy of `bundle` into `folder` that cannot fit, before a byte of it is written, with
// the failure a copy that runs out of space gives. When either size cannot be read, the copy
// itself decides.
void requireRoomFor(const fs::path& bundle, const fs::path& folder) {
  std::error_code error;
  std::uintmax_t size = 0;
  for (fs::recursive_directory_iterator it(bundle, error), end; !error && it != end;
       it.increment(error)) {
    if (it->symlink_status(error).type() == fs::file_type::regular) size += it->file_size(error);
    if (error) return;
  }
  const fs::space_info space = fs::space(folder, error);
  if (!error && size > space.available) throw toolFailure();
}

}  // namespace

fs::path install(const fs::path& dmg, const fs::path& parent,
                 const InstallConfiguration& configuration,
                 const std::optional<InstalledApplicationVersion>& replacing,
                 const RunningCheck& applicationIsRunning, const VerificationServices& services) {
  configuration.validate();
  verifyDownload(configuration, dmg);
  const fs::path target = InstallPaths::target(parent, configuration.productName, true);
  const fs::path folder = target.parent_path();
  requireNotRunning(configuration, applicationIsRunning);
  requireReplaceable(target, configuration, replacing, services);

  // Whole copies left by earlier attempts are cleared only once this attempt has succeeded: one of
  // them may hold the only working copy (the previous application after a failed swap back), which
  // the user was told to keep. Unfinished copies and the workspaces of killed installs hold
  // nothing anyone needs, and their space may be needed now.
  const std::string stagingPrefix = ".vexa-install-" + configuration.appId + "-";
  removeUnfinishedCopies(folder, stagingPrefix);
  DiskImageMount::removeAbandonedWorkspaces(services.tools);

  DiskImageMount mount(dmg, services.tools);
  const fs::path source = mount.mountPoint() / (configuration.productName + ".app");
  verify(source, configuration, true, services);
  requireRoomFor(source, folder);

  StagedCopy staged(folder, stagingPrefix + platform::randomUuid());
  staged.copy(source, services.tools.ditto);
  verify(staged.path(), configuration, true, services);
  requireReplaceable(target, configuration, replacing, services);
  requireNotRunning(configuration, applicationIsRunning);

  staged.handOver();
  InstallPaths::replace(staged.path(), target, [&](const fs::path& location) {
    verify(location, configuration, true, services);
  });
  // With this copy in place, any earlier whole copy is redundant, whether or not one stood at the
  // target before.
  removeLeftovers(folder, stagingPrefix, configuration, services);
  return target;
}

}  // namespace vexa::NativeInstaller
