#include "flow/installer_flow.h"

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "config/installer_copy.h"
#include "config/installer_failure.h"
#include "flow/background_steps.h"

namespace vexa {
namespace {

// The polling interval of the quit wait.
constexpr std::chrono::milliseconds kQuitCheckInterval{200};

std::optional<InstallerFailureReason> failureReason(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const InstallerFailure& failure) {
    return failure.reason();
  } catch (...) {
    return std::nullopt;
  }
}

void requireServices(const InstallerFlow::Services& services) {
  std::vector<std::string> missing;
  const auto need = [&missing](bool present, const char* name) {
    if (!present) missing.emplace_back(name);
  };
  need(bool(services.defaultParent), "defaultParent");
  need(bool(services.target), "target");
  need(bool(services.installedApplication), "installedApplication");
  need(bool(services.verifyDownload), "verifyDownload");
  need(bool(services.install), "install");
  need(bool(services.applicationIsRunning), "applicationIsRunning");
  need(bool(services.waitForApplicationExit), "waitForApplicationExit");
  need(bool(services.openApplication), "openApplication");
  need(bool(services.makeDownloader), "makeDownloader");
  need(bool(services.makeTelemetry), "makeTelemetry");
  need(bool(services.runInBackground), "runInBackground");
  need(bool(services.postToMainThread), "postToMainThread");
  need(bool(services.startRepeatingTimer), "startRepeatingTimer");
  if (missing.empty()) return;
  std::string names;
  for (const std::string& name : missing) names += (names.empty() ? "" : ", ") + name;
  throw std::invalid_argument("installer flow services missing: " + names);
}

}  // namespace

std::shared_ptr<InstallerFlow> InstallerFlow::create(InstallConfiguration configuration,
                                                     std::filesystem::path cache,
                                                     InstallerScreens& screens,
                                                     InstallerFlow::Services services) {
  requireServices(services);
  auto flow = std::make_shared<InstallerFlow>(PassKey{}, std::move(configuration), std::move(cache),
                                              screens, std::move(services));
  screens.welcome();
  screens.centreOnScreen();
  flow->guarded([&flow] { flow->checkBeforeDownload(false); });
  return flow;
}

InstallerFlow::InstallerFlow(PassKey, InstallConfiguration configuration,
                             std::filesystem::path cache, InstallerScreens& screens,
                             InstallerFlow::Services services)
    : configuration_(std::move(configuration)),
      screens_(screens),
      services_(std::move(services)),
      telemetry_(services_.makeTelemetry(configuration_)),
      downloader_(services_.makeDownloader(configuration_, cache)) {
  telemetry_("vexa_downloader_open");
}

InstallerFlow::~InstallerFlow() {
  try {
    cancelQuitWait();
  } catch (...) {
    // Nothing is left to report to.
  }
}

template <class Step>
void InstallerFlow::guarded(Step step) noexcept {
  try {
    step();
  } catch (...) {
    try {
      showFailure(std::current_exception());
    } catch (...) {
      // The failure screen itself failed. Its flags are reset already, so the user can still
      // retry or close; there is nothing left to show the error with.
    }
  }
}

template <class Work, class Then>
void InstallerFlow::inBackground(Work work, Then then) {
  services_.runInBackground([weak = weak_from_this(), post = services_.postToMainThread,
                             work = std::move(work), then = std::move(then)] {
    // The work reports its own failures in its outcome; what escapes it anyway goes to the
    // failure screen like any other error of the flow.
    using Outcome = decltype(work());
    std::optional<Outcome> outcome;
    std::exception_ptr error;
    try {
      outcome.emplace(work());
    } catch (...) {
      error = std::current_exception();
    }
    post([weak, then, outcome = std::move(outcome), error]() mutable {
      const auto flow = weak.lock();
      if (!flow) return;
      flow->guarded([&] {
        if (error) std::rethrow_exception(error);
        then(*flow, std::move(*outcome));
      });
    });
  });
}

void InstallerFlow::checkBeforeDownload(bool start) {
  busy_ = true;
  newerApplication_.reset();
  screens_.working(InstallerCopy::text("正在检查…", "Checking…"), "", std::nullopt);
  const std::filesystem::path parent = services_.defaultParent();
  inBackground(
      [steps = BackgroundSteps(configuration_, services_), parent] { return steps.check(parent); },
      [start, parent](InstallerFlow& flow, CheckOutcome outcome) {
        if (outcome.error) {
          flow.showFailure(outcome.error);
          return;
        }
        flow.busy_ = false;
        // Only an approval of exactly the installed version lets the flow replace a newer copy.
        if (outcome.current && outcome.newer &&
            (!flow.approvedReplacement_ ||
             *flow.approvedReplacement_ != outcome.current->version)) {
          flow.showNewerApplication(*outcome.current);
          return;
        }
        if (!start) {
          flow.screens_.welcome();
          return;
        }
        // A package already downloaded in this process is installed without downloading again.
        if (flow.downloadedInstaller_) {
          flow.installDownloaded(*flow.downloadedInstaller_, parent);
        } else {
          flow.startDownload(parent);
        }
      });
}

