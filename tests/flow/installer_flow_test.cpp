#include "flow/installer_flow.h"

#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <system_error>

#include "config/installer_failure.h"
#include "tests/support/configuration_samples.h"
#include "tests/support/temporary_directory.h"

namespace vexa {
namespace {

using Log = std::vector<std::string>;

std::string describe(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& exception) {
    return exception.what();
  }
}

// The entries from `from` on, ", "-separated.
std::string join(const Log& log, std::size_t from = 0) {
  std::string text;
  for (; from < log.size(); ++from) text += (text.empty() ? "" : ", ") + log[from];
  return text;
}

// The screens as a log of short names; the download detail is not the flow's business.
struct RecordingScreens final : InstallerScreens {
  void welcome() override { log.emplace_back("welcome"); }
  void working(const std::string& title, const std::string&, std::optional<double>) override {
    static const std::map<std::string, std::string> names{{"Checking…", "checking"},
                                                          {"Downloading installer", "downloading"},
                                                          {"Installing…", "installing"}};
    log.push_back(names.at(title));
  }
  [[nodiscard]] std::string downloadDetail(std::optional<int>) const override { return {}; }
  void downloadProgress(double) override { log.emplace_back("progress"); }
  void showOpening() override { log.emplace_back("opening"); }
  void showOpeningFailed(const std::exception_ptr& e) override {
    log.push_back("open failed: " + describe(e));
  }
  void showFailure(const std::exception_ptr& e, bool paused) override {
    log.push_back((paused ? "continue: " : "retry: ") + describe(e));
  }
  void showNewerApplication() override { log.emplace_back("newer"); }
  void showApplicationRunning() override { log.emplace_back("running"); }
  void showQuitWait() override { log.emplace_back("quit wait"); }
  void disableButtons() override { log.emplace_back("buttons off"); }
  void centreOnScreen() override { log.emplace_back("centred"); }
  void closeWindow() override { log.emplace_back("closed"); }
  void terminate() override { log.emplace_back("terminated"); }
  Log log;
};

enum class Install { ok, running, newer };

// The world around the flow: an installed copy, a running product, a download that the test ends,
// background work and main-thread posts queued until drained, and a timer fired by hand.
class FlowTest : public ::testing::Test {
 protected:
  struct Downloader final : InstallerDownloader {
    void start(PackageDownload::ProgressCallback p,
               PackageDownload::CompletionCallback c) override {
      progress = std::move(p), completion = std::move(c);
    }
    void pause() override { ++pauses; }
    void discard() override { ++discards; }
    int pauses = 0, discards = 0;
    PackageDownload::ProgressCallback progress;
    PackageDownload::CompletionCallback completion;
  };

  // Behaves as the real wait does; notes when the flow releases it from inside one of its calls.
  struct QuitWait final : InstallerQuitWait {
    QuitWait(FlowTest& test, std::function<void()> onExit)
        : test(test), onExit(std::move(onExit)) {}
    ~QuitWait() override { test.releasedInsideCall |= test.waitDepth > 0; }
    void request() override {
      ++test.waitDepth;
      if (onExit && test.productRunning) ++test.quitRequests;
      check();
      --test.waitDepth;
    }
    void check() override {
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
    ~Timer() override { --test.timers, test.releasedInsideCall |= test.tickDepth > 0; }
    void stop() override { test.tick = nullptr; }
    FlowTest& test;
  };

  void SetUp() override {
    services_.defaultParent = [] { return std::filesystem::path("/apps"); };
    services_.target = [this](const auto& parent, const std::string& name, bool writable) {
      if (writable && !writableTarget) throw InstallerFailure("not writable");
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
      replaced.push_back(replacing ? replacing->version() : "-");
      const Install outcome = std::exchange(install, Install::ok);
      if (outcome == Install::running)
        throw InstallerFailure("running", InstallerFailureReason::applicationRunning);
      if (outcome == Install::newer) {
        copy = "9.0.0";  // a newer copy turned up meanwhile
        throw InstallerFailure("newer", InstallerFailureReason::newerApplicationInstalled);
      }
      return parent / "Vexa.app";
    };
    services_.applicationIsRunning = [this](auto&) { return productRunning; };
    services_.waitForApplicationExit = [this](auto&, std::function<void()> onExit) {
      return std::make_shared<QuitWait>(*this, std::move(onExit));
    };
    services_.openApplication = [this](auto&) {
      ++opens;
      if (openFails) throw std::system_error(ENOEXEC, std::generic_category());
    };
    services_.makeDownloader = [this](auto&, auto&) { return downloader; };
    services_.makeTelemetry = [this](auto&) {
      return [this](std::string_view event) {
        EXPECT_TRUE(event.starts_with("vexa_")) << event;
        events.emplace_back(event.substr(5));
      };
    };
    services_.runInBackground = [this](auto work) { background.push_back(std::move(work)); };
    services_.postToMainThread = [this](auto work) { main.push_back(std::move(work)); };
    services_.startRepeatingTimer = [this](std::chrono::milliseconds interval, auto timerTick) {
      EXPECT_EQ(interval, std::chrono::milliseconds(200));
      tick = std::move(timerTick);
      return std::make_unique<Timer>(*this);
    };
  }

