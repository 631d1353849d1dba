// The real installer bundle in a real window (a private Xvfb), driven as a person would: keys and
// clicks through xdotool, the product served over HTTPS by a scripted server on the loopback port
// this build routes the deployment hosts to, telemetry answered with durable receipts, and the
// installed application started for real. scripts/test builds the suite with that routing; a
// build without it skips these scenarios.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
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
  const std::string_view first =
      DeploymentSettings::connectTo.substr(0, DeploymentSettings::connectTo.find(','));
  if (first.empty() || DeploymentSettings::extraCaFile.empty()) return 0;
  return static_cast<std::uint16_t>(std::stoi(std::string(first.substr(first.rfind(':') + 1))));
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
    const auto makeSigned = [&](const fs::path& bundle, const char* version, const char* build) {
      BundleLayout layout;
      layout.shortVersion = version, layout.buildText = build;
      builder.makeBundle(bundle, layout);
      builder.sign(bundle, authority, configuration.teamId);
    };
    makeSigned(folder / "volume" / "Vexa.app", "1.4.0-beta.57", "57");
    builder.makeImage(folder / "volume", folder / "package.dmg");
    package = testing::readFile(folder / "package.dmg");
    configuration = testing::withPackage(configuration, static_cast<std::int64_t>(package.size()),
                                         testing::referenceSha256(package));
    makeSigned(newer = folder / "newer" / "Vexa.app", "1.5.0", "60");
    makeSigned(older = folder / "older" / "Vexa.app", "1.3.0", "40");
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
    server_ = std::make_unique<testing::HttpsTestServer>(products_->authority, scenarioPort());
    server_->setHandler([this](const RecordedRequest& request) { return answer(request); });
    fs::create_directories(root_ / "home/Applications");
  }

  void TearDown() override {
    if (installer_) installer_->signal(SIGKILL);
    if (fs::exists(pidFile())) ::kill(std::stoi(testing::readFile(pidFile())), SIGKILL);
  }

  ScriptedResponse answer(const RecordedRequest& request) {
    std::lock_guard lock(mutex_);
    if (request.method == "POST") {
      const auto event = nlohmann::json::parse(request.body);
      events_.emplace(event.at("occurred_at"), event.at("event_name"));
      return ScriptedResponse::withStatus(202, nlohmann::json{{"event_id", event.at("event_id")},
                                                              {"accepted", true},
                                                              {"receipt", "durably_received"}}
                                                   .dump());
    }
    gets_.push_back(request);
    std::size_t from = 0;
    if (const auto range = request.header("Range")) from = std::stoull(range->substr(6));
    const std::string served =
        damaged_ ? std::string(products_->package.size(), 'x') : products_->package;
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
      return !downloads().empty();
    }));
  }
  // The installer opened the installed application (a real process running the installed copy),
  // which passes the exact check for the configured version, and ended with status 0.
  void expectOpened() {
    ASSERT_TRUE(waitUntil([&] { return fs::exists(pidFile()); })) << "never opened";
    EXPECT_EQ(waitForExit(), 0);
    const std::string product = testing::readFile(pidFile());
    EXPECT_EQ(fs::read_symlink(fs::path("/proc") / product.substr(0, product.find('\n')) / "exe"),
              installed() / "Contents/MacOS/Vexa");
    EXPECT_EQ(NativeInstaller::installedApplication(
                  installed(), products_->configuration,
                  {.tools = testing::TrustedToolset(root_ / "tools", products_->authority).tools()})
                  ->version.version(),
              "1.4.0-beta.57");
  }

  // The events that reached the service, in the order they occurred (each is posted on its own,
  // so they may arrive in another).
  [[nodiscard]] std::vector<std::string> events() {
    std::lock_guard lock(mutex_);
    std::vector<std::string> names;
    for (auto& [at, name] : events_) names.push_back(name);
    return names;
  }
  [[nodiscard]] bool recorded(const std::string& event) {
    return std::ranges::count(events(), event) > 0;
  }
  [[nodiscard]] std::vector<RecordedRequest> downloads() {
    std::lock_guard lock(mutex_);
    return gets_;
  }
  [[nodiscard]] bool installerEnded() const { return reaped_ || processEnded(installer_->pid()); }
  int waitForExit() {
    const testing::ProgramResult result = installer_->wait();
    reaped_ = true;
    return result.exitStatus;
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
  std::multimap<std::string, std::string> events_;  // occurred at, name; equal times kept in order
  std::vector<RecordedRequest> gets_;
  std::atomic<bool> stalled_ = false, damaged_ = false;
  bool reaped_ = false;
};

Products* InstallerScenarioTest::products_ = nullptr;

