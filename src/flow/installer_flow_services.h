#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "config/install_configuration.h"
#include "download/package_download.h"
#include "install/application_launch.h"
#include "install/application_quit_wait.h"
#include "install/bundle_verification.h"
#include "install/install_paths.h"
#include "install/install_procedure.h"
#include "install/installed_application.h"
#include "platform/background_runner.h"
#include "platform/main_thread.h"
#include "platform/repeating_timer.h"
#include "telemetry/installer_telemetry.h"

namespace vexa {

// The package transfer as the installation flow uses it; in production a PackageDownload over the
// cache folder. start, pause and the callbacks run on the main thread; each start made while no
// transfer runs ends in exactly one completion, possibly before start returns.
class InstallerDownloader {
 public:
  virtual ~InstallerDownloader() = default;
  virtual void start(PackageDownload::ProgressCallback progress,
                     PackageDownload::CompletionCallback completion) = 0;
  // Stops a running transfer, whose completion then reports the pause.
  virtual void pause() = 0;
  // Removes the cached partial and package files. Any thread, but only after the transfer ended.
  virtual void discard() = 0;
};

// The wait for the running product to quit: request() asks it to quit and checks at once, check()
// fires the exit notification when it has gone, cancel() drops the notification. The notification
// fires at most once, inside request() or check(). Main thread only.
class InstallerQuitWait {
 public:
  virtual ~InstallerQuitWait() = default;
  virtual void request() = 0;
  virtual void check() = 0;
  virtual void cancel() = 0;
};

// An InstallerQuitWait over any wait object with request(), check() and cancel(). A look at the
// running processes that fails (the process table could not be read, a process could not be
// asked) leaves the wait as it was: the user can ask again, and the next check looks again.
template <class Wait>
class QuitWaitAdapter final : public InstallerQuitWait {
 public:
  explicit QuitWaitAdapter(std::shared_ptr<Wait> wait) : wait_(std::move(wait)) {}
  void request() override {
    try {
      wait_->request();
    } catch (const std::system_error&) {
    }
  }
  void check() override {
    try {
      wait_->check();
    } catch (const std::system_error&) {
    }
  }
  void cancel() override { wait_->cancel(); }

 private:
  std::shared_ptr<Wait> wait_;
};

// Records one telemetry event by name; never fails towards the caller. Main thread only.
using EventRecorder = std::function<void(std::string_view event)>;

// The production telemetry recorder factory: an InstallerTelemetry in its default folder, with the
// given options (the campaign identifier of the command line, for one).
[[nodiscard]] std::function<EventRecorder(const InstallConfiguration&)> productionTelemetry(
    InstallerTelemetryOptions options = {});

// The production quit wait: NativeInstaller's wait for the product's running instances.
[[nodiscard]] std::shared_ptr<InstallerQuitWait> productionQuitWait(
    const std::string& bundleIdentifier, std::function<void()> onExit);

// The production downloader: a PackageDownload into `cache` with the default session configuration.
[[nodiscard]] std::shared_ptr<InstallerDownloader> productionDownloader(
    const InstallConfiguration& configuration, const std::filesystem::path& cache);

// What the installation flow reaches outside itself. Production values by default; tests pass
// fakes, run background work from a queue they drain and fire timers by hand.
//
// InstallerFlow refuses to start while one of them is empty.
struct InstallerFlowServices {
  // The folder the application is installed into. Cheap; main thread.
  std::function<std::filesystem::path()> defaultParent = InstallPaths::defaultParent;
  // The application path inside `parent` for the product, refusing a parent that is unsafe or,
  // with `requireWritable`, not writable. Throws the error to show.
  std::function<std::filesystem::path(const std::filesystem::path& parent,
                                      const std::string& productName, bool requireWritable)>
      target = [](const std::filesystem::path& parent, const std::string& productName,
                  bool requireWritable) {
        return InstallPaths::target(parent, productName, requireWritable);
      };
  // The copy of the product at `url`, nothing when none is there. Blocking; throws.
  std::function<std::optional<InstalledApplication>(const std::filesystem::path& url,
                                                    const InstallConfiguration& configuration)>
      installedApplication =
          [](const std::filesystem::path& url, const InstallConfiguration& configuration) {
            return NativeInstaller::installedApplication(url, configuration);
          };
  // Fails when the package file is not exactly the configured one. Blocking.
  std::function<void(const InstallConfiguration& configuration,
                     const std::filesystem::path& package)>
      verifyDownload =
          [](const InstallConfiguration& configuration, const std::filesystem::path& package) {
            configuration.verifyDownload(package);
          };
  // Installs the package into `parent`, replacing `replacing` when that is the installed newer
  // copy, and returns the installed application. Throws InstallerFailure with reason
  // applicationRunning or newerApplicationInstalled in those two cases. Blocking.
  std::function<std::filesystem::path(
      const std::filesystem::path& package, const std::filesystem::path& parent,
      const InstallConfiguration& configuration,
      const std::optional<InstalledApplicationVersion>& replacing,
      const std::function<bool(const std::string&)>& applicationIsRunning)>
      install = [](const std::filesystem::path& package, const std::filesystem::path& parent,
                   const InstallConfiguration& configuration,
                   const std::optional<InstalledApplicationVersion>& replacing,
                   const std::function<bool(const std::string&)>& applicationIsRunning) {
        return NativeInstaller::install(package, parent, configuration, replacing,
                                        applicationIsRunning);
      };
  // Whether an instance of the application with this bundle identifier runs. Any thread.
  std::function<bool(const std::string& bundleIdentifier)> applicationIsRunning =
      NativeInstaller::applicationIsRunning;
  // A wait for the application with this bundle identifier to quit, calling `onExit` once when it
  // has. Main thread.
  std::function<std::shared_ptr<InstallerQuitWait>(const std::string& bundleIdentifier,
                                                   std::function<void()> onExit)>
      waitForApplicationExit = productionQuitWait;
  // Starts the application bundle at `url`; throws the system's error when it cannot. Blocking.
  std::function<void(const std::filesystem::path& url)> openApplication =
      NativeInstaller::openApplication;

  // The downloader and the telemetry recorder, made once when the flow is created.
  std::function<std::shared_ptr<InstallerDownloader>(const InstallConfiguration& configuration,
                                                     const std::filesystem::path& cache)>
      makeDownloader = productionDownloader;
  std::function<EventRecorder(const InstallConfiguration& configuration)> makeTelemetry =
      productionTelemetry();

  // Runs blocking work off the main thread.
  std::function<void(std::function<void()>)> runInBackground = platform::runInBackground;
  // Runs work on the main thread later, in the order posted. Any thread.
  std::function<void(std::function<void()>)> postToMainThread = platform::postToMainThread;
  // A repeating timer on the main loop.
  std::function<std::unique_ptr<platform::RepeatingTimer>(std::chrono::milliseconds interval,
                                                          std::function<void()> tick)>
      startRepeatingTimer = platform::startRepeatingTimer;
};

}  // namespace vexa