  void TearDown() override {
    flow.reset();
    drain();
  }

  void create(bool settle = true) {
    flow = InstallerFlow::create(testing::validProductionConfiguration(), "/cache", screens,
                                 services_);
    if (settle) drain();
  }

  // Runs queued background work before main-thread posts until none is left.
  void drain() {
    while (!background.empty() || !main.empty()) {
      auto& queue = background.empty() ? main : background;
      const std::function<void()> work = std::move(queue.front());
      queue.pop_front();
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
    if (name == "quit") screens.log.push_back(flow->shouldClose() ? "quit: yes" : "quit: no");
    if (name == "window closed") flow->windowWillClose();
    if (name == "progress") downloader->progress(0.5);
    if (name == "done" || name == "drop") {
      const auto stopped = std::make_exception_ptr(InstallerFailure("transfer stopped"));
      std::exchange(downloader->completion, nullptr)(
          name == "done" ? DownloadResult{"/cache/p.dmg", nullptr} : DownloadResult{{}, stopped});
    }
    if (name == "product quits" && !(productRunning = false)) {
      // A copy, since stopping the timer clears `tick`.
      if (const std::function<void()> fire = tick) ++tickDepth, fire(), --tickDepth;
    }
    if (name == "copy changes") copy = "9.1.0";
    if (name == "copy gone") copy.clear();
    if (!hold) drain();
  }

  testing::ScopedEnvironment english_{{"LANGUAGE", "en"}, {"LC_ALL", std::nullopt}};
  InstallerFlow::Services services_;
  RecordingScreens screens;
  std::shared_ptr<Downloader> downloader = std::make_shared<Downloader>();
  std::deque<std::function<void()>> background, main;
  std::function<void()> tick;
  Log events, replaced;
  std::string copy;               // the installed copy's version, empty for none
  Install install = Install::ok;  // how the next installation ends; later ones succeed
  bool writableTarget = true, corrupt = false /* the next package */, openFails = false,
       productRunning = false, releasedInsideCall = false;
  int opens = 0, quitRequests = 0, timers = 0, waitDepth = 0, tickDepth = 0;
  std::shared_ptr<InstallerFlow> flow;
};

enum World { plain = 0, running = 1, corrupt = 2, unwritable = 4, openFails = 8 };

// One road through the flow. Lists are ", "-separated: `screens` as shown after the construction's
// welcome, centred, checking; `events` without the vexa_ prefix after downloader_open; `replaced`
// is the approval given to each installation ("-" for none).
struct Path {
  const char* name;
  std::string copy;  // "9.0.0" is newer than the configured release, "1.0.0" older
  Install install;   // how the first installation ends; later ones succeed
  int world;
  const char* steps;
  std::string screens, events;
  int opens, discards, quitRequests;
  const char* replaced;
};

void PrintTo(const Path& path, std::ostream* out) { *out << path.name; }

const std::string kInstall = "download_started, download_completed, install_started";
const std::string kRunning =
    "welcome, checking, downloading, installing, running, running, quit wait";

const Path kPaths[] = {
    {"OlderCopy_ReplacedWithoutAskingThenOpenedAndEnded", "1.0.0", Install::ok, plain,
     "primary, progress, done, window closed",
     "welcome, checking, downloading, progress, installing, opening, closed, terminated",
     kInstall + ", install_completed", 1, 1, 0, "-"},
    {"InstallAnyway_ReplacesTheApprovedVersion", "9.0.0", Install::ok, plain, "secondary, done",
     "newer, checking, downloading, installing, opening, closed", kInstall + ", install_completed",
     1, 1, 0, "9.0.0"},
    // The approval was given for 9.0.0; the check then finds 9.1.0.
    {"ApprovalOfAnotherVersion_AsksAgain", "9.0.0", Install::ok, plain, "copy changes, secondary",
     "newer, checking, newer", "", 0, 0, 0, ""},
    {"NewerCopyMetByInstall_InstallAnywayNeedsNoNewDownload", "", Install::newer, plain,
     "primary, done, secondary",
     "welcome, checking, downloading, installing, checking, newer, checking, installing, opening, "
     "closed",
     kInstall + ", install_started, install_completed", 1, 1, 0, "-, 9.0.0"},
    {"CloseDuringDownload_PausesOnceThenContinues", "", Install::ok, plain,
     "primary, close, close, quit, drop, primary, done",
     "welcome, checking, downloading, quit: no, continue: transfer stopped, checking, "
     "downloading, installing, opening, closed",
     "download_started, download_paused, " + kInstall + ", install_completed", 1, 1, 0, "-"},
    {"TransferFailure_RecordedAndRetryable", "", Install::ok, plain, "primary, drop",
     "welcome, checking, downloading, retry: transfer stopped", "download_started, download_failed",
     0, 0, 0, ""},
    // The first package is corrupt; the retry downloads again.
    {"CorruptPackage_DiscardedFailedAndRetried", "", Install::ok, corrupt,
     "primary, done, primary, done",
     "welcome, checking, downloading, installing, retry: corrupt package, checking, downloading, "
     "installing, opening, closed",
     kInstall + ", install_failed, " + kInstall + ", install_completed", 1, 2, 0, "-"},
    {"RunningProduct_AskedTwiceThenInstallContinues", "", Install::running, running,
     "primary, done, primary, primary, product quits", kRunning + ", installing, opening, closed",
     kInstall + ", install_started, install_completed", 1, 1, 2, "-, -"},
    // The product quit before "Quit Now": the installation starts within the press.
    {"ProductAlreadyGone_InstallsWithinThePress", "", Install::running, plain,
     "primary, done, primary", kRunning + ", installing, opening, closed",
     kInstall + ", install_started, install_completed", 1, 1, 0, "-, -"},
    {"QuitWait_CancelAndQuitEndTheInstaller", "", Install::running, running,
     "primary, done, primary, quit, secondary, product quits", kRunning + ", quit: yes, closed",
     kInstall, 0, 0, 1, "-"},
    {"UnwritableTarget_FailsWithoutEvent", "", Install::ok, unwritable, "primary",
     "welcome, checking, retry: not writable", "", 0, 0, 0, ""},
    {"UnreadableCopy_FailsTheCheck", "unreadable", Install::ok, plain, "quit, close",
     "retry: unreadable copy, quit: yes, closed", "", 0, 0, 0, ""},
    // Closing while checking does nothing; quitting while downloading pauses.
    {"BusyFlow_RefusesToClose", "", Install::ok, plain, "primary!, quit!, close, quit",
     "welcome, checking, quit: no, downloading, quit: no", "download_started, download_paused", 0,
     0, 0, ""},
    // A second press while the first retry is still opening starts nothing.
    {"OpeningError_OneOpenAtATimeAndCloseEnds", "", Install::ok, openFails,
     "primary, done, primary!, primary, secondary",
     "welcome, checking, downloading, installing, opening, open failed: Exec format error, "
     "open failed: Exec format error, closed",
     kInstall + ", install_completed", 2, 1, 0, "-"},
    {"OpenNewerCopy_OpensIt", "9.0.0", Install::ok, plain, "primary", "newer, buttons off, closed",
     "", 1, 0, 0, ""},
    {"OpenNewerCopy_AlreadyRunningIsNotStartedAgain", "9.0.0", Install::ok, running, "primary",
     "newer, buttons off, closed", "", 0, 0, 0, ""},
    {"OpenNewerCopy_GoneMeanwhile", "9.0.0", Install::ok, plain, "copy gone, primary, close",
     "newer, buttons off, retry: Vexa was not found. Install it again., closed", "", 0, 0, 0, ""},
};

class FlowPathTest : public FlowTest, public ::testing::WithParamInterface<Path> {};

TEST_P(FlowPathTest, ScreensAndEvents) {
  const Path& path = GetParam();
  copy = path.copy, install = path.install, productRunning = path.world & running;
  corrupt = path.world & World::corrupt, writableTarget = !(path.world & unwritable);
  openFails = path.world & World::openFails;
  create();
  const std::string steps = path.steps;
  for (std::size_t at = 0; at < steps.size();) {
    const std::size_t end = std::min(steps.find(", ", at), steps.size());
    step(steps.substr(at, end - at));
    at = end + 2;
  }

  EXPECT_EQ(join(screens.log), "welcome, centred, checking, " + path.screens);
  EXPECT_EQ(join(events), "downloader_open" + (path.events.empty() ? "" : ", " + path.events));
  EXPECT_EQ(opens, path.opens);
  EXPECT_EQ(downloader->discards, path.discards);
  EXPECT_EQ(downloader->pauses, std::count(events.begin(), events.end(), "download_paused"));
  EXPECT_EQ(quitRequests, path.quitRequests);
  EXPECT_EQ(join(replaced), path.replaced);
  // The wait and its timer are gone once the path left the quit wait, and never went mid-call.
  EXPECT_EQ(timers, 0);
  EXPECT_FALSE(releasedInsideCall);
}

INSTANTIATE_TEST_SUITE_P(Paths, FlowPathTest, ::testing::ValuesIn(kPaths),
                         [](const auto& info) { return std::string(info.param.name); });

// Given a flow waiting for the product to quit, or one whose first check is still queued, when the
// window releases the flow, then the wait and its timer go and nothing more is shown.
TEST_F(FlowTest, Release_EndsWaitAndDropsLateResults) {
  install = Install::running;
  productRunning = true;
  create();
  for (const char* name : {"primary", "done", "primary"}) step(name);
  ASSERT_EQ(timers, 1);
  flow.reset();
  const std::size_t shown = screens.log.size();
  step("product quits");
  EXPECT_EQ(timers, 0);

  create(false);
  flow.reset();
  drain();
  EXPECT_EQ(join(screens.log, shown), "welcome, centred, checking");
  EXPECT_EQ(replaced.size(), 1u);
}

}  // namespace
}  // namespace vexa
