#include "app/bootstrap_application.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <sys/file.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <thread>

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

  // No display, English, a private cache home (unless `changes` say otherwise): alerts arrive on
  // standard error.
  testing::EnvironmentChanges environment(const testing::EnvironmentChanges& changes = {}) const {
    testing::EnvironmentChanges all = {{"XDG_CACHE_HOME", caches().string()},
                                       {"DISPLAY", std::nullopt},
                                       {"WAYLAND_DISPLAY", std::nullopt},
                                       {"QT_QPA_PLATFORM", std::nullopt},
                                       {"LANGUAGE", "en"}};
    for (const auto& [name, value] : changes) all[name] = value;
    return all;
  }
  [[nodiscard]] std::vector<std::string> commandLine(std::vector<std::string> arguments) const {
    arguments.insert(arguments.begin(), executable().string());
    return arguments;
  }
  testing::ProgramResult run(const std::vector<std::string>& arguments,
                             const testing::EnvironmentChanges& changes = {}) const {
    return testing::runProgram(executable(), commandLine(arguments), environment(changes));
  }

  // An installer that gets past start-up opens its window (offscreen here) and runs until it is
  // asked to quit. Null if it never takes the single-instance lock within 30 seconds.
  [[nodiscard]] std::unique_ptr<testing::BackgroundProgram> startHoldingTheLock(
      const std::vector<std::string>& arguments = {}) const {
    auto installer = std::make_unique<testing::BackgroundProgram>(
        executable(), commandLine(arguments), environment());
    for (int wait = 0; wait < 600; ++wait) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      const platform::UniqueFd probe(::open(lockFile().c_str(), O_RDONLY | O_CLOEXEC));
      if (probe && ::flock(probe.get(), LOCK_EX | LOCK_NB) != 0) return installer;
    }
    return nullptr;
  }

  static void expectAlert(const testing::ProgramResult& result, const std::string& text) {
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_NE(result.standardError.find(std::string(kTitle) + "\n" + text + "\n"),
              std::string::npos)
        << result.standardError;
    EXPECT_EQ(result.standardOutput, "");
  }

  testing::TemporaryDirectory temporary_;
};

TEST_F(BootstrapApplicationTest, SelfTest_PrintsTheSummaryAndCreatesNoCacheFolder) {
  for (const InstallConfiguration& configuration :
       {testing::validProductionConfiguration(), testing::validStagingConfiguration()}) {
    installConfiguration(configuration.encode());
    const testing::ProgramResult result = run({"--self-test"});
    ASSERT_EQ(result.exitStatus, 0) << result.standardError;
    // One compact line.
    EXPECT_EQ(result.standardOutput.find_first_of(" \n"), result.standardOutput.size() - 1);
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

  nlohmann::json object = nlohmann::json::parse(testing::validProductionConfiguration().encode());
  object.erase("gitSha");
  installConfiguration(object.dump());
  expectAlert(run({}), "The configuration member \"gitSha\" is missing.");
  InstallConfiguration invalid = testing::validProductionConfiguration();
  invalid.downloadToken = std::string(32, 'a');
  installConfiguration(invalid.encode());
  // Also in self-test mode the alert replaces the summary.
  expectAlert(run({"--self-test"}), "The installer configuration is invalid. Download it again.");
  EXPECT_FALSE(fs::exists(caches()));
}

// A cache home reached through a link is refused before any folder is made behind the link; so is
// a lock file that is a link.
TEST_F(BootstrapApplicationTest, Links_AreRefusedBeforeAnyLock) {
  installConfiguration(testing::validProductionConfiguration().encode());
  fs::create_directories(caches());
  fs::create_directory_symlink(caches(), temporary_ / "caches-link");
  expectAlert(run({}, {{"XDG_CACHE_HOME", (temporary_ / "caches-link" / "deeper").string()}}),
              "The installer cache directory is invalid.");
  EXPECT_TRUE(fs::is_empty(caches()));

  fs::create_directories(cacheFolder());
  fs::create_symlink(temporary_ / "target", lockFile());
  expectAlert(run({}), "Another installer is already running.");
  EXPECT_FALSE(fs::exists(temporary_ / "target"));
}

// Given an existing cache folder open to others, any other command line starts the installer,
// which narrows the folder to its owner and holds an owner-only lock file, close-on-exec (a child
// of the installer could otherwise outlive it and keep it). A second installer is refused.
TEST_F(BootstrapApplicationTest, OtherArguments_StartInAPrivateCacheFolderHoldingTheLock) {
  installConfiguration(testing::validProductionConfiguration().encode());
  fs::create_directories(cacheFolder());
  fs::permissions(cacheFolder(), fs::perms(0755));
  auto first = startHoldingTheLock({"--self-test", "extra"});
  ASSERT_TRUE(first);
  EXPECT_EQ(testing::permissionBits(cacheFolder()), 0700u);
  EXPECT_EQ(testing::permissionBits(lockFile()), 0600u);
  const fs::path proc = fs::path("/proc") / std::to_string(first->pid());
  int locks = 0;
  for (const auto& entry : fs::directory_iterator(proc / "fd")) {
    std::error_code error;
    if (fs::read_symlink(entry.path(), error) != lockFile()) continue;
    const std::string info = testing::readFile(proc / "fdinfo" / entry.path().filename());
    EXPECT_NE(std::stoul(info.substr(info.find("flags:") + 6), nullptr, 8) & O_CLOEXEC, 0u);
    ++locks;
  }
  EXPECT_EQ(locks, 1);
  expectAlert(run({}), "Another installer is already running.");
  first->signal(SIGKILL);
  (void)first->wait();
  EXPECT_EQ(first->readLine(1000).value_or(""), "");  // no summary
}

// With a display, the failure is a real modal alert that the default button (Return) dismisses,
// after which the installer exits with status 0.
TEST_F(BootstrapApplicationTest, Alert_IsARealWindowWhenADisplayExists) {
  testing::VirtualDisplay display;
  testing::BackgroundProgram installer(executable(), {executable().string()},
                                       environment({{"DISPLAY", display.name()}}));
  const std::optional<std::string> window = display.findWindow(kTitle);
  ASSERT_TRUE(window) << "no alert window appeared";
  display.pressKey(*window, "Return");
  EXPECT_EQ(installer.wait().exitStatus, 0);
}

}  // namespace
}  // namespace vexa
