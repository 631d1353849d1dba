#include "flow/installer_flow.h"

#include <gtest/gtest.h>

#include <deque>
#include <system_error>

#include "config/installer_failure.h"
#include "tests/support/configuration_samples.h"
#include "tests/support/temporary_directory.h"

namespace vexa {
namespace {

void append(std::string& log, std::string_view entry) {
  log += (log.empty() ? "" : ", ") + std::string(entry);
}

// The world around the flow, and its screens. `log` holds what is shown (short names; the download
// detail is not the flow's business) and what the flow does to the world: opening the product,
// discarding or pausing the download, asking the product to quit ("ask"), installing over an
// approved newer copy ("over <version>"). The world: an installed copy, a running product, a
// download that the test ends, background work and main-thread posts queued until drained, and a
// timer fired by hand.
class FlowTest : public ::testing::Test, public InstallerScreens {
 protected:
  void welcome() override { append(log, "welcome"); }
  void working(const std::string& title, const std::string&, std::optional<double>) override {
    append(log, title.substr(0, title.find_first_of(" \xE2")));  // the first word, without "…"
  }
  [[nodiscard]] std::string downloadDetail(std::optional<int>) const override { return {}; }
  void downloadProgress(double) override {}
  void showOpening() override { append(log, "opening"); }
  void showOpeningFailed(const std::exception_ptr& e) override {
    append(log, "open failed: " + testing::messageOf(e));
  }
  void showFailure(const std::exception_ptr& e, bool paused) override {
    append(log, (paused ? "continue: " : "retry: ") + testing::messageOf(e));
  }
  void showNewerApplication() override { append(log, "newer"); }
  void showApplicationRunning() override { append(log, "running"); }
  void showQuitWait() override { append(log, "quit wait"); }
  void disableButtons() override { append(log, "buttons off"); }
  void centreOnScreen() override { append(log, "centred"); }
  void closeWindow() override { append(log, "closed"); }
  void terminate() override { append(log, "terminated"); }

  struct Downloader final : InstallerDownloader {
    explicit Downloader(std::string& log) : log(log) {}
    void start(PackageDownload::ProgressCallback, PackageDownload::CompletionCallback c) override {
      if (fails) throw std::runtime_error("no session");
      completion = std::move(c);
    }
    void pause() override { append(log, "pause"); }
    void discard() override { append(log, "discard"); }
    std::string& log;
    PackageDownload::CompletionCallback completion;
    bool fails = false;
  };

  // Behaves as the real wait does; notes when the flow releases it from inside one of its calls.
  struct QuitWait final : InstallerQuitWait {
    QuitWait(FlowTest& test, std::function<void()> onExit)
        : test(test), onExit(std::move(onExit)) {}
    ~QuitWait() override { test.releasedInsideCall |= test.waitDepth > 0; }
    void request() override {
      if (onExit && test.productRunning) append(test.log, "ask");
      check();
    }
    void check() override {
      if (test.scanFails) throw std::system_error(EACCES, std::generic_category(), "scan");
      ++test.waitDepth;
      if (onExit && !test.productRunning) std::exchange(onExit, nullptr)();
      --test.waitDepth;
    }
    void cancel() override { onExit = nullptr; }
    FlowTest& test;
    std::function<void()> onExit;
  };

  struct Timer final : platform::RepeatingTimer {
    explicit Timer(FlowTest& test) : test(test) { ++test.timers; }
    ~Timer() override { --test.timers; }
    void stop() override { test.tick = nullptr; }
    FlowTest& test;
  };

