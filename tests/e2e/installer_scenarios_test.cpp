// The real installer bundle in a real window (a private Xvfb), driven as a person would: keys and
// clicks through xdotool, the product served over HTTPS by a scripted server on the loopback port
// this build routes the deployment hosts to, telemetry answered with durable receipts, and the
// installed application started for real. scripts/test builds the suite with that routing; a
// build without it skips these scenarios.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "install/bundle_verification.h"
#include "platform/deployment_settings.h"
#include "tests/support/configuration_samples.h"
#include "tests/support/https_test_server.h"
#include "tests/support/package_builder.h"
#include "tests/support/program_run.h"
#include "tests/support/temporary_directory.h"
#include "tests/support/virtual_display.h"

namespace vexa {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::BundleLayout;
using testing::RecordedRequest;
using testing::ScriptedResponse;

// The loopback port of the build's first connect-to entry ("host:443:127.0.0.1:PORT,..."); 0 when
// the build routes nothing.
std::uint16_t scenarioPort() {
  const std::string_view list = DeploymentSettings::connectTo;
  const std::string_view first = list.substr(0, list.find(','));
  const auto colon = first.rfind(':');
  if (first.empty() || colon == std::string_view::npos || DeploymentSettings::extraCaFile.empty())
    return 0;
  return static_cast<std::uint16_t>(std::stoi(std::string(first.substr(colon + 1))));
}

// Gone, or a zombie waiting for the test to reap it.
bool processEnded(pid_t pid) {
  std::string stat;
  try {
    stat = testing::readFile(fs::path("/proc") / std::to_string(pid) / "stat");
  } catch (const std::exception&) {
    return true;
  }
  const auto end = stat.rfind(')');
  return end == std::string::npos || stat.substr(end + 2, 1) == "Z";
}

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 60s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(100ms);
  }
  return true;
}

// Everything the scenarios share: one authority that signs the products and the TLS server, the
// configured package and a newer copy of the product.
struct Products {
  testing::TemporaryDirectory folder;
  testing::TestCertificateAuthority authority{"Vexa Scenario Authority"};
  std::string package;  // the configured release's image
  fs::path newer;       // Vexa.app 1.5.0 build 60, signed
  fs::path older;       // Vexa.app 1.3.0 build 40, signed
  InstallConfiguration configuration = testing::validProductionConfiguration();

  Products() {
    const testing::PackageBuilder builder;
    const auto makeSigned = [&](const fs::path& bundle, BundleLayout layout) {
      builder.makeBundle(bundle, layout);
      builder.sign(bundle, authority, configuration.teamId);
    };
    makeSigned(folder / "volume" / "Vexa.app", BundleLayout{});
    builder.makeImage(folder / "volume", folder / "package.dmg");
    package = testing::readFile(folder / "package.dmg");
    configuration = testing::withPackage(configuration, static_cast<std::int64_t>(package.size()),
                                         testing::referenceSha256(package));
    const auto release = [](std::string version, std::string build) {
      BundleLayout layout;
      layout.shortVersion = std::move(version);
      layout.buildText = std::move(build);
      return layout;
    };
    makeSigned(newer = folder / "newer" / "Vexa.app", release("1.5.0", "60"));
    makeSigned(older = folder / "older" / "Vexa.app", release("1.3.0", "40"));
  }
};

class InstallerScenarioTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (scenarioPort() != 0) products_ = new Products;
  }
  static void TearDownTestSuite() {
    delete products_;
    products_ = nullptr;
  }

  void SetUp() override {
    if (products_ == nullptr) GTEST_SKIP() << "this build routes no deployment host to loopback";
    const fs::path source = fs::path(VEXA_BUNDLE_DIR);
    fs::copy(source, bundle_, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    testing::writeFile(bundle_ / "Contents/Resources/configuration.json",
                       products_->configuration.encode());
    products_->authority.writeCertificate(bundle_ / "Contents/Resources/code-signing-anchor.pem");
    products_->authority.writeCertificate(std::string(DeploymentSettings::extraCaFile));
    served_ = products_->package;
    server_ = std::make_unique<testing::HttpsTestServer>(products_->authority, scenarioPort());
    server_->setHandler([this](const RecordedRequest& request) { return answer(request); });
    fs::create_directories(root_ / "home/Applications");
  }

  void TearDown() override {
    if (installer_) installer_->signal(SIGKILL);
    if (fs::exists(pidFile())) ::kill(std::stoi(testing::readFile(pidFile())), SIGKILL);
  }

  ScriptedResponse answer(const RecordedRequest& request) {
    if (request.method == "POST") {
      const auto event = nlohmann::json::parse(request.body);
      std::lock_guard lock(mutex_);
      events_.emplace_back(event.at("occurred_at"), event.at("event_name"));
      return ScriptedResponse::withStatus(202, nlohmann::json{{"event_id", event.at("event_id")},
                                                              {"accepted", true},
                                                              {"receipt", "durably_received"}}
                                                   .dump());
    }
    std::size_t from = 0;
    if (const auto range = request.header("Range")) from = std::stoull(range->substr(6));
    const std::string served = package();
    ScriptedResponse response =
        ScriptedResponse::withStatus(from == 0 ? 200 : 206, served.substr(from));
    if (from != 0) {
      response.headers = {{"Content-Range", "bytes " + std::to_string(from) + "-" +
                                                std::to_string(served.size() - 1) + "/" +
                                                std::to_string(served.size())}};
    }
    if (stalled_) {
      // A transfer that is under way for as long as the test needs: some bytes, then silence.
      response.ending = ScriptedResponse::Ending::stall;
      response.sendBytes = 4096;
    }
    return response;
  }

  // What the server hands out as the package; the server's threads read it while a test changes it.
  [[nodiscard]] std::string package() {
    std::lock_guard lock(mutex_);
    return served_;
  }
  void serve(std::string bytes) {
    std::lock_guard lock(mutex_);
    served_ = std::move(bytes);
  }

  void start(std::vector<std::string> arguments = {}) {
    arguments.insert(arguments.begin(), executable().string());
    installer_ =
        std::make_unique<testing::BackgroundProgram>(executable(), arguments, environment());
    window_ = display_.findWindow("Vexa Installer", 60);
    ASSERT_TRUE(window_) << "no installer window";
  }
  [[nodiscard]] testing::EnvironmentChanges environment() const {
    return {{"HOME", (root_ / "home").string()},
            {"XDG_CACHE_HOME", (root_ / "cache").string()},
            {"XDG_DATA_HOME", (root_ / "data").string()},
            {"DISPLAY", display_.name()},
            {"QT_QPA_PLATFORM", "xcb"},
            {"LANGUAGE", "en"},
            {"VEXA_FAKE_APPLICATION_PID_FILE", pidFile().string()}};
  }
  [[nodiscard]] fs::path executable() const { return bundle_ / "Contents/MacOS/VexaInstaller"; }
  [[nodiscard]] fs::path pidFile() const { return root_ / "product.pid"; }
  [[nodiscard]] fs::path installed() const { return root_ / "home/Applications/Vexa.app"; }
  [[nodiscard]] fs::path cacheFolder() const {
    return root_ / "cache" / (products_->configuration.appId + ".installer");
  }

  void key(const std::string& name) { display_.pressKey(*window_, name); }
  // Clicks at a point of the window (its coordinates are the layout's points).
  void click(int x, int y) {
    (void)testing::runProgram("/usr/bin/xdotool",
                              {"xdotool", "mousemove", "--window", *window_, std::to_string(x),
                               std::to_string(y), "click", "1"},
                              {{"DISPLAY", display_.name()}});
  }
  void clickCornerClose() { click(770, 27); }
  // The welcome screen takes Return only once the first check is over: press until it is taken.
  void pressInstallNow() {
    ASSERT_TRUE(waitUntil([&] {
      key("Return");
      return requests("GET") > 0;
    }));
  }

  // The events that reached the service, in the order they occurred (each is posted on its own,
  // so they may arrive in another).
  [[nodiscard]] std::vector<std::string> events() {
    std::lock_guard lock(mutex_);
    auto sorted = events_;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](auto& a, auto& b) { return a.first < b.first; });
    std::vector<std::string> names;
    for (auto& [at, name] : sorted) names.push_back(name);
    return names;
  }
  [[nodiscard]] bool recorded(const std::string& event) {
    const auto all = events();
    return std::find(all.begin(), all.end(), event) != all.end();
  }
  [[nodiscard]] std::size_t requests(const std::string& method) const {
    std::size_t count = 0;
    for (const auto& request : server_->requests()) count += request.method == method;
    return count;
  }
  [[nodiscard]] std::vector<RecordedRequest> downloads() const {
    std::vector<RecordedRequest> found;
    for (auto& request : server_->requests())
      if (request.method == "GET") found.push_back(request);
    return found;
  }
  [[nodiscard]] bool installerEnded() const { return reaped_ || processEnded(installer_->pid()); }
  int waitForExit() {
    const testing::ProgramResult result = installer_->wait();
    reaped_ = true;
    return result.exitStatus;
  }
  // The installed copy passes the exact check for `version`.
  [[nodiscard]] std::string installedVersion() const {
    return NativeInstaller::installedApplication(
               installed(), products_->configuration,
               {.tools = testing::TrustedToolset(root_ / "tools", products_->authority).tools()})
        ->version.version();
  }
  void installCopy(const fs::path& copy) {
    fs::copy(copy, installed(), fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  }

  static Products* products_;
  testing::TemporaryDirectory root_;
  const fs::path bundle_ = root_ / "VexaInstaller.app";
  testing::VirtualDisplay display_;
  std::unique_ptr<testing::HttpsTestServer> server_;
  std::unique_ptr<testing::BackgroundProgram> installer_;
  std::optional<std::string> window_;
  std::mutex mutex_;
  std::vector<std::pair<std::string, std::string>> events_;  // occurred at, name
  std::string served_;
  std::atomic<bool> stalled_ = false;
  bool reaped_ = false;
};

