#include "app/bootstrap_application.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <sys/file.h>

#include <nlohmann/json.hpp>

#include "platform/unique_fd.h"
#include "tests/support/configuration_samples.h"
#include "tests/support/program_run.h"
#include "tests/support/temporary_directory.h"
#include "tests/support/virtual_display.h"

namespace vexa {
namespace {

namespace fs = std::filesystem;

const char* const kTitle = "Could not start the Vexa installer";

// Each test gets its own copy of the built installer bundle (it is relocatable) with a
// configuration of the test's choosing, and its own cache home.
class BootstrapApplicationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(executable().parent_path());
    fs::copy_file(fs::path(VEXA_BUNDLE_DIR) / "Contents/MacOS/VexaInstaller", executable());
  }

  fs::path bundle() const { return temporary_ / "VexaInstaller.app"; }
  fs::path executable() const { return bundle() / "Contents/MacOS/VexaInstaller"; }
  fs::path caches() const { return temporary_ / "caches"; }
  fs::path cacheFolder() const { return caches() / "dev.plovik.desktop.installer"; }
  fs::path lockFile() const { return cacheFolder() / "installer.lock"; }

  void installConfiguration(const std::string& text) const {
    testing::writeFile(bundle() / "Contents/Resources/configuration.json", text);
  }

  testing::ProgramResult run(std::vector<std::string> arguments) const {
    arguments.insert(arguments.begin(), executable().string());
    return testing::runProgram(executable(), arguments, environment_);
  }

  static void expectAlert(const testing::ProgramResult& result, const std::string& text) {
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_NE(result.standardError.find(std::string(kTitle) + "\n" + text + "\n"),
              std::string::npos)
        << result.standardError;
    EXPECT_EQ(result.standardOutput, "");
  }

  testing::TemporaryDirectory temporary_;
  // No display, English, a private cache home (unless a test says otherwise): alerts arrive on
  // standard error.
  testing::EnvironmentChanges environment_ = {{"XDG_CACHE_HOME", caches().string()},
                                              {"DISPLAY", std::nullopt},
                                              {"WAYLAND_DISPLAY", std::nullopt},
                                              {"QT_QPA_PLATFORM", std::nullopt},
                                              {"LANGUAGE", "en"}};
};

TEST_F(BootstrapApplicationTest, SelfTest_PrintsTheSummaryAndCreatesNoCacheFolder) {
  for (const InstallConfiguration& configuration :
       {testing::validProductionConfiguration(), testing::validStagingConfiguration()}) {
    installConfiguration(configuration.encode());
    const testing::ProgramResult result = run({"--self-test"});
    ASSERT_EQ(result.exitStatus, 0) << result.standardError;
    EXPECT_EQ(nlohmann::json::parse(result.standardOutput),
              nlohmann::json({{"environment", configuration.environment},
                              {"appId", configuration.appId},
                              {"arch", configuration.arch},
                              {"productVersion", configuration.productVersion},
                              {"buildNumber", configuration.buildNumber},
                              {"credentialPresent", configuration.isStaging()},
                              {"preview", false}}));
    EXPECT_FALSE(fs::exists(caches()));
  }
}

TEST_F(BootstrapApplicationTest, BadConfiguration_ShowsTheAlertAndExitsZero) {
  // No configuration resource at all.
  expectAlert(run({"--self-test"}), "The installer is incomplete. Download it again.");
  installConfiguration(
      testing::withPackage(testing::validProductionConfiguration(), 0, "").encode());
  // Also in self-test mode the alert replaces the summary.
  expectAlert(run({"--self-test"}), "The installer configuration is invalid. Download it again.");
  EXPECT_FALSE(fs::exists(caches()));
}

// A lock file that is a link is refused and never followed; so is a cache home reached through a
// link, before any folder is made behind it.
TEST_F(BootstrapApplicationTest, Links_AreRefusedBeforeAnyLock) {
  installConfiguration(testing::validProductionConfiguration().encode());
  fs::create_directories(cacheFolder());
  fs::create_symlink(temporary_ / "target", lockFile());
  expectAlert(run({}), "Another installer is already running.");
  EXPECT_FALSE(fs::exists(temporary_ / "target"));

  fs::create_directory_symlink(caches(), temporary_ / "caches-link");
  environment_["XDG_CACHE_HOME"] = (temporary_ / "caches-link" / "deeper").string();
  expectAlert(run({}), "The installer cache directory is invalid.");
  EXPECT_FALSE(fs::exists(caches() / "deeper"));
}

// Given an existing cache folder open to others, any other command line starts the installer,
// which narrows the folder to its owner and holds an owner-only lock file. A second installer is
// refused. A quit request is refused while the first check runs and ends the installer once the
// welcome stands.
TEST_F(BootstrapApplicationTest, OtherArguments_StartInAPrivateCacheFolderHoldingTheLock) {
  installConfiguration(testing::validProductionConfiguration().encode());
  fs::create_directories(cacheFolder());
  fs::permissions(cacheFolder(), fs::perms(0755));
  testing::BackgroundProgram first(executable(), {executable().string(), "--self-test", "extra"},
                                   environment_);
  // It opens its window (offscreen here) once it holds the lock.
  ASSERT_TRUE(testing::waitUntil([&] {
    const platform::UniqueFd probe(::open(lockFile().c_str(), O_RDONLY | O_CLOEXEC));
    return probe && ::flock(probe.get(), LOCK_EX | LOCK_NB) != 0;
  }));
  EXPECT_EQ(testing::permissionBits(cacheFolder()), 0700u);
  EXPECT_EQ(testing::permissionBits(lockFile()), 0600u);
  expectAlert(run({}), "Another installer is already running.");
  // Each request gets time to take effect: one sent while a granted one ends the process would
  // end it anyway.
  ASSERT_TRUE(testing::waitUntil([&] {
    first.signal(SIGTERM);
    return testing::waitUntil([&] { return first.hasEnded(); }, std::chrono::seconds(5));
  }));
  EXPECT_EQ(first.wait().exitStatus, 0);
  EXPECT_EQ(first.readLine(1000).value_or(""), "");  // no summary
}

// With a display, the failure is a real modal alert that the default button (Return) dismisses,
// after which the installer exits with status 0.
TEST_F(BootstrapApplicationTest, Alert_IsARealWindowWhenADisplayExists) {
  testing::VirtualDisplay display;
  environment_["DISPLAY"] = display.name();
  testing::BackgroundProgram installer(executable(), {executable().string()}, environment_);
  const std::optional<std::string> window = display.findWindow(kTitle);
  ASSERT_TRUE(window) << "no alert window appeared";
  display.xdotool({"windowfocus", "--sync", *window, "key", "Return"});
  EXPECT_EQ(installer.wait().exitStatus, 0);
}

}  // namespace
}  // namespace vexa