  void SetUp() override {
    services_.defaultParent = [this] {
      if (parentFails) throw std::runtime_error("no parent");
      return std::filesystem::path("/Applications");
    };
    services_.target = [this](const auto& parent, const std::string& name, bool writable) {
      if (writable && unwritable) throw InstallerFailure("not writable");
      return parent / (name + ".app");
    };
    services_.installedApplication = [this](const auto& url,
                                            auto&) -> std::optional<InstalledApplication> {
      if (copy.empty()) return std::nullopt;
      if (copy == "unreadable") throw InstallerFailure("unreadable copy");
      return InstalledApplication{url, InstalledApplicationVersion(copy, "1")};
    };
    services_.verifyDownload = [this](auto&, auto&) {
      if (std::exchange(corrupt, false)) throw InstallerFailure("corrupt package");
    };
    services_.install = [this](auto&, const auto& parent, auto&, const auto& replacing, auto&) {
      if (replacing) append(log, "over " + replacing->version());
      if (std::exchange(runningAtInstall, false))
        throw InstallerFailure("running", InstallerFailureReason::applicationRunning);
      if (std::exchange(newerAtInstall, false) && !(copy = "9.0.0").empty())  // turned up meanwhile
        throw InstallerFailure("newer", InstallerFailureReason::newerApplicationInstalled);
      return parent / "Vexa.app";
    };
    services_.applicationIsRunning = [this](auto&) { return productRunning; };
    services_.waitForApplicationExit = [this](auto&, std::function<void()> onExit) {
      if (waitFails) throw std::runtime_error("no wait");
      return std::make_shared<QuitWait>(*this, std::move(onExit));
    };
    services_.openApplication = [this](auto&) {
      append(log, "open");
      if (openFails) throw std::system_error(ENOEXEC, std::generic_category());
    };
    services_.makeDownloader = [this](auto&, auto&) { return downloader; };
    services_.makeTelemetry = [this](auto&) {
      return [this](std::string_view name) { append(events, name.substr(5)); };
    };
    services_.runInBackground = services_.postToMainThread = [this](std::function<void()> work) {
      queued.push_back(std::move(work));
    };
    services_.startRepeatingTimer = [this](std::chrono::milliseconds, auto timerTick) {
      tick = std::move(timerTick);
      return std::make_unique<Timer>(*this);
    };
  }

  void TearDown() override {
    flow.reset();
    drain();
  }

  // Runs queued work, background and main-thread alike, in order until none is left.
  void drain() {
    while (!queued.empty()) {
      const std::function<void()> work = std::move(queued.front());
      queued.pop_front();
      work();
    }
  }

  // One user action or outside event; a trailing "!" leaves the queues undrained.
  void step(std::string name) {
    const bool hold = name.ends_with('!');
    if (hold) name.pop_back();
    if (name == "primary") flow->primaryPressed();
    if (name == "secondary") flow->secondaryPressed();
    if (name == "close") flow->closePressed();
    if (name == "quit") append(log, flow->shouldClose() ? "quit: yes" : "quit: no");
    if (name == "window closed") flow->windowWillClose();
    if (name == "release") flow.reset();
    if (name == "done" || name == "drop") {
      const auto stopped = std::make_exception_ptr(InstallerFailure("transfer stopped"));
      std::exchange(downloader->completion, nullptr)(
          name == "done" ? DownloadResult{"/cache/p.dmg", nullptr} : DownloadResult{{}, stopped});
    }
    // The tick runs from a copy, since stopping the timer clears `tick`.
    if (name == "product quits" && !(productRunning = false) && tick) std::function<void()>{tick}();
    if (name == "copy changes") copy = "9.1.0";
    if (name == "copy gone") copy.clear();
    if (!hold) drain();
  }