Products* InstallerScenarioTest::products_ = nullptr;

TEST_F(InstallerScenarioTest, FreshInstall_EndsWithTheOpenedApplication) {
  start({"--cid=spring-campaign"});
  pressInstallNow();
  ASSERT_TRUE(waitUntil([&] { return fs::exists(pidFile()); }))
      << "the application was never opened";
  EXPECT_EQ(waitForExit(), 0);
  EXPECT_EQ(installedVersion(), "1.4.0-beta.57");
  const std::string product = testing::readFile(pidFile());
  EXPECT_EQ(fs::read_symlink(fs::path("/proc") / product.substr(0, product.find('\n')) / "exe"),
            installed() / "Contents/MacOS/Vexa");
  ASSERT_TRUE(waitUntil([&] { return recorded("vexa_install_completed"); }));
  EXPECT_EQ(events(), (std::vector<std::string>{"vexa_downloader_open", "vexa_download_started",
                                                "vexa_download_completed", "vexa_install_started",
                                                "vexa_install_completed"}));
  EXPECT_FALSE(fs::exists(cacheFolder() / (products_->configuration.sha256 + ".dmg")));
}

TEST_F(InstallerScenarioTest, CloseDuringTheDownload_PausesAndContinueResumesWithARange) {
  stalled_ = true;
  start();
  pressInstallNow();
  // Some bytes are saved before the pause, so that continuing has something to resume from.
  const fs::path partial = cacheFolder() / (products_->configuration.sha256 + ".partial");
  ASSERT_TRUE(waitUntil([&] {
    std::error_code error;
    return fs::file_size(partial, error) > 0 && !error;
  }));
  // A click can come before the window takes pointer input; one more is harmless while the
  // transfer runs (a pause still pending records nothing more).
  ASSERT_TRUE(waitUntil([&] {
    clickCornerClose();
    return waitUntil([&] { return recorded("vexa_download_paused"); }, 1s);
  }));
  std::this_thread::sleep_for(500ms);
  EXPECT_FALSE(installerEnded());
  EXPECT_FALSE(recorded("vexa_download_failed"));
  stalled_ = false;
  // "Continue Download", once the failure screen that the pause leads to stands.
  ASSERT_TRUE(waitUntil([&] {
    key("Return");
    return requests("GET") == 2;
  }));
  ASSERT_TRUE(waitUntil([&] { return fs::exists(pidFile()); }));
  const auto gets = downloads();
  ASSERT_EQ(gets.size(), 2u);
  EXPECT_FALSE(gets[0].header("Range"));
  EXPECT_TRUE(gets[1].header("Range"));
  EXPECT_EQ(waitForExit(), 0);
}

TEST_F(InstallerScenarioTest, DamagedPackage_DiscardsTheCacheAndRetryDownloadsFromTheStart) {
  serve(std::string(products_->package.size(), 'x'));
  start();
  pressInstallNow();
  ASSERT_TRUE(waitUntil([&] { return recorded("vexa_install_failed"); }));
  EXPECT_FALSE(fs::exists(installed()));
  ASSERT_TRUE(waitUntil([&] {
    return fs::is_empty(cacheFolder()) ||
           !fs::exists(cacheFolder() / (products_->configuration.sha256 + ".dmg"));
  }));
  serve(products_->package);
  // "Retry" until the application opens: a Return left over from pressing "Install Now" may have
  // retried once already, with the damaged bytes.
  ASSERT_TRUE(waitUntil([&] {
    if (!fs::exists(pidFile())) key("Return");
    return fs::exists(pidFile());
  }));
  const auto gets = downloads();
  ASSERT_GE(gets.size(), 2u);
  for (std::size_t retry = 1; retry < gets.size(); ++retry) {
    EXPECT_FALSE(gets[retry].header("Range"))
        << "a retry after a damaged package starts from the first byte";
  }
  EXPECT_EQ(installedVersion(), "1.4.0-beta.57");
}

