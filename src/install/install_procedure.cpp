#include "install/install_procedure.h"

#include <system_error>

#include "config/installer_copy.h"
#include "config/installer_failure.h"
#include "config/package_verification.h"
#include "install/disk_image_mount.h"
#include "install/install_paths.h"
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

// The hidden copy next to the target for as long as this call owns it: removed when the call
// ends, unless it has been handed to the replacement, which then decides what stays there.
class StagedCopy {
 public:
  explicit StagedCopy(fs::path path) : path_(std::move(path)) {}
  ~StagedCopy() {
    if (handedOver_) return;
    try {
      platform::removeItemRecursively(path_);
    } catch (const std::system_error&) {
      // Nothing there (the copy never started) or a copy that will not go: a later install's
      // leftover clean-up removes a genuine one.
    }
  }
  StagedCopy(const StagedCopy&) = delete;
  StagedCopy& operator=(const StagedCopy&) = delete;

  [[nodiscard]] const fs::path& path() const { return path_; }
  void handOver() { handedOver_ = true; }

 private:
  fs::path path_;
  bool handedOver_ = false;
};

// Removes what earlier attempts left in `parent` under `prefix`: only items this user owns that
// pass the lenient verification, so nothing the installer cannot prove is its own is touched. A
// partial copy stays. Every failure skips the item (or, for the listing, the whole clean-up).
void removeLeftovers(const fs::path& parent, const std::string& prefix,
                     const InstallConfiguration& configuration,
                     const VerificationServices& services) noexcept {
  std::vector<fs::path> candidates;
  try {
    std::error_code error;
    for (fs::directory_iterator it(parent, error), end; !error && it != end; it.increment(error)) {
      const fs::path& entry = it->path();
      if (entry.filename().native().starts_with(prefix) && entry.extension() == ".app")
        candidates.push_back(entry);
    }
  } catch (...) {
    return;
  }
  const std::uint32_t user = platform::currentUserId();
  for (const fs::path& entry : candidates) {
    if (platform::itemOwner(entry) != user) continue;
    try {
      verify(entry, configuration, false, services);
      platform::removeItemRecursively(entry);
    } catch (...) {
      // Not provably a copy of ours, or it would not go: it stays.
    }
  }
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

  // Leftovers of earlier attempts are cleared only once this attempt has succeeded: one of them
  // may hold the only working copy (the previous application after a failed swap back), which the
  // user was told to keep.
  std::error_code error;
  const bool targetExisted = fs::exists(target, error);
  const std::string stagingPrefix = ".vexa-install-" + configuration.appId + "-";

  DiskImageMount mount(dmg, services.tools);
  const fs::path source = mount.mountPoint() / (configuration.productName + ".app");
  verify(source, configuration, true, services);

  StagedCopy staged(folder / (stagingPrefix + platform::randomUuid() + ".app"));
  (void)run(services.tools.ditto, {source.string(), staged.path().string()});
  verify(staged.path(), configuration, true, services);
  requireReplaceable(target, configuration, replacing, services);
  requireNotRunning(configuration, applicationIsRunning);

  staged.handOver();
  InstallPaths::replace(staged.path(), target, [&](const fs::path& location) {
    verify(location, configuration, true, services);
  });
  if (targetExisted) removeLeftovers(folder, stagingPrefix, configuration, services);
  return target;
}

}  // namespace vexa::NativeInstaller
