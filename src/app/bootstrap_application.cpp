#include "app/bootstrap_application.h"

#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <system_error>

#include "config/installer_copy.h"
#include "config/installer_failure.h"
#include "platform/alert_presenter.h"
#include "platform/file_lock.h"
#include "platform/file_reading.h"
#include "platform/path_safety.h"
#include "platform/private_directory.h"

namespace vexa::BootstrapApplication {
namespace {

// Held until the window has closed for good; see the header.
std::optional<platform::FileLock> singleInstanceLock;

InstallConfiguration loadConfiguration(const platform::MainBundle& bundle) {
  const std::optional<std::filesystem::path> resource = bundle.resource("configuration", "json");
  if (!resource) {
    throw InstallerFailure(InstallerCopy::text("安装器不完整，请重新下载。",
                                               "The installer is incomplete. Download it again."));
  }
  InstallConfiguration configuration =
      InstallConfiguration::decode(platform::readWholeFile(*resource));
  configuration.validate();
  return configuration;
}

// Creates and protects <caches>/<appId>.installer and returns its path as formed (not resolved).
std::filesystem::path prepareCacheFolder(const std::filesystem::path& caches,
                                         const std::string& appId) {
  const std::filesystem::path cache = caches / (appId + ".installer");
  // Judged as a whole before anything exists, so a link anywhere on the path (the cache home, a
  // parent of it, the folder itself) is refused before a single folder is made behind it. The
  // creation itself follows no link, so one swapped in after the check fails instead of being used.
  if (!platform::resolvesToItself(cache)) {
    throw InstallerFailure(
        InstallerCopy::text("安装缓存目录无效。", "The installer cache directory is invalid."));
  }
  platform::createPrivateDirectories(cache);
  platform::restrictToOwner(cache);
  return cache;
}

void takeSingleInstanceLock(const std::filesystem::path& cache) {
  // A lock held elsewhere and a lock file that cannot be used (a link in its place, for one) are
  // both reported as another installer: either way this one must not go on.
  try {
    singleInstanceLock = platform::FileLock::tryAcquire(cache / "installer.lock");
  } catch (const std::system_error&) {
  }
  if (!singleInstanceLock) {
    throw InstallerFailure(
        InstallerCopy::text("另一个安装器正在运行。", "Another installer is already running."));
  }
}

void startUp(const std::vector<std::string>& arguments, Services& services) {
  const InstallConfiguration configuration = loadConfiguration(services.bundle);
  if (arguments.size() == 2 && arguments[1] == "--self-test") {
    services.standardOutput << selfTestSummary(configuration) << '\n' << std::flush;
    return;
  }
  const std::filesystem::path cache =
      prepareCacheFolder(services.cachesDirectory, configuration.appId);
  takeSingleInstanceLock(cache);
  if (services.startApplication)
    services.startApplication(configuration, cache, [] { singleInstanceLock.reset(); });
}

}  // namespace

std::string selfTestSummary(const InstallConfiguration& configuration) {
  const nlohmann::json summary = {
      {"environment", configuration.environment},
      {"appId", configuration.appId},
      {"arch", configuration.arch},
      {"productVersion", configuration.productVersion},
      {"buildNumber", configuration.buildNumber},
      {"credentialPresent", !configuration.downloadToken.empty()},
      {"preview", false},
  };
  return summary.dump();
}

void main(const std::vector<std::string>& arguments, Services& services) {
  try {
    startUp(arguments, services);
  } catch (const std::exception& error) {
    services.alerts.present(
        InstallerCopy::text("无法启动 Vexa 安装器", "Could not start the Vexa installer"),
        error.what());
  }
}

}  // namespace vexa::BootstrapApplication
