#pragma once

#include <filesystem>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "config/install_configuration.h"
#include "platform/main_bundle.h"
#include "platform/standard_locations.h"

namespace vexa::platform {
class AlertPresenter;
}

// The process entry: finds configuration.json in the installer's own bundle, decodes and validates
// it, answers "--self-test", prepares the private cache folder, takes the single-instance lock and
// hands over to the application start. Every failure before the hand-over is shown in one alert,
// after which main() returns normally (the process then exits with status 0).
//
// Main thread only. The lock (platform::FileLock) is held until the application start lets it go
// once the window has closed for good (so a new installer can start at once, while this one may
// still linger for telemetry), or else until the process ends; it is close-on-exec, so no child
// (a tool, the installed application) can keep the installer's lock alive after the installer ends.
namespace vexa::BootstrapApplication {

// What the entry uses of the outside world: production values by default where there is one;
// tests pass their own.
struct Services {
  platform::MainBundle bundle = platform::MainBundle::current();
  // ~/Library/Caches: the parent of the installer's cache folder.
  std::filesystem::path cachesDirectory = platform::cachesDirectory();
  platform::AlertPresenter& alerts;
  // Where the self-test summary goes.
  std::ostream& standardOutput = std::cout;
  // The application start: opens the window and runs the event loop; returns when it ends. It
  // calls `releaseLock` once the window has closed for good, to let the single-instance lock go.
  std::function<void(const InstallConfiguration&, const std::filesystem::path& cache,
                     const std::function<void()>& releaseLock)>
      startApplication;
};

// `arguments` is the whole command line, program path first.
void main(const std::vector<std::string>& arguments, Services& services);

// The one-line self-test summary (compact JSON, seven members, never the token, URL, digest or
// size).
[[nodiscard]] std::string selfTestSummary(const InstallConfiguration& configuration);

}  // namespace vexa::BootstrapApplication
