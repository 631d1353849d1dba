#pragma once

#include <exception>
#include <filesystem>
#include <memory>
#include <optional>

#include "config/install_configuration.h"
#include "flow/installer_flow.h"
#include "flow/installer_flow_services.h"
#include "install/installed_application.h"

namespace vexa {

// What the check of the install target found.
struct CheckOutcome {
  std::exception_ptr error;
  std::optional<InstalledApplication> current;
  bool newer = false;
};

// What verification and installation gave. The downloader comes back with it so that its last
// reference, should the flow be gone, is released on the main thread where it lives.
struct InstallOutcome {
  std::exception_ptr error = nullptr;
  std::filesystem::path application = {};
  std::shared_ptr<InstallerDownloader> downloader;
};

// A newer copy found again before it is opened.
struct FoundOutcome {
  std::exception_ptr error;
  std::filesystem::path path;
};

// The blocking half of the installation flow's steps: the calls to its services that run off the
// main thread, each turning what the services report into an outcome the flow acts on back on the
// main thread. Holds copies of the configuration and of the services it calls, so it may outlive
// the flow.
//
// Threading: any thread (in the flow, the background runner); one step at a time per copy.
// Failures: every error of a service ends in the outcome; none is thrown.
class BackgroundSteps {
 public:
  BackgroundSteps(const InstallConfiguration& configuration,
                  const InstallerFlow::Services& services);

  // The application path in `parent` and the copy installed there, if any, and whether it is newer
  // than the configured version.
  [[nodiscard]] CheckOutcome check(const std::filesystem::path& parent) const;
  // Verifies `package` and installs it into `parent`. A package that fails verification is
  // discarded, so the next attempt downloads from the first byte; one that fails to install stays
  // cached; an installed one is discarded.
  [[nodiscard]] InstallOutcome install(const std::filesystem::path& package,
                                       const std::filesystem::path& parent,
                                       const std::optional<InstalledApplicationVersion>& replacing,
                                       std::shared_ptr<InstallerDownloader> downloader) const;
  // The installed application at `path` again, or an InstallerFailure when it is gone.
  [[nodiscard]] FoundOutcome findAgain(const std::filesystem::path& path) const;
  // Opens the application at `path` unless the product already runs.
  [[nodiscard]] std::exception_ptr open(const std::filesystem::path& path) const;

 private:
  const InstallConfiguration configuration_;
  const decltype(InstallerFlow::Services::target) target_;
  const decltype(InstallerFlow::Services::installedApplication) installedApplication_;
  const decltype(InstallerFlow::Services::verifyDownload) verifyDownload_;
  const decltype(InstallerFlow::Services::install) install_;
  const decltype(InstallerFlow::Services::applicationIsRunning) applicationIsRunning_;
  const decltype(InstallerFlow::Services::openApplication) openApplication_;
};

}  // namespace vexa
