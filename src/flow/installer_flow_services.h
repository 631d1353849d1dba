#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "config/install_configuration.h"
#include "download/package_download.h"
#include "install/application_quit_wait.h"
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

}  // namespace vexa
