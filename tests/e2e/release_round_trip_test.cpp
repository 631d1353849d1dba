// The publisher's road, end to end: a signed product package goes through vexa-release configure,
// check-url (against the download host this build routes to loopback) and stamp, and the stamped
// installer then installs and opens that package in a real window. Builds without the loopback
// routing skip it, as they skip the installer scenarios.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>

#include "install/bundle_verification.h"
#include "platform/deployment_settings.h"
#include "tests/support/configuration_samples.h"
#include "tests/support/package_builder.h"
#include "tests/support/package_service.h"
#include "tests/support/program_run.h"
#include "tests/support/temporary_directory.h"
#include "tests/support/virtual_display.h"

namespace vexa {
namespace {

namespace fs = std::filesystem;

TEST(ReleaseRoundTrip, ConfiguredCheckedStampedInstaller_InstallsThePackage) {
  const std::string_view routes = DeploymentSettings::connectTo;
  if (routes.empty() || DeploymentSettings::extraCaFile.empty()) {
    GTEST_SKIP() << "this build routes no deployment host to loopback";
  }
  const std::string_view first = routes.substr(0, routes.find(','));
  const auto port =
      static_cast<std::uint16_t>(std::stoi(std::string(first.substr(first.rfind(':') + 1))));
  testing::TemporaryDirectory root;
  testing::TestCertificateAuthority authority("Vexa Release Authority");
  testing::makeBundle(root / "volume/Vexa.app");
  testing::signBundle(root / "volume/Vexa.app", authority, "QX7RZ2M4KD");
  testing::makeImage(root / "volume", root / "package.dmg");
  // The installer as built, trusting the test authority for signatures and for TLS.
  fs::copy(VEXA_BUNDLE_DIR, root / "VexaInstaller.app",
           fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  authority.writeCertificate(root / "VexaInstaller.app/Contents/Resources/code-signing-anchor.pem");
  authority.writeCertificate(std::string(DeploymentSettings::extraCaFile));
  const std::string package = testing::readFile(root / "package.dmg");
  testing::HttpsTestServer server(authority, port);
  server.setHandler([&](const testing::RecordedRequest& request) {
    return testing::servePackage(package, request);
  });

  const fs::path tool = fs::path(VEXA_BUNDLE_DIR).parent_path() / "vexa-release";
  const InstallConfiguration sample = testing::validProductionConfiguration();
  const auto release = [&](const std::vector<std::string>& arguments) {
    std::vector<std::string> argv = {tool.string()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const testing::ProgramResult result = testing::runProgram(tool, argv);
    EXPECT_EQ(result.exitStatus, 0) << result.standardOutput << result.standardError;
    return result.exitStatus == 0;
  };
  const std::string configuration = (root / "configuration.json").string();
  ASSERT_TRUE(
      release({"configure", (root / "package.dmg").string(), "--url", sample.installerURL.text(),
               "--environment", "production", "--ring", "beta", "--git-sha", sample.gitSha,
               "--installer", (root / "VexaInstaller.app").string(), "--out", configuration}));
  ASSERT_TRUE(release({"check-url", configuration, "--package", (root / "package.dmg").string()}));
  ASSERT_TRUE(release({"stamp", (root / "VexaInstaller.app").string(), configuration, "--out",
                       (root / "stamped").string()}));

  testing::VirtualDisplay display;
  fs::create_directories(root / "home/Applications");
  const fs::path installer = root / "stamped/VexaInstaller.app/Contents/MacOS/VexaInstaller";
  testing::BackgroundProgram running(
      installer, {installer.string()},
      {{"HOME", (root / "home").string()},
       {"XDG_CACHE_HOME", (root / "cache").string()},
       {"XDG_DATA_HOME", (root / "data").string()},
       {"DISPLAY", display.name()},
       {"QT_QPA_PLATFORM", "xcb"},
       {"LANGUAGE", "en"},
       {"VEXA_FAKE_APPLICATION_PID_FILE", (root / "product.pid").string()}});
  const auto window = display.findWindow("Vexa Installer", 60);
  ASSERT_TRUE(window) << "no installer window";
  // "Install Now", pressed until the welcome screen takes it, then the product opened.
  const std::size_t checked = server.requests().size();  // check-url's own requests
  ASSERT_TRUE(testing::waitUntil([&] {
    (void)display.xdotool({"windowfocus", "--sync", *window, "key", "Return"});
    const auto requests = server.requests();
    return std::any_of(
        requests.begin() + static_cast<std::ptrdiff_t>(checked), requests.end(),
        [](const testing::RecordedRequest& request) { return request.method == "GET"; });
  }));
  ASSERT_TRUE(testing::waitUntil([&] { return fs::exists(root / "product.pid"); }));
  const std::string product = testing::readFile(root / "product.pid");
  ::kill(std::stoi(product), SIGKILL);
  EXPECT_EQ(running.wait().exitStatus, 0);
  EXPECT_EQ(NativeInstaller::metadata(root / "home/Applications/Vexa.app")
                .at("CFBundleShortVersionString")
                .text(),
            "1.4.0-beta.57");
}

}  // namespace
}  // namespace vexa
