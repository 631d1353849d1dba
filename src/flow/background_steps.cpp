#include "flow/background_steps.h"

#include "config/installer_copy.h"
#include "config/installer_failure.h"

namespace vexa {

BackgroundSteps::BackgroundSteps(const InstallConfiguration& configuration,
                                 const InstallerFlow::Services& services)
    : configuration_(configuration),
      target_(services.target),
      installedApplication_(services.installedApplication),
      verifyDownload_(services.verifyDownload),
      install_(services.install),
      applicationIsRunning_(services.applicationIsRunning),
      openApplication_(services.openApplication) {}

CheckOutcome BackgroundSteps::check(const std::filesystem::path& parent) const {
  CheckOutcome outcome;
  try {
    const std::filesystem::path path = target_(parent, configuration_.productName, false);
    outcome.current = installedApplication_(path, configuration_);
    outcome.newer = outcome.current && outcome.current->version.isNewer(configuration_);
  } catch (...) {
    outcome.error = std::current_exception();
  }
  return outcome;
}

InstallOutcome BackgroundSteps::install(const std::filesystem::path& package,
                                        const std::filesystem::path& parent,
                                        const std::optional<InstalledApplicationVersion>& replacing,
                                        std::shared_ptr<InstallerDownloader> downloader) const {
  InstallOutcome outcome{.downloader = downloader};
  try {
    verifyDownload_(configuration_, package);
  } catch (...) {
    // A package that is not the configured one is never used again: the next attempt downloads
    // from the first byte.
    downloader->discard();
    outcome.error = std::current_exception();
    return outcome;
  }
  try {
    outcome.application =
        install_(package, parent, configuration_, replacing, applicationIsRunning_);
  } catch (...) {
    // The package stays cached for the next attempt.
    outcome.error = std::current_exception();
    return outcome;
  }
  downloader->discard();
  return outcome;
}

FoundOutcome BackgroundSteps::findAgain(const std::filesystem::path& path) const {
  FoundOutcome outcome;
  try {
    const std::optional<InstalledApplication> found = installedApplication_(path, configuration_);
    if (!found) {
      throw InstallerFailure(InstallerCopy::text("找不到 Vexa，请重新安装。",
                                                 "Vexa was not found. Install it again."));
    }
    outcome.path = found->url;
  } catch (...) {
    outcome.error = std::current_exception();
  }
  return outcome;
}

std::exception_ptr BackgroundSteps::open(const std::filesystem::path& path) const {
  try {
    // Opening an application that already runs only brings it forward elsewhere; here it would
    // start a second instance, so a running product counts as opened.
    if (!applicationIsRunning_(configuration_.appId)) openApplication_(path);
  } catch (...) {
    return std::current_exception();
  }
  return std::exception_ptr();
}

}  // namespace vexa
