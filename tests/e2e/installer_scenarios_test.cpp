// The real installer bundle in a real window (a private Xvfb), driven as a person would: keys and
// clicks through xdotool, the product served over HTTPS by a scripted server on the loopback port
// this build routes the deployment hosts to, telemetry answered with durable receipts, and the
// installed application started for real. scripts/test builds the suite with that routing; a
// build without it skips these scenarios.
#include <gtest/gtest.h>
#include <signal.h>

#include <sys/wait.h>

#include <algorithm>
#include <chrono>
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

// The child has ended; it stays to be reaped.
bool processEnded(pid_t pid) {
  siginfo_t info{};
  return ::waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 60s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(100ms);
  }
  return true;
}

class InstallerScenarioTest : public ::testing::Test {
 protected:
  // One authority signs the products and the TLS server: the configured package's Vexa
  // 1.4.0-beta.57 and the installed, newer 1.5.0. The server confirms every event and answers
  // any other request with the package.
  void SetUp() override {
    if (scenarioPort() == 0) GTEST_SKIP() << "this build routes no deployment host to loopback";
    const testing::PackageBuilder builder;
    const auto makeSigned = [&](const fs::path& bundle, const char* version, const char* build) {
      BundleLayout layout;
      layout.shortVersion = version, layout.buildText = build;
      builder.makeBundle(bundle, layout);
      builder.sign(bundle, authority_, configuration_.teamId);
    };
    makeSigned(root_ / "volume/Vexa.app", "1.4.0-beta.57", "57");
    builder.makeImage(root_ / "volume", root_ / "package.dmg");
    package_ = testing::readFile(root_ / "package.dmg");
    configuration_ =
        testing::withPackage(configuration_, static_cast<std::int64_t>(package_.size()),
                             testing::referenceSha256(package_));
    makeSigned(installed(), "1.5.0", "60");
    fs::copy(VEXA_BUNDLE_DIR, bundle_,
             fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    testing::writeFile(bundle_ / "Contents/Resources/configuration.json", configuration_.encode());
    authority_.writeCertificate(bundle_ / "Contents/Resources/code-signing-anchor.pem");
    authority_.writeCertificate(std::string(DeploymentSettings::extraCaFile));
    server_ = std::make_unique<testing::HttpsTestServer>(authority_, scenarioPort());
    server_->setHandler([this](const RecordedRequest& request) {
      if (request.method != "POST") return ScriptedResponse::withStatus(200, package_);
      const auto event = nlohmann::json::parse(request.body);
      return ScriptedResponse::withStatus(202, nlohmann::json{{"event_id", event.at("event_id")},
                                                              {"accepted", true},
                                                              {"receipt", "durably_received"}}
                                                   .dump());
    });
  }

  void TearDown() override {
    if (installer_) installer_->signal(SIGKILL);
    if (fs::exists(pidFile())) ::kill(std::stoi(testing::readFile(pidFile())), SIGKILL);
  }

  [[nodiscard]] fs::path pidFile() const { return root_ / "product.pid"; }
  [[nodiscard]] fs::path installed() const { return root_ / "home/Applications/Vexa.app"; }
  [[nodiscard]] long recorded(const std::string& event) const {
    return std::ranges::count_if(server_->requests(), [&](const RecordedRequest& request) {
      return request.method == "POST" && nlohmann::json::parse(request.body)["event_name"] == event;
    });
  }

  testing::TemporaryDirectory root_;
  testing::TestCertificateAuthority authority_{"Vexa Scenario Authority"};
  InstallConfiguration configuration_ = testing::validProductionConfiguration();
  std::string package_;
  const fs::path bundle_ = root_ / "VexaInstaller.app";
  testing::VirtualDisplay display_;
  std::unique_ptr<testing::HttpsTestServer> server_;
  std::unique_ptr<testing::BackgroundProgram> installer_;
};

// Given a newer copy that is running, "Install Anyway" (the newer-application screen's secondary
// button) replaces it: the installation asks it to quit ("Quit Now"), installs, leaves no package
// in the cache and opens the new copy, a real process that passes the exact version check.
TEST_F(InstallerScenarioTest, RunningNewerCopy_InstallAnywayQuitNowThenInstallsAndOpens) {
  testing::BackgroundProgram product(installed() / "Contents/MacOS/Vexa",
                                     {(installed() / "Contents/MacOS/Vexa").string()});
  ASSERT_EQ(product.readLine(), "ready");
  const fs::path executable = bundle_ / "Contents/MacOS/VexaInstaller";
  installer_ = std::make_unique<testing::BackgroundProgram>(
      executable, std::vector<std::string>{executable.string(), "--cid=spring-campaign"},
      testing::EnvironmentChanges{{"HOME", (root_ / "home").string()},
                                  {"XDG_CACHE_HOME", (root_ / "cache").string()},
                                  {"XDG_DATA_HOME", (root_ / "data").string()},
                                  {"DISPLAY", display_.name()},
                                  {"QT_QPA_PLATFORM", "xcb"},
                                  {"LANGUAGE", "en"},
                                  {"VEXA_FAKE_APPLICATION_PID_FILE", pidFile().string()}});
  const std::optional<std::string> window = display_.findWindow("Vexa Installer", 60);
  ASSERT_TRUE(window) << "no installer window";
  // A click can come before the window takes pointer input: click until the download starts.
  ASSERT_TRUE(waitUntil([&] {
    display_.xdotool({"mousemove", "--window", *window, "400", "519", "click", "1"});
    return recorded("vexa_download_started") > 0;
  }));
  ASSERT_TRUE(waitUntil([&] { return recorded("vexa_install_started") > 0; }));
  ASSERT_TRUE(waitUntil([&] {
    // "Quit Now", once the application-running screen stands
    display_.xdotool({"windowfocus", "--sync", *window, "key", "Return"});
    return processEnded(product.pid());
  }));
  EXPECT_EQ(product.wait().exitStatus, 0) << "the product got the polite request";
  ASSERT_TRUE(waitUntil([&] { return fs::exists(pidFile()); })) << "never opened";
  EXPECT_EQ(installer_->wait().exitStatus, 0);
  const std::string opened = testing::readFile(pidFile());
  EXPECT_EQ(fs::read_symlink(fs::path("/proc") / opened.substr(0, opened.find('\n')) / "exe"),
            installed() / "Contents/MacOS/Vexa");
  EXPECT_EQ(NativeInstaller::installedApplication(
                installed(), configuration_,
                {.tools = testing::TrustedToolset(root_ / "tools", authority_).tools()})
                ->version.version(),
            "1.4.0-beta.57");
  ASSERT_TRUE(waitUntil([&] { return recorded("vexa_install_completed") > 0; }));
  EXPECT_FALSE(fs::exists(root_ / "cache" / (configuration_.appId + ".installer") /
                          (configuration_.sha256 + ".dmg")));
}

}  // namespace
}  // namespace vexa
