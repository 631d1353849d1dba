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
using testing::RecordedRequest;
using testing::ScriptedResponse;
using testing::waitUntil;

// The loopback port of the build's first connect-to entry ("host:443:127.0.0.1:PORT,..."); 0 when
// the build routes nothing.
std::uint16_t scenarioPort() {
  const std::string_view first =
      DeploymentSettings::connectTo.substr(0, DeploymentSettings::connectTo.find(','));
  if (first.empty() || DeploymentSettings::extraCaFile.empty()) return 0;
  return static_cast<std::uint16_t>(std::stoi(std::string(first.substr(first.rfind(':') + 1))));
}

class InstallerScenarioTest : public ::testing::Test {
 protected:
  // One authority signs the products and the TLS server; the package holds Vexa 1.4.0-beta.57.
  void SetUp() override {
    if (scenarioPort() == 0) GTEST_SKIP() << "this build routes no deployment host to loopback";
    makeSigned(root_ / "volume/Vexa.app", "1.4.0-beta.57", "57");
    testing::makeImage(root_ / "volume", root_ / "package.dmg");
    package_ = testing::readFile(root_ / "package.dmg");
    configuration_ =
        testing::withPackage(configuration_, static_cast<std::int64_t>(package_.size()),
                             testing::referenceSha256(package_));
    fs::copy(VEXA_BUNDLE_DIR, bundle_,
             fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    testing::writeFile(bundle_ / "Contents/Resources/configuration.json", configuration_.encode());
    authority_.writeCertificate(bundle_ / "Contents/Resources/code-signing-anchor.pem");
    authority_.writeCertificate(std::string(DeploymentSettings::extraCaFile));
    server_ = std::make_unique<testing::HttpsTestServer>(authority_, scenarioPort());
    server_->setHandler([this](const RecordedRequest& request) { return answer(request); });
    fs::create_directories(root_ / "home/Applications");
  }
  void makeSigned(const fs::path& bundle, const char* version, const char* build) {
    testing::makeBundle(bundle, {.shortVersion = version, .buildText = build});
    testing::signBundle(bundle, authority_, configuration_.teamId);
  }

  void TearDown() override {
    ending_ = true;
    if (fs::exists(pidFile())) ::kill(std::stoi(testing::readFile(pidFile())), SIGKILL);
  }

  ScriptedResponse answer(const RecordedRequest& request) {
    if (request.method == "POST") {
      const auto event = nlohmann::json::parse(request.body);
      if (telemetryHangs_) {
        // Taken, never answered: the connection stays silent until the test ends.
        while (!ending_) std::this_thread::sleep_for(50ms);
        return ScriptedResponse::withStatus(503);
      }
      const std::lock_guard lock(receiptsMutex_);
      ++receipts_[event.at("event_id")];
      return ScriptedResponse::withStatus(202, nlohmann::json{{"event_id", event.at("event_id")},
                                                              {"accepted", true},
                                                              {"receipt", "durably_received"}}
                                                   .dump());
    }
    const std::string served = damaged_ ? std::string(package_.size(), 'x') : package_;
    const auto range = request.header("Range");
    const std::size_t from = range ? std::stoull(range->substr(6)) : 0;
    ScriptedResponse response =
        ScriptedResponse::withStatus(range ? 206 : 200, served.substr(from));
    if (range) {
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
    const fs::path executable = bundle_ / "Contents/MacOS/VexaInstaller";
    arguments.insert(arguments.begin(), executable.string());
    installer_ = std::make_unique<testing::BackgroundProgram>(
        executable, arguments,
        testing::EnvironmentChanges{{"HOME", (root_ / "home").string()},
                                    {"XDG_CACHE_HOME", (root_ / "cache").string()},
                                    {"XDG_DATA_HOME", (root_ / "data").string()},
                                    {"DISPLAY", display_.name()},
                                    {"QT_QPA_PLATFORM", "xcb"},
                                    {"LANGUAGE", "en"},
                                    {"VEXA_FAKE_APPLICATION_PID_FILE", pidFile().string()}});
    window_ = display_.findWindow("Vexa Installer", 60);
    ASSERT_TRUE(window_) << "no installer window";
  }
  [[nodiscard]] fs::path pidFile() const { return root_ / "product.pid"; }
  [[nodiscard]] fs::path installed() const { return root_ / "home/Applications/Vexa.app"; }
  [[nodiscard]] fs::path cacheFolder() const {
    return root_ / "cache" / (configuration_.appId + ".installer");
  }

  void key(const std::string& name) {
    (void)display_.xdotool({"windowfocus", "--sync", *window_, "key", name});
  }
  // At a point of the window, in the layout's points.
  void click(int x, int y) {
    (void)display_.xdotool(
        {"mousemove", "--window", *window_, std::to_string(x), std::to_string(y), "click", "1"});
  }
  // The welcome screen takes Return only once the first check is over: press until it is taken.
  void pressInstallNow() {
    ASSERT_TRUE(waitUntil([&] {
      key("Return");
      return !downloads().empty();
    }));
  }
  // The installer opened the installed application (a real process running the installed copy of
  // the configured version) and ended with status 0.
  void expectOpened() {
    ASSERT_TRUE(waitUntil([&] { return fs::exists(pidFile()); })) << "never opened";
    EXPECT_EQ(installer_->wait().exitStatus, 0);
    const std::string product = testing::readFile(pidFile());
    EXPECT_EQ(fs::read_symlink(fs::path("/proc") / product.substr(0, product.find('\n')) / "exe"),
              installed() / "Contents/MacOS/Vexa");
    EXPECT_EQ(NativeInstaller::metadata(installed()).at("CFBundleShortVersionString").text(),
              "1.4.0-beta.57");
  }

  // How many times the service received `event`.
  [[nodiscard]] long recorded(const std::string& event) const {
    return std::ranges::count_if(server_->requests(), [&](const RecordedRequest& request) {
      return request.method == "POST" && nlohmann::json::parse(request.body)["event_name"] == event;
    });
  }
  [[nodiscard]] std::vector<RecordedRequest> downloads() const {
    std::vector<RecordedRequest> gets = server_->requests();
    std::erase_if(gets, [](const RecordedRequest& request) { return request.method != "GET"; });
    return gets;
  }

  testing::TemporaryDirectory root_;
  testing::TestCertificateAuthority authority_{"Vexa Scenario Authority"};
  InstallConfiguration configuration_ = testing::validProductionConfiguration();
  std::string package_;
  const fs::path bundle_ = root_ / "VexaInstaller.app";
  testing::VirtualDisplay display_;
  std::unique_ptr<testing::HttpsTestServer> server_;
  std::unique_ptr<testing::BackgroundProgram> installer_;
  std::optional<std::string> window_;
  std::atomic<bool> stalled_ = false, damaged_ = false, telemetryHangs_ = false, ending_ = false;
  std::mutex receiptsMutex_;
  std::map<std::string, int> receipts_;  // durable receipts given, by event id
};

// Given a newer copy that is running, "Install Anyway" (the newer-application screen's secondary
// button) replaces it: the installation asks it to quit ("Quit Now") and goes on.
TEST_F(InstallerScenarioTest, RunningNewerCopy_InstallAnywayQuitNowThenInstallsAndOpens) {
  makeSigned(installed(), "1.5.0", "60");
  testing::BackgroundProgram product(installed() / "Contents/MacOS/Vexa",
                                     {(installed() / "Contents/MacOS/Vexa").string()});
  ASSERT_EQ(product.readLine(), "ready");
  ASSERT_NO_FATAL_FAILURE(start({"--cid=spring-campaign"}));
  ASSERT_TRUE(waitUntil([&] {
    click(400, 519);
    return !downloads().empty();
  }));
  ASSERT_TRUE(waitUntil([&] { return recorded("vexa_install_started") > 0; }));
  ASSERT_TRUE(waitUntil([&] {
    key("Return");  // "Quit Now", once the application-running screen stands
    return product.hasEnded();
  }));
  EXPECT_EQ(product.wait().exitStatus, 0) << "the product got the polite request";
  expectOpened();
  ASSERT_TRUE(waitUntil([&] { return recorded("vexa_install_completed") > 0; }));
  EXPECT_EQ(recorded("vexa_install_started"), 2);  // the second after the product quit
  EXPECT_FALSE(fs::exists(cacheFolder() / (configuration_.sha256 + ".dmg")));
}

// Both the corner close and a quit request only pause a running download; "Continue Download"
// resumes it from the saved bytes each time. The resumed package is damaged: it is discarded, and
// "Retry" downloads it again from the first byte, installs and opens it.
TEST_F(InstallerScenarioTest, DamagedDownload_PausesResumesThenRetryStartsOver) {
  stalled_ = true, damaged_ = true;
  ASSERT_NO_FATAL_FAILURE(start());
  pressInstallNow();
  // Some bytes are saved before the pause, so that continuing has something to resume from.
  const fs::path partial = cacheFolder() / (configuration_.sha256 + ".partial");
  ASSERT_TRUE(waitUntil([&] { return fs::exists(partial) && !fs::is_empty(partial); }));
  // A click can come before the window takes pointer input; one more is harmless while the
  // transfer runs (a pause still pending records nothing more).
  ASSERT_TRUE(waitUntil([&] {
    click(770, 27);  // the corner close
    return waitUntil([&] { return recorded("vexa_download_paused") > 0; }, 1s);
  }));
  // "Continue Download", once the failure screen that the pause leads to stands.
  const auto continueUntilRequest = [&](std::size_t count) {
    return waitUntil([&] {
      key("Return");
      return downloads().size() >= count;
    });
  };
  ASSERT_TRUE(continueUntilRequest(2));
  installer_->signal(SIGTERM);
  ASSERT_TRUE(waitUntil([&] { return recorded("vexa_download_paused") == 2; }));
  std::this_thread::sleep_for(500ms);
  EXPECT_FALSE(installer_->hasEnded());
  stalled_ = false;
  ASSERT_TRUE(continueUntilRequest(3));
  ASSERT_TRUE(waitUntil([&] { return recorded("vexa_install_failed") > 0; }));
  EXPECT_FALSE(fs::exists(installed()));
  ASSERT_TRUE(
      waitUntil([&] { return !fs::exists(cacheFolder() / (configuration_.sha256 + ".dmg")); }));
  damaged_ = false;
  // "Retry" until the application opens: a Return left over from continuing may have retried
  // once already, with the damaged bytes.
  ASSERT_TRUE(waitUntil([&] {
    if (!fs::exists(pidFile())) key("Return");
    return fs::exists(pidFile());
  }));
  expectOpened();
  const auto gets = downloads();
  ASSERT_GE(gets.size(), 4u);
  for (std::size_t get = 0; get < gets.size(); ++get)
    EXPECT_EQ(gets[get].header("Range").has_value(), get == 1 || get == 2) << get;
  EXPECT_FALSE(recorded("vexa_download_failed"));
}

// Closing the window lets the single-instance lock go at once, while the first installer still
// waits for a receipt the service never gives: a second one started right away opens its window,
// and the first one's event is delivered by one of the two, once; no event file is left.
TEST_F(InstallerScenarioTest, ClosedWhileTelemetryHangs_NextStartsAtOnceAndDeliversOnce) {
  telemetryHangs_ = true;
  ASSERT_NO_FATAL_FAILURE(start());
  ASSERT_TRUE(waitUntil([&] { return recorded("vexa_downloader_open") == 1; }));
  const std::string first = nlohmann::json::parse(server_->requests().at(0).body)["event_id"];
  // The corner close, once the welcome stands (closing is refused while checking).
  ASSERT_TRUE(waitUntil([&] {
    click(770, 27);
    return !display_.xdotool({"search", "--name", "^Vexa Installer$"}, 2);
  }));
  const std::unique_ptr<testing::BackgroundProgram> closed = std::move(installer_);
  telemetryHangs_ = false;
  ASSERT_NO_FATAL_FAILURE(start());
  EXPECT_EQ(display_.xdotool({"getwindowname", *window_}), "Vexa Installer");  // not the alert

  const fs::path events = root_ / "data/Vexa/Attribution/events";
  const auto waiting = [&] {
    return std::ranges::count_if(fs::directory_iterator(events), [](const auto& entry) {
      return entry.path().extension() == ".json";
    });
  };
  ASSERT_TRUE(waitUntil([&] { return closed->hasEnded() && waiting() == 0; }));
  EXPECT_EQ(closed->wait().exitStatus, 0);
  ASSERT_TRUE(waitUntil([&] {
    click(770, 27);
    return installer_->hasEnded();
  }));
  EXPECT_EQ(installer_->wait().exitStatus, 0);
  const std::lock_guard lock(receiptsMutex_);
  EXPECT_EQ(receipts_[first], 1);
  EXPECT_EQ(receipts_.size(), 2u);  // the second installer's own opening too
  for (const auto& [event, count] : receipts_) EXPECT_EQ(count, 1) << event;
}

}  // namespace
}  // namespace vexa
