#include "flow/installer_flow.h"

#include <gtest/gtest.h>

#include <algorithm>
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

// The screens as a log of short names; the download detail is not the flow's business.
class RecordingScreens final : public InstallerScreens {
 public:
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
  void showOpeningFailed(const std::exception_ptr& error) override {
    log.push_back("open failed: " + describe(error));
  }
  void showFailure(const std::exception_ptr& error, bool paused) override {
    log.push_back((paused ? "continue: " : "retry: ") + describe(error));
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

enum class Install { ok, running, newer, broken };

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
    services_.target = [this](const std::filesystem::path& parent, const std::string& name,
                              bool writable) {
      if (writable && !writableTarget) throw InstallerFailure("not writable");
      return parent / (name + ".app");
    };
    services_.installedApplication =
        [this](const std::filesystem::path& url,
               const InstallConfiguration&) -> std::optional<InstalledApplication> {
      if (!copy) return std::nullopt;
      if (*copy == "unreadable") throw InstallerFailure("unreadable copy");
      return InstalledApplication{url, InstalledApplicationVersion(*copy, "1")};
    };
    services_.verifyDownload = [this](const InstallConfiguration&, const std::filesystem::path&) {
      if (corrupt) throw InstallerFailure("corrupt package");
    };
    services_.install = [this](const std::filesystem::path&, const std::filesystem::path& parent,
                               const InstallConfiguration&,
                               const std::optional<InstalledApplicationVersion>& replacing,
                               const std::function<bool(const std::string&)>&) {
      replaced.push_back(replacing ? replacing->version() : "-");
      const Install outcome = installs.empty() ? Install::ok : installs.front();
      if (!installs.empty()) installs.pop_front();
      if (outcome == Install::running)
        throw InstallerFailure("running", InstallerFailureReason::applicationRunning);
      if (outcome == Install::broken) throw InstallerFailure("broken bundle");
      if (outcome == Install::newer) {
        copy = "9.0.0";  // a newer copy turned up meanwhile
        throw InstallerFailure("newer", InstallerFailureReason::newerApplicationInstalled);
      }
      return parent / "Vexa.app";
    };
    services_.applicationIsRunning = [this](const std::string&) { return productRunning; };
    services_.waitForApplicationExit = [this](const std::string&, std::function<void()> onExit) {
      return std::make_shared<QuitWait>(*this, std::move(onExit));
    };
    services_.openApplication = [this](const std::filesystem::path&) {
      ++opens;
      if (openFails) throw std::system_error(ENOEXEC, std::generic_category());
    };
    services_.makeDownloader = [this](const InstallConfiguration&, const std::filesystem::path&) {
      return downloader;
    };
    services_.makeTelemetry = [this](const InstallConfiguration&) {
      return [this](std::string_view event) { events.emplace_back(event); };
    };
    services_.runInBackground = [this](std::function<void()> work) {
      background.push_back(std::move(work));
    };
    services_.postToMainThread = [this](std::function<void()> work) {
      main.push_back(std::move(work));
    };
    services_.startRepeatingTimer = [this](std::chrono::milliseconds interval,
                                           std::function<void()> timerTick) {
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

  // Runs queued background work and main-thread posts, in that order of preference, until none is
  // left.
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
    if (name == "copy gone") copy.reset();
    if (!hold) drain();
  }

  testing::ScopedEnvironment english_{{"LANGUAGE", "en"}, {"LC_ALL", std::nullopt}};
  InstallerFlow::Services services_;
  RecordingScreens screens;
  std::shared_ptr<Downloader> downloader = std::make_shared<Downloader>();
  std::deque<std::function<void()>> background, main;
  std::function<void()> tick;
  Log events, replaced;
  std::optional<std::string> copy;
  std::deque<Install> installs;
  bool writableTarget = true, corrupt = false, openFails = false, productRunning = false,
       releasedInsideCall = false;
  int opens = 0, quitRequests = 0, timers = 0, waitDepth = 0, tickDepth = 0;
  std::shared_ptr<InstallerFlow> flow;
};

struct Path {
  const char* name = "";
  std::optional<std::string> copy =
      {};  // the installed copy's version: "9.0.0" is newer, "1.0.0" older
  std::deque<Install> installs = {};  // how each installation ends
  bool running = false, corrupt = false, writable = true, openFails = false;
  Log steps = {};
  Log screens = {};  // after the construction's welcome, centred, checking
  Log events = {};   // after vexa_downloader_open, without the vexa_ prefix
  int opens = 0, discards = 0, quitRequests = 0;
  Log replaced = {};  // the approval given to each installation, "-" for none
};

void PrintTo(const Path& path, std::ostream* out) { *out << path.name; }

const Log kDownloadAndInstall{"download_started", "download_completed", "install_started",
                              "install_completed"};

const Path kPaths[] = {
    {.name = "FreshInstall_OpensAndCloses",
     .steps = {"primary", "progress", "done"},
     .screens = {"welcome", "checking", "downloading", "progress", "installing", "opening",
                 "closed"},
     .events = kDownloadAndInstall,
     .opens = 1,
     .discards = 1,
     .replaced = {"-"}},
    {.name = "OlderCopy_ReplacedWithoutAsking",
     .copy = "1.0.0",
     .steps = {"primary", "done", "window closed"},
     .screens = {"welcome", "checking", "downloading", "installing", "opening", "closed",
                 "terminated"},
     .events = kDownloadAndInstall,
     .opens = 1,
     .discards = 1,
     .replaced = {"-"}},
    {.name = "NewerCopy_OfferedAtStart", .copy = "9.0.0", .screens = {"newer"}},
    {.name = "InstallAnyway_ReplacesTheApprovedVersion",
     .copy = "9.0.0",
     .steps = {"secondary", "done"},
     .screens = {"newer", "checking", "downloading", "installing", "opening", "closed"},
     .events = kDownloadAndInstall,
     .opens = 1,
     .discards = 1,
     .replaced = {"9.0.0"}},
    // The approval was given for 9.0.0; the check then finds 9.1.0.
    {.name = "ApprovalOfAnotherVersion_AsksAgain",
     .copy = "9.0.0",
     .steps = {"copy changes", "secondary"},
     .screens = {"newer", "checking", "newer"}},
    {.name = "NewerCopyMetByInstall_InstallAnywayNeedsNoNewDownload",
     .installs = {Install::newer},
     .steps = {"primary", "done", "secondary"},
     .screens = {"welcome", "checking", "downloading", "installing", "checking", "newer",
                 "checking", "installing", "opening", "closed"},
     .events = {"download_started", "download_completed", "install_started", "install_started",
                "install_completed"},
     .opens = 1,
     .discards = 1,
     .replaced = {"-", "9.0.0"}},
    {.name = "CloseDuringDownload_PausesOnceThenContinues",
     .steps = {"primary", "close", "close", "quit", "drop", "primary", "done"},
     .screens = {"welcome", "checking", "downloading", "quit: no", "continue: transfer stopped",
                 "checking", "downloading", "installing", "opening", "closed"},
     .events = {"download_started", "download_paused", "download_started", "download_completed",
                "install_started", "install_completed"},
     .opens = 1,
     .discards = 1},
    {.name = "TransferFailure_RecordedAndRetryable",
     .steps = {"primary", "drop"},
     .screens = {"welcome", "checking", "downloading", "retry: transfer stopped"},
     .events = {"download_started", "download_failed"}},
    {.name = "CorruptPackage_DiscardedAndFailed",
     .corrupt = true,
     .steps = {"primary", "done"},
     .screens = {"welcome", "checking", "downloading", "installing", "retry: corrupt package"},
     .events = {"download_started", "download_completed", "install_started", "install_failed"},
     .discards = 1},
    {.name = "InstallFailure_RetryDownloadsAgain",
     .installs = {Install::broken},
     .steps = {"primary", "done", "primary", "done"},
     .screens = {"welcome", "checking", "downloading", "installing", "retry: broken bundle",
                 "checking", "downloading", "installing", "opening", "closed"},
     .events = {"download_started", "download_completed", "install_started", "install_failed",
                "download_started", "download_completed", "install_started", "install_completed"},
     .opens = 1,
     .discards = 1},
    {.name = "RunningProduct_AskedTwiceThenInstallContinues",
     .installs = {Install::running},
     .running = true,
     .steps = {"primary", "done", "primary", "primary", "product quits"},
     .screens = {"welcome", "checking", "downloading", "installing", "running", "running",
                 "quit wait", "installing", "opening", "closed"},
     .events = {"download_started", "download_completed", "install_started", "install_started",
                "install_completed"},
     .opens = 1,
     .discards = 1,
     .quitRequests = 2},
    // The product quit before "Quit Now": the installation starts within the press.
    {.name = "ProductAlreadyGone_InstallsWithinThePress",
     .installs = {Install::running},
     .steps = {"primary", "done", "primary"},
     .screens = {"welcome", "checking", "downloading", "installing", "running", "running",
                 "quit wait", "installing", "opening", "closed"},
     .events = {"download_started", "download_completed", "install_started", "install_started",
                "install_completed"},
     .opens = 1,
     .discards = 1},
    {.name = "QuitWait_CancelAndQuitEndTheInstaller",
     .installs = {Install::running},
     .running = true,
     .steps = {"primary", "done", "primary", "quit", "secondary", "product quits"},
     .screens = {"welcome", "checking", "downloading", "installing", "running", "running",
                 "quit wait", "quit: yes", "closed"},
     .events = {"download_started", "download_completed", "install_started"},
     .quitRequests = 1},
    {.name = "UnwritableTarget_FailsWithoutEvent",
     .writable = false,
     .steps = {"primary"},
     .screens = {"welcome", "checking", "retry: not writable"}},
    {.name = "UnreadableCopy_FailsTheCheck",
     .copy = "unreadable",
     .steps = {"quit", "close"},
     .screens = {"retry: unreadable copy", "quit: yes", "closed"}},
    // Closing while checking does nothing; quitting while downloading pauses.
    {.name = "BusyFlow_RefusesToClose",
     .steps = {"primary!", "quit!", "close", "quit"},
     .screens = {"welcome", "checking", "quit: no", "downloading", "quit: no"},
     .events = {"download_started", "download_paused"}},
    // A second press while the first retry is still opening starts nothing.
    {.name = "OpeningError_OneOpenAtATimeAndCloseEnds",
     .openFails = true,
     .steps = {"primary", "done", "primary!", "primary", "secondary"},
     .screens = {"welcome", "checking", "downloading", "installing", "opening",
                 "open failed: Exec format error", "open failed: Exec format error", "closed"},
     .events = kDownloadAndInstall,
     .opens = 2,
     .discards = 1},
    {.name = "OpenNewerCopy_OpensIt",
     .copy = "9.0.0",
     .steps = {"primary"},
     .screens = {"newer", "buttons off", "closed"},
     .opens = 1},
    {.name = "OpenNewerCopy_AlreadyRunningIsNotStartedAgain",
     .copy = "9.0.0",
     .running = true,
     .steps = {"primary"},
     .screens = {"newer", "buttons off", "closed"}},
    {.name = "OpenNewerCopy_GoneMeanwhile",
     .copy = "9.0.0",
     .steps = {"copy gone", "primary", "close"},
     .screens = {"newer", "buttons off", "retry: Vexa was not found. Install it again.", "closed"}},
};

class FlowPathTest : public FlowTest, public ::testing::WithParamInterface<Path> {};

TEST_P(FlowPathTest, ScreensAndEvents) {
  const Path& path = GetParam();
  copy = path.copy, installs = path.installs, productRunning = path.running, corrupt = path.corrupt;
  writableTarget = path.writable, openFails = path.openFails;
  create();
  for (const std::string& name : path.steps) step(name);

  Log screensSeen(screens.log.begin() + std::min<std::size_t>(3, screens.log.size()),
                  screens.log.end());
  EXPECT_EQ(Log(screens.log.begin(), screens.log.begin() + 3),
            (Log{"welcome", "centred", "checking"}));
  EXPECT_EQ(screensSeen, path.screens);
  Log expectedEvents{"vexa_downloader_open"};
  for (const std::string& event : path.events) expectedEvents.push_back("vexa_" + event);
  EXPECT_EQ(events, expectedEvents);
  EXPECT_EQ(opens, path.opens);
  EXPECT_EQ(downloader->discards, path.discards);
  EXPECT_EQ(downloader->pauses, std::count(events.begin(), events.end(), "vexa_download_paused"));
  EXPECT_EQ(quitRequests, path.quitRequests);
  if (!path.replaced.empty()) {
    EXPECT_EQ(replaced, path.replaced);
  }
  // The wait and its timer are gone once the path left the quit wait, and never went mid-call.
  EXPECT_EQ(timers, 0);
  EXPECT_FALSE(releasedInsideCall);
}

INSTANTIATE_TEST_SUITE_P(Paths, FlowPathTest, ::testing::ValuesIn(kPaths),
                         [](const auto& info) { return std::string(info.param.name); });

// Given a flow waiting for the product to quit, or one whose first check is still queued, when the
// window releases the flow, then the wait and its timer go and nothing more is shown.
TEST_F(FlowTest, Release_EndsWaitAndDropsLateResults) {
  installs = {Install::running};
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
  EXPECT_EQ(Log(screens.log.begin() + shown, screens.log.end()),
            (Log{"welcome", "centred", "checking"}));
  EXPECT_EQ(replaced.size(), 1u);
}

}  // namespace
}  // namespace vexa