  testing::ScopedEnvironment english_{{"LANGUAGE", "en"}, {"LC_ALL", std::nullopt}};
  InstallerFlow::Services services_;
  std::string log, events;
  std::shared_ptr<Downloader> downloader = std::make_shared<Downloader>(log);
  std::deque<std::function<void()>> queued;
  std::function<void()> tick;
  std::string copy;  // the installed copy's version, empty for none
  // The next installation finds the product running, or a newer copy (later ones do not); the
  // next package is corrupt.
  bool runningAtInstall = false, newerAtInstall = false, corrupt = false, unwritable = false,
       openFails = false, productRunning = false;
  // Main-thread services that throw: the install location, the quit wait's creation, its look at
  // the running processes.
  bool parentFails = false, waitFails = false, scanFails = false;
  bool releasedInsideCall = false;
  int timers = 0, waitDepth = 0;
  std::shared_ptr<InstallerFlow> flow;
};

// What the world holds when the flow starts (or-ed together).
namespace world {
constexpr int plain = 0, running = 1, runningAtInstall = 2, openFails = 4, newerAtInstall = 8,
              corrupt = 16, unwritable = 32, parentFails = 64, waitFails = 128, scanFails = 256,
              startFails = 512;
}  // namespace world
using namespace world;

// One road through the flow. `log` as noted after the construction's welcome, centred, Checking;
// `events` without their vexa_ prefix after downloader_open; lists are ", "-separated.
struct Path {
  const char* name;
  std::string copy;  // "9.0.0" is newer than the configured release, "1.0.0" older
  int world;
  const char* steps;
  std::string log, events;
};

const std::string kInstall = "download_started, download_completed, install_started";
const std::string kRunning =
    "welcome, Checking, Downloading, Installing, running, running, quit wait";

const Path kPaths[] = {
    {"OlderCopy_ReplacedWithoutAskingThenOpenedAndEnded", "1.0.0", plain,
     "primary, done, window closed",
     "welcome, Checking, Downloading, Installing, discard, opening, open, closed, terminated",
     kInstall + ", install_completed"},
    {"InstallAnyway_ReplacesTheApprovedVersion", "9.0.0", plain, "secondary, done",
     "newer, Checking, Downloading, Installing, over 9.0.0, discard, opening, open, closed",
     kInstall + ", install_completed"},
    {"NewerCopyMetByInstall_InstallAnywayNeedsNoNewDownload", "", newerAtInstall,
     "primary, done, secondary",
     "welcome, Checking, Downloading, Installing, Checking, newer, Checking, Installing, "
     "over 9.0.0, discard, opening, open, closed",
     kInstall + ", install_started, install_completed"},
    {"CloseDuringDownload_PausesOnceThenContinues", "", plain,
     "primary, close, close, quit, drop, primary, done",
     "welcome, Checking, Downloading, pause, quit: no, continue: transfer stopped, Checking, "
     "Downloading, Installing, discard, opening, open, closed",
     "download_started, download_paused, " + kInstall + ", install_completed"},
    // The first package is corrupt; the retry downloads again.
    {"CorruptPackage_DiscardedFailedAndRetried", "", corrupt, "primary, done, primary, done",
     "welcome, Checking, Downloading, Installing, discard, retry: corrupt package, Checking, "
     "Downloading, Installing, discard, opening, open, closed",
     kInstall + ", install_failed, " + kInstall + ", install_completed"},
    {"RunningProduct_AskedTwiceThenInstallContinues", "", running | runningAtInstall,
     "primary, done, primary, primary, product quits",
     kRunning + ", ask, ask, Installing, discard, opening, open, closed",
     kInstall + ", install_started, install_completed"},
    {"UnwritableTarget_FailsWithoutEvent", "", unwritable, "primary",
     "welcome, Checking, retry: not writable", ""},
    // Closing while checking does nothing; quitting while downloading pauses.
    {"BusyFlow_RefusesToClose", "", plain, "primary!, quit!, close, quit",
     "welcome, Checking, quit: no, Downloading, pause, quit: no",
     "download_started, download_paused"},
    // The approval was given for 9.0.0; the check then finds 9.1.0.
    {"ApprovalOfAnotherVersion_AsksAgain", "9.0.0", plain, "copy changes, secondary",
     "newer, Checking, newer", ""},
    {"TransferFailure_RecordedAndRetryable", "", plain, "primary, drop",
     "welcome, Checking, Downloading, retry: transfer stopped",
     "download_started, download_failed"},
    // The product quit before "Quit Now": the installation starts within the press.
    {"ProductAlreadyGone_InstallsWithinThePress", "", runningAtInstall, "primary, done, primary",
     kRunning + ", Installing, discard, opening, open, closed",
     kInstall + ", install_started, install_completed"},
    {"QuitWait_CancelAndQuitEndTheInstaller", "", running | runningAtInstall,
     "primary, done, primary, quit, secondary, product quits",
     kRunning + ", ask, quit: yes, closed", kInstall},
    // Releasing the flow drops a check still under way, and ends the quit wait and its timer.
    {"Release_DropsALateCheck", "", plain, "primary!, release", "welcome, Checking", ""},
    {"Release_EndsTheQuitWait", "", running | runningAtInstall,
     "primary, done, primary, release, product quits", kRunning + ", ask", kInstall},
    {"UnreadableCopy_FailsTheCheck", "unreadable", plain, "quit, close",
     "retry: unreadable copy, quit: yes, closed", ""},
    // A second press while the first retry is still opening starts nothing.
    {"OpeningError_OneOpenAtATimeAndCloseEnds", "", openFails,
     "primary, done, primary!, primary, secondary",
     "welcome, Checking, Downloading, Installing, discard, opening, open, open failed: Exec "
     "format error, open, open failed: Exec format error, closed",
     kInstall + ", install_completed"},
    // Whatever a step's service throws ends on the failure screen, and the installer stays.
    {"ParentThrows_FailsTheCheckEachTime", "", parentFails, "primary, close",
     "retry: no parent, Checking, retry: no parent, closed", ""},
    {"QuitWaitThrows_Fails", "", running | runningAtInstall | waitFails,
     "primary, done, primary, close", kRunning + ", retry: no wait, closed", kInstall},
    {"ProcessScanThrows_Fails", "", running | runningAtInstall | scanFails,
     "primary, done, primary, close", kRunning + ", ask, retry: scan: Permission denied, closed",
     kInstall},
    {"TransferStartThrows_Fails", "", startFails, "primary, close",
     "welcome, Checking, Downloading, retry: no session, closed", "download_started"},
    {"OpenNewerCopy_GoneMeanwhile", "9.0.0", plain, "copy gone, primary, close",
     "newer, buttons off, retry: Vexa was not found. Install it again., closed", ""},
};

void PrintTo(const Path& path, std::ostream* out) { *out << path.name; }

class FlowPathTest : public FlowTest, public ::testing::WithParamInterface<Path> {};

TEST_P(FlowPathTest, ScreensAndEvents) {
  const Path& path = GetParam();
  copy = path.copy, productRunning = path.world & world::running;
  runningAtInstall = path.world & world::runningAtInstall;
  openFails = path.world & world::openFails, newerAtInstall = path.world & world::newerAtInstall;
  corrupt = path.world & world::corrupt, unwritable = path.world & world::unwritable;
  parentFails = path.world & world::parentFails, waitFails = path.world & world::waitFails;
  scanFails = path.world & world::scanFails, downloader->fails = path.world & world::startFails;
  flow = InstallerFlow::create(testing::validProductionConfiguration(), "/cache", *this, services_);
  drain();
  const std::string steps = path.steps;
  for (std::size_t at = 0; at < steps.size();) {
    const std::size_t end = std::min(steps.find(", ", at), steps.size());
    step(steps.substr(at, end - at));
    at = end + 2;
  }

  EXPECT_EQ(log, "welcome, centred, Checking, " + path.log);
  EXPECT_EQ(events, "downloader_open" + (path.events.empty() ? "" : ", " + path.events));
  // The wait and its timer are gone once the path left the quit wait, and never went mid-call.
  EXPECT_EQ(timers, 0);
  EXPECT_FALSE(releasedInsideCall);
}

// A home folder that is a link whose target has gone: the check refuses the install location with
// its usual message, and the installer stays.
TEST_F(FlowTest, DanglingHome_RefusedAsInstallLocation) {
  const testing::TemporaryDirectory folder;
  std::filesystem::create_directory_symlink(folder / "gone", folder / "home");
  const testing::ScopedEnvironment home{{"HOME", (folder / "home").string()}};
  const InstallerFlow::Services production;
  services_.defaultParent = production.defaultParent, services_.target = production.target;
  flow = InstallerFlow::create(testing::validProductionConfiguration(), "/cache", *this, services_);
  drain();
  flow->closePressed();
  EXPECT_EQ(log,
            "welcome, centred, Checking, retry: Cannot write to Applications. Check this "
            "account’s install permissions., closed");
}

// Every missing service is named at once, before anything is shown.
TEST_F(FlowTest, MissingServices_AreAllNamedBeforeAnythingShows) {
  const InstallerFlow::Services none{{}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}};
  EXPECT_EQ(testing::failureMessage<std::invalid_argument>([&] {
              (void)InstallerFlow::create(testing::validProductionConfiguration(), "/", *this,
                                          none);
            }),
            "installer flow services missing: defaultParent, target, installedApplication, "
            "verifyDownload, install, applicationIsRunning, waitForApplicationExit, "
            "openApplication, makeDownloader, makeTelemetry, runInBackground, postToMainThread, "
            "startRepeatingTimer");
  EXPECT_EQ(log, "");
}

INSTANTIATE_TEST_SUITE_P(Paths, FlowPathTest, ::testing::ValuesIn(kPaths),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vexa