void InstallerFlow::startDownload(const std::filesystem::path& parent) {
  try {
    (void)services_.target(parent, configuration_.productName, true);
  } catch (...) {
    showFailure(std::current_exception());
    return;
  }
  busy_ = true;
  downloading_ = true;
  paused_ = false;
  screens_.working(InstallerCopy::text("正在下载安装包", "Downloading installer"),
                   screens_.downloadDetail(std::nullopt), 0.0);
  telemetry_("vexa_download_started");
  const std::weak_ptr<InstallerFlow> weak = weak_from_this();
  downloader_->start(
      [weak](double fraction) {
        if (const auto flow = weak.lock())
          flow->guarded([&] { flow->screens_.downloadProgress(fraction); });
      },
      [weak, parent](DownloadResult result) {
        const auto flow = weak.lock();
        if (!flow) return;
        flow->guarded([&] {
          if (!result.succeeded()) {
            // The failure that ends a pause reports the pause; it is not a failed download.
            if (!flow->paused_) flow->telemetry_("vexa_download_failed");
            flow->showFailure(result.error);
            return;
          }
          flow->telemetry_("vexa_download_completed");
          flow->downloading_ = false;
          flow->downloadedInstaller_ = result.package;
          flow->installDownloaded(result.package, parent);
        });
      });
}

void InstallerFlow::installDownloaded(const std::filesystem::path& package,
                                      const std::filesystem::path& parent) {
  cancelQuitWait();
  busy_ = true;
  downloading_ = false;
  waitingForApplicationQuit_ = false;
  screens_.working(InstallerCopy::text("正在安装…", "Installing…"),
                   InstallerCopy::text("正在校验并安装 Vexa", "Verifying and installing Vexa"),
                   std::nullopt);
  telemetry_("vexa_install_started");
  inBackground(
      [steps = BackgroundSteps(configuration_, services_), downloader = downloader_, package,
       parent, replacing = approvedReplacement_] {
        return steps.install(package, parent, replacing, downloader);
      },
      [package](InstallerFlow& flow, InstallOutcome outcome) {
        if (!outcome.error) {
          flow.downloadedInstaller_.reset();
          flow.installed_ = outcome.application;
          flow.telemetry_("vexa_install_completed");
          flow.complete();
          return;
        }
        switch (failureReason(outcome.error).value_or(InstallerFailureReason::general)) {
          case InstallerFailureReason::applicationRunning:
            flow.showApplicationRunning(package);
            return;
          case InstallerFailureReason::newerApplicationInstalled:
            // A newer copy appeared, or the approval no longer matches: the check shows it again.
            flow.checkBeforeDownload(true);
            return;
          case InstallerFailureReason::general:
            flow.telemetry_("vexa_install_failed");
            flow.showFailure(outcome.error);
            return;
        }
      });
}

void InstallerFlow::complete() {
  busy_ = false;
  downloading_ = false;
  screens_.showOpening();
  openApplication(std::nullopt);
}

void InstallerFlow::openApplication(std::optional<std::filesystem::path> path) {
  if (!path) path = installed_;
  if (!path) return;
  opening_ = true;
  inBackground([steps = BackgroundSteps(configuration_, services_),
                path = *path] { return steps.open(path); },
               [](InstallerFlow& flow, std::exception_ptr error) {
                 flow.opening_ = false;
                 flow.busy_ = false;
                 if (!error) {
                   flow.screens_.closeWindow();
                   return;
                 }
                 flow.screens_.showOpeningFailed(error);
               });
}

void InstallerFlow::openExistingApplication(const InstalledApplication& application) {
  busy_ = true;
  screens_.disableButtons();
  inBackground([steps = BackgroundSteps(configuration_, services_),
                path = application.url] { return steps.findAgain(path); },
               [](InstallerFlow& flow, FoundOutcome outcome) {
                 if (outcome.error) {
                   flow.showFailure(outcome.error);
                   return;
                 }
                 flow.openApplication(outcome.path);
               });
}