TEST_F(InstallerScenarioTest, NewerCopy_IsOfferedFirstAndInstallAnywayReplacesIt) {
  installCopy(products_->newer);
  start();
  // The newer-application screen: "Install Anyway" is the secondary button.
  ASSERT_TRUE(waitUntil([&] {
    click(400, 519);
    return requests("GET") > 0;
  }));
  ASSERT_TRUE(waitUntil([&] { return fs::exists(pidFile()); }));
  EXPECT_EQ(installedVersion(), "1.4.0-beta.57");
  EXPECT_EQ(waitForExit(), 0);
}

TEST_F(InstallerScenarioTest, RunningProduct_QuitNowLetsTheInstallationContinue) {
  installCopy(products_->older);
  testing::BackgroundProgram product(installed() / "Contents/MacOS/Vexa",
                                     {(installed() / "Contents/MacOS/Vexa").string()});
  ASSERT_EQ(product.readLine(), "ready");
  start();
  pressInstallNow();
  // The installation meets the running product and shows the application-running screen.
  ASSERT_TRUE(waitUntil([&] { return recorded("vexa_install_started"); }));
  ASSERT_TRUE(waitUntil([&] {
    key("Return");  // "Quit Now", once the application-running screen stands
    return processEnded(product.pid());
  }));
  EXPECT_FALSE(recorded("vexa_install_failed"));
  EXPECT_EQ(product.wait().exitStatus, 0) << "the product got the polite request";
  ASSERT_TRUE(waitUntil([&] { return fs::exists(pidFile()); }));
  EXPECT_EQ(installedVersion(), "1.4.0-beta.57");
  EXPECT_EQ(waitForExit(), 0);
}

TEST_F(InstallerScenarioTest, QuitRequests_PauseTheDownloadThenEndTheFailureScreen) {
  stalled_ = true;
  start();
  pressInstallNow();
  ASSERT_TRUE(waitUntil(
      [&] { return fs::exists(cacheFolder() / (products_->configuration.sha256 + ".partial")); }));
  installer_->signal(SIGTERM);
  ASSERT_TRUE(waitUntil([&] { return recorded("vexa_download_paused"); }));
  std::this_thread::sleep_for(500ms);
  EXPECT_FALSE(installerEnded()) << "a quit request during the download only pauses it";
  // On the failure screen nothing runs: the next request ends the installer.
  installer_->signal(SIGTERM);
  EXPECT_EQ(waitForExit(), 0);
  EXPECT_FALSE(recorded("vexa_download_failed"));
}

TEST_F(InstallerScenarioTest, QuitRequest_OnTheWelcomeScreenEndsTheInstaller) {
  start();
  // Refused while the first check runs, granted once the welcome screen stands. A granted request
  // ends the process with status 0; a signal sent while it is already ending would end it anyway,
  // so each request gets time to take effect.
  ASSERT_TRUE(waitUntil([&] {
    installer_->signal(SIGTERM);
    return waitUntil([&] { return installerEnded(); }, 5s);
  }));
  EXPECT_EQ(waitForExit(), 0);
  EXPECT_EQ(requests("GET"), 0u);
}

TEST_F(InstallerScenarioTest, SecondInstallerAndCornerClose_OneAtATimeAndCloseEndsIt) {
  start();
  const testing::ProgramResult second =
      testing::runProgram(executable(), {executable().string()}, [&] {
        auto changes = environment();
        changes["QT_QPA_PLATFORM"] = "offscreen";
        return changes;
      }());
  EXPECT_EQ(second.exitStatus, 0);
  EXPECT_NE(second.standardError.find("Could not start the Vexa installer"), std::string::npos)
      << second.standardError;
  ASSERT_TRUE(waitUntil([&] {
    clickCornerClose();
    return installerEnded();
  }));
  EXPECT_EQ(waitForExit(), 0);
  EXPECT_EQ(requests("GET"), 0u);
}

}  // namespace
}  // namespace vexa
