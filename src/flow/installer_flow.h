#pragma once

#include <chrono>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "config/install_configuration.h"
#include "config/package_verification.h"
#include "flow/installer_flow_services.h"
#include "flow/installer_screens.h"
#include "install/application_launch.h"
#include "install/bundle_verification.h"
#include "install/install_paths.h"
#include "install/install_procedure.h"
#include "install/installed_application.h"
#include "platform/background_runner.h"
#include "platform/main_thread.h"
#include "platform/repeating_timer.h"

namespace vexa {

// The controller of one installation attempt: it decides what follows each button press, each
// step of the check, the download, the installation and the opening, and whether the installer
// may close. It owns the process's one downloader and telemetry recorder and, while the running
// product is asked to quit, the quit wait and its 0.2-second polling timer.
//
// The road: a check of the install target and any installed copy (a newer copy is offered for
// opening, or replaced once the user approves exactly that version), the download (closing the
// window pauses it), verification and installation (a running product is asked to quit first),
// then the installed application is opened and the window closes. Every failure ends on the
// failure screen with a retry, except a running product and a newer copy, which have screens of
// their own, and opening errors, which stay on the current screen.
//
// Threading: create, call and release on the main thread. Blocking work runs through the
// background runner with copies of what it needs and comes back only by posting to the main
// thread; results arriving after the flow was released are dropped, and releasing the flow
// cancels its quit wait and stops its timer. `busy` keeps more than one operation from running:
// the buttons do nothing while it is set and the window refuses to close.
//
// Failures: none escapes to the caller, nor to the event loop that calls the flow. Every error of a
// step the flow starts, whether a service reports it or throws it unexpectedly (the install
// location, the look at running processes, the quit wait, the transfer's start, a posted result),
// ends that step on the failure screen with the error's message, and the installer keeps running;
// opening errors stay on the opening screen.
class InstallerFlow : public std::enable_shared_from_this<InstallerFlow> {
 public:
  // What the installation flow reaches outside itself: `{}` gives the production values; tests pass
  // fakes, run background work from a queue they drain and fire timers by hand.
  //
  // The flow refuses to start while one of them is empty.
  struct Services {
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
    // The copy of the product at `path`, nothing when none is there. Blocking; throws.
    std::function<std::optional<InstalledApplication>(const std::filesystem::path& path,
                                                      const InstallConfiguration& configuration)>
        installedApplication =
            [](const std::filesystem::path& path, const InstallConfiguration& configuration) {
              return NativeInstaller::installedApplication(path, configuration);
            };
    // Fails when the package file is not exactly the configured one. Blocking.
    std::function<void(const InstallConfiguration& configuration,
                       const std::filesystem::path& package)>
        verifyDownload =
            [](const InstallConfiguration& configuration, const std::filesystem::path& package) {
              vexa::verifyDownload(configuration, package);
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
    // Starts the application bundle at `path`; throws the system's error when it cannot. Blocking.
    std::function<void(const std::filesystem::path& path)> openApplication =
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

  // Makes the downloader and the telemetry recorder, records the opening of the installer, shows
  // the welcome screen centred and starts the first check, which replaces it at once by the
  // checking screen. `cache` is the download cache folder. Throws std::invalid_argument when one
  // of the services is missing.
  [[nodiscard]] static std::shared_ptr<InstallerFlow> create(InstallConfiguration configuration,
                                                             std::filesystem::path cache,
                                                             InstallerScreens& screens,
                                                             Services services);
  ~InstallerFlow();
  InstallerFlow(const InstallerFlow&) = delete;
  InstallerFlow& operator=(const InstallerFlow&) = delete;

  // The primary button, and the Return key.
  void primaryPressed();
  // The secondary button.
  void secondaryPressed();
  // The close request: the corner close button, the tertiary button and the close command. Closes
  // the window when nothing runs, pauses a running download, and otherwise does nothing.
  void closePressed();
  // The close decision, asked before the window closes by other means or the installer quits:
  // true to let it happen. Pauses a running download (and refuses).
  [[nodiscard]] bool shouldClose();
  // The window has closed: abandons a quit wait and ends the installer.
  void windowWillClose();

 private:
  struct PassKey {};

 public:
  InstallerFlow(PassKey, InstallConfiguration configuration, std::filesystem::path cache,
                InstallerScreens& screens, Services services);

 private:
  // The public entry points' work, run guarded by them.
  void primary();
  void secondary();
  void closeRequest();
  [[nodiscard]] bool closeDecision();

  // Runs one step started from outside the flow (a button, the window, a posted result, a transfer
  // callback, the timer, the quit wait's notification): whatever it throws ends on the failure
  // screen.
  template <class Step>
  void guarded(Step step) noexcept;

  void checkBeforeDownload(bool start);
  void startDownload(const std::filesystem::path& parent);
  void installDownloaded(const std::filesystem::path& package, const std::filesystem::path& parent);
  void complete();
  void openApplication(std::optional<std::filesystem::path> path);
  void openExistingApplication(const InstalledApplication& application);
  void showNewerApplication(const InstalledApplication& application);
  void showFailure(const std::exception_ptr& error);
  void showApplicationRunning(const std::filesystem::path& package);
  void requestQuitAndContinue(const std::filesystem::path& package,
                              const std::filesystem::path& parent);
  void cancelQuitWait();
  void pauseDownload();

  // Runs `work` on the background runner; what it returns is handed to `then` on the main thread,
  // if the flow still exists. What escapes `work` or `then` is shown as a failure.
  template <class Work, class Then>
  void inBackground(Work work, Then then);

  const InstallConfiguration configuration_;
  InstallerScreens& screens_;
  const Services services_;

  bool busy_ = false;
  bool downloading_ = false;
  std::optional<std::filesystem::path> installed_;
  std::optional<InstalledApplication> newerApplication_;
  std::optional<InstalledApplicationVersion> approvedReplacement_;
  std::optional<std::filesystem::path> downloadedInstaller_;
  bool waitingForApplicationQuit_ = false;
  std::shared_ptr<InstallerQuitWait> quitWait_;
  std::unique_ptr<platform::RepeatingTimer> quitTimer_;
  EventRecorder telemetry_;
  std::shared_ptr<InstallerDownloader> downloader_;
  bool paused_ = false;
  // An opening of the application is under way. The primary button is ignored meanwhile, so a
  // second press cannot start a second instance.
  bool opening_ = false;
};

}  // namespace vexa