void InstallerFlow::showNewerApplication(const InstalledApplication& application) {
  busy_ = false;
  downloading_ = false;
  cancelQuitWait();
  waitingForApplicationQuit_ = false;
  newerApplication_ = application;
  screens_.showNewerApplication();
}

void InstallerFlow::showFailure(const std::exception_ptr& error) {
  opening_ = false;
  cancelQuitWait();
  newerApplication_.reset();
  busy_ = false;
  downloading_ = false;
  waitingForApplicationQuit_ = false;
  downloadedInstaller_.reset();
  screens_.showFailure(error, paused_);
}

void InstallerFlow::showApplicationRunning(const std::filesystem::path& package) {
  busy_ = false;
  downloading_ = false;
  waitingForApplicationQuit_ = true;
  downloadedInstaller_ = package;
  screens_.showApplicationRunning();
}

void InstallerFlow::requestQuitAndContinue(const std::filesystem::path& package,
                                           const std::filesystem::path& parent) {
  if (quitWait_) {
    // The exit notification may fire inside request() and release the wait: keep it alive here.
    const std::shared_ptr<InstallerQuitWait> wait = quitWait_;
    wait->request();
    return;
  }
  showApplicationRunning(package);
  screens_.showQuitWait();
  // The notification runs inside the wait's own calls, which may pass some errors over: it
  // reports its own.
  quitWait_ = services_.waitForApplicationExit(
      configuration_.appId, [weak = weak_from_this(), package, parent] {
        if (const auto flow = weak.lock())
          flow->guarded([&] { flow->installDownloaded(package, parent); });
      });
  quitTimer_ = services_.startRepeatingTimer(
      kQuitCheckInterval, [weak = weak_from_this(), weakWait = std::weak_ptr(quitWait_)] {
        const auto flow = weak.lock();
        const auto wait = weakWait.lock();
        if (flow && wait) flow->guarded([&] { wait->check(); });
      });
  const std::shared_ptr<InstallerQuitWait> wait = quitWait_;
  wait->request();
}

void InstallerFlow::cancelQuitWait() {
  if (quitWait_) std::exchange(quitWait_, nullptr)->cancel();
  if (quitTimer_) {
    quitTimer_->stop();
    // This may run inside the timer's own tick: the timer is released later, on the loop.
    services_.postToMainThread(
        [timer = std::shared_ptr<platform::RepeatingTimer>(std::move(quitTimer_))] {});
  }
}

void InstallerFlow::pauseDownload() {
  // While an earlier pause is still pending, the transfer is already stopping.
  if (paused_) return;
  paused_ = true;
  telemetry_("vexa_download_paused");
  downloader_->pause();
}

void InstallerFlow::primaryPressed() {
  guarded([this] { primary(); });
}

void InstallerFlow::secondaryPressed() {
  guarded([this] { secondary(); });
}

void InstallerFlow::closePressed() {
  guarded([this] { closeRequest(); });
}

bool InstallerFlow::shouldClose() {
  // A close decision that fails has shown its failure and keeps the window: the user sees it.
  bool close = false;
  guarded([this, &close] { close = closeDecision(); });
  return close;
}

void InstallerFlow::windowWillClose() {
  try {
    cancelQuitWait();
  } catch (...) {
    // The window is gone; the installer ends all the same.
  }
  screens_.terminate();
}

void InstallerFlow::primary() {
  if (busy_ || opening_) return;
  if (installed_) {
    openApplication(std::nullopt);
  } else if (newerApplication_) {
    openExistingApplication(*newerApplication_);
  } else if (waitingForApplicationQuit_ && downloadedInstaller_) {
    const std::filesystem::path package = *downloadedInstaller_;
    requestQuitAndContinue(package, services_.defaultParent());
  } else {
    checkBeforeDownload(true);
  }
}

void InstallerFlow::secondary() {
  if (busy_) return;
  if (newerApplication_) {
    approvedReplacement_ = newerApplication_->version;
    newerApplication_.reset();
    checkBeforeDownload(true);
  } else if (waitingForApplicationQuit_ || installed_) {
    closeRequest();
  }
}

void InstallerFlow::closeRequest() {
  if (waitingForApplicationQuit_) {
    cancelQuitWait();
    screens_.closeWindow();
  } else if (!busy_) {
    screens_.closeWindow();
  } else if (downloading_) {
    pauseDownload();
  } else {
    screens_.closeRefused();
  }
}

bool InstallerFlow::closeDecision() {
  if (waitingForApplicationQuit_) {
    cancelQuitWait();
    return true;
  }
  if (!busy_) return true;
  if (downloading_) {
    pauseDownload();
  } else {
    screens_.closeRefused();
  }
  return false;
}

}  // namespace vexa