// Given an older copy that is running, the installation asks it to quit ("Quit Now") and goes on.
TEST_F(InstallerScenarioTest, RunningOlderCopy_QuitNowThenInstallsAndOpens) {
  installCopy(products_->older);
  testing::BackgroundProgram product(installed() / "Contents/MacOS/Vexa",
                                     {(installed() / "Contents/MacOS/Vexa").string()});
  ASSERT_EQ(product.readLine(), "ready");
  ASSERT_NO_FATAL_FAILURE(start({"--cid=spring-campaign"}));
  pressInstallNow();
  ASSERT_TRUE(waitUntil([&] { return recorded("vexa_install_started"); }));
  ASSERT_TRUE(waitUntil([&] {
    key("Return");  // "Quit Now", once the application-running screen stands
    return processEnded(product.pid());
  }));
  EXPECT_EQ(product.wait().exitStatus, 0) << "the product got the polite request";
  expectOpened();
  ASSERT_TRUE(waitUntil([&] { return recorded("vexa_install_completed"); }));
  EXPECT_EQ(events(), (std::vector<std::string>{"vexa_downloader_open", "vexa_download_started",
                                                "vexa_download_completed", "vexa_install_started",
                                                "vexa_install_started", "vexa_install_completed"}));
  EXPECT_FALSE(fs::exists(cacheFolder() / (products_->configuration.sha256 + ".dmg")));
}

TEST_F(InstallerScenarioTest, CloseDuringTheDownload_PausesAndContinueResumesWithARange) {
  stalled_ = true;
  ASSERT_NO_FATAL_FAILURE(start());
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
  stalled_ = false;
  // "Continue Download", once the failure screen that the pause leads to stands.
  ASSERT_TRUE(waitUntil([&] {
    key("Return");
    return downloads().size() == 2;
  }));
  expectOpened();
  EXPECT_FALSE(downloads()[0].header("Range"));
  EXPECT_TRUE(downloads()[1].header("Range"));
  EXPECT_FALSE(recorded("vexa_download_failed"));
}

TEST_F(InstallerScenarioTest, DamagedPackage_DiscardsTheCacheAndRetryDownloadsFromTheStart) {
  damaged_ = true;
  ASSERT_NO_FATAL_FAILURE(start());
  pressInstallNow();
  ASSERT_TRUE(waitUntil([&] { return recorded("vexa_install_failed"); }));
  EXPECT_FALSE(fs::exists(installed()));
  ASSERT_TRUE(waitUntil(
      [&] { return !fs::exists(cacheFolder() / (products_->configuration.sha256 + ".dmg")); }));
  damaged_ = false;
  // "Retry" until the application opens: a Return left over from pressing "Install Now" may have
  // retried once already, with the damaged bytes.
  ASSERT_TRUE(waitUntil([&] {
    if (!fs::exists(pidFile())) key("Return");
    return fs::exists(pidFile());
  }));
  expectOpened();
  const auto gets = downloads();
  ASSERT_GE(gets.size(), 2u);
  for (std::size_t retry = 1; retry < gets.size(); ++retry)
    EXPECT_FALSE(gets[retry].header("Range")) << "a retry starts from the first byte";
}

TEST_F(InstallerScenarioTest, NewerCopy_IsOfferedFirstAndInstallAnywayReplacesIt) {
  installCopy(products_->newer);
  ASSERT_NO_FATAL_FAILURE(start());
  // The newer-application screen: "Install Anyway" is the secondary button.
  ASSERT_TRUE(waitUntil([&] {
    click(400, 519);
    return !downloads().empty();
  }));
  expectOpened();
}

// A quit request during the download only pauses it; on the failure screen the corner close ends
// the installer.
TEST_F(InstallerScenarioTest, QuitRequest_PausesTheDownloadThenCornerCloseEnds) {
  stalled_ = true;
  ASSERT_NO_FATAL_FAILURE(start());
  pressInstallNow();
  ASSERT_TRUE(waitUntil(
      [&] { return fs::exists(cacheFolder() / (products_->configuration.sha256 + ".partial")); }));
  installer_->signal(SIGTERM);
  ASSERT_TRUE(waitUntil([&] { return recorded("vexa_download_paused"); }));
  std::this_thread::sleep_for(500ms);
  EXPECT_FALSE(installerEnded());
  ASSERT_TRUE(waitUntil([&] {
    clickCornerClose();
    return waitUntil([&] { return installerEnded(); }, 2s);
  }));
  EXPECT_EQ(waitForExit(), 0);
  EXPECT_FALSE(recorded("vexa_download_failed"));
}

// A second installer is refused while the first runs; a quit request is refused while the first
// check runs and granted once the welcome screen stands.
TEST_F(InstallerScenarioTest, SecondInstallerRefusedAndQuitRequestEndsTheWelcome) {
  ASSERT_NO_FATAL_FAILURE(start());
  testing::EnvironmentChanges offscreen = environment();
  offscreen["QT_QPA_PLATFORM"] = "offscreen";
  const testing::ProgramResult second =
      testing::runProgram(executable(), {executable().string()}, offscreen);
  EXPECT_EQ(second.exitStatus, 0);
  EXPECT_NE(second.standardError.find("Could not start the Vexa installer"), std::string::npos)
      << second.standardError;
  // A signal sent while a granted request is already ending the process would end it anyway, so
  // each request gets time to take effect.
  ASSERT_TRUE(waitUntil([&] {
    installer_->signal(SIGTERM);
    return waitUntil([&] { return installerEnded(); }, 5s);
  }));
  EXPECT_EQ(waitForExit(), 0);
  EXPECT_TRUE(downloads().empty());
}

}  // namespace
}  // namespace vexa
