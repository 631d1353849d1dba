#include "app/bootstrap_application.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <sys/file.h>
#include <unistd.h>
#include <chrono>
#include <thread>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <sstream>

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
    fs::create_directories(bundle() / "Contents" / "MacOS");
    fs::copy_file(fs::path(VEXA_BUNDLE_DIR) / "Contents/MacOS/VexaInstaller", executable());
    fs::create_directories(bundle() / "Contents" / "Resources");
  }

  fs::path bundle() const { return temporary_ / "VexaInstaller.app"; }
  fs::path executable() const { return bundle() / "Contents/MacOS/VexaInstaller"; }
  fs::path caches() const { return temporary_ / "caches"; }
  fs::path cacheFolder() const { return caches() / "dev.plovik.desktop.installer"; }
  fs::path lockFile() const { return cacheFolder() / "installer.lock"; }

  void installConfiguration(const std::string& text) const {
    testing::writeFile(bundle() / "Contents/Resources/configuration.json", text);
  }

  // No display, English, a private cache home: alerts arrive on standard error.
  testing::EnvironmentChanges environment() const {
    return {{"XDG_CACHE_HOME", caches().string()},
            {"DISPLAY", std::nullopt},
            {"WAYLAND_DISPLAY", std::nullopt},
            {"QT_QPA_PLATFORM", std::nullopt},
            {"LANGUAGE", "en"}};
  }

  testing::ProgramResult run(const std::vector<std::string>& arguments) const {
    std::vector<std::string> argv{executable().string()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return testing::runProgram(executable(), argv, environment());
  }

  // Whether some process holds the single-instance lock.
  [[nodiscard]] bool lockHeld() const {
    const platform::UniqueFd probe(::open(lockFile().c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    return probe && ::flock(probe.get(), LOCK_EX | LOCK_NB) != 0;
  }

  // An installer that gets past start-up opens its window and runs until it is asked to quit: this
  // waits until it holds the lock (false if it never does), then ends it; `output` gets what it
  // printed.
  bool startThenEnd(const std::vector<std::string>& arguments,
                    std::string* output = nullptr) const {
    std::vector<std::string> argv{executable().string()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    testing::BackgroundProgram installer(executable(), argv, environment());
    bool held = false;
    for (int wait = 0; wait < 600 && !held; ++wait) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      held = lockHeld();
    }
    installer.signal(SIGKILL);
    (void)installer.wait();
    if (output != nullptr) *output = installer.readLine(1000).value_or("");
    return held;
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
    ASSERT_FALSE(result.standardOutput.empty());
    EXPECT_EQ(result.standardOutput.find('\n'), result.standardOutput.size() - 1) << "one line";
    EXPECT_EQ(result.standardOutput.find(' '), std::string::npos) << "compact";
    const nlohmann::json summary = nlohmann::json::parse(result.standardOutput);
    EXPECT_EQ(summary, nlohmann::json({{"environment", configuration.environment},
                                       {"appId", configuration.appId},
                                       {"arch", configuration.arch},
                                       {"productVersion", configuration.productVersion},
                                       {"buildNumber", configuration.buildNumber},
                                       {"credentialPresent", configuration.isStaging()},
                                       {"preview", false}}));
    EXPECT_FALSE(fs::exists(caches()));
  }
}

TEST_F(BootstrapApplicationTest, SelfTest_WithAnotherArgumentStartsNormally) {
  installConfiguration(testing::validProductionConfiguration().encode());
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"--self-test", "extra"}, {"--Self-Test"}, {}}) {
    std::string output;
    EXPECT_TRUE(startThenEnd(arguments, &output));
    EXPECT_EQ(output, "");
    EXPECT_TRUE(fs::is_directory(cacheFolder()));
    EXPECT_TRUE(fs::is_regular_file(lockFile()));
  }
  EXPECT_EQ(testing::permissionBits(cacheFolder()), 0700u);
  EXPECT_EQ(testing::permissionBits(lockFile()), 0600u);
}

TEST_F(BootstrapApplicationTest, BadConfiguration_ShowsTheAlertAndExitsZero) {
  // No configuration resource at all.
  expectAlert(run({"--self-test"}), "The installer is incomplete. Download it again.");

  nlohmann::json object = nlohmann::json::parse(testing::validProductionConfiguration().encode());
  object.erase("gitSha");
  installConfiguration(object.dump());
  const testing::ProgramResult missingMember = run({});
  expectAlert(missingMember, "The configuration member \"gitSha\" is missing.");

  installConfiguration("{\"schemaVersion\": 1,");
  const testing::ProgramResult malformed = run({});
  EXPECT_NE(malformed.standardError.find("The configuration is not valid JSON"), std::string::npos);

  InstallConfiguration invalid = testing::validProductionConfiguration();
  invalid.downloadToken = std::string(32, 'a');
  installConfiguration(invalid.encode());
  // Also in self-test mode the alert replaces the summary.
  expectAlert(run({"--self-test"}), "The installer configuration is invalid. Download it again.");
  EXPECT_FALSE(fs::exists(caches()));
}

TEST_F(BootstrapApplicationTest, Alert_SpeaksChinese) {
  testing::EnvironmentChanges chinese = environment();
  chinese["LANGUAGE"] = "zh_CN";
  const testing::ProgramResult result =
      testing::runProgram(executable(), {executable().string()}, chinese);
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_NE(result.standardError.find("无法启动 Vexa 安装器\n安装器不完整，请重新下载。\n"),
            std::string::npos)
      << result.standardError;
}

TEST_F(BootstrapApplicationTest, CacheFolderThroughALink_IsRefusedBeforeAnyLock) {
  installConfiguration(testing::validProductionConfiguration().encode());
  fs::create_directories(temporary_ / "elsewhere");
  fs::create_directories(caches());
  fs::create_directory_symlink(temporary_ / "elsewhere", cacheFolder());
  expectAlert(run({}), "The installer cache directory is invalid.");
  EXPECT_FALSE(fs::exists(temporary_ / "elsewhere" / "installer.lock"));

  // A cache home reached through a link is refused too, before any folder is made behind the link.
  fs::remove(cacheFolder());
  fs::create_directory_symlink(caches(), temporary_ / "caches-link");
  for (const fs::path& home : {temporary_ / "caches-link", temporary_ / "caches-link" / "deeper"}) {
    testing::EnvironmentChanges throughLink = environment();
    throughLink["XDG_CACHE_HOME"] = home.string();
    expectAlert(testing::runProgram(executable(), {executable().string()}, throughLink),
                "The installer cache directory is invalid.");
    EXPECT_TRUE(fs::is_empty(caches())) << home;
  }
}

TEST_F(BootstrapApplicationTest, ExistingWideCacheFolder_IsNarrowedTo0700) {
  installConfiguration(testing::validProductionConfiguration().encode());
  fs::create_directories(cacheFolder());
  fs::permissions(cacheFolder(), fs::perms(0755));
  EXPECT_TRUE(startThenEnd({}));
  EXPECT_EQ(testing::permissionBits(cacheFolder()), 0700u);
}

TEST_F(BootstrapApplicationTest, LockFileThatIsALink_IsRefused) {
  installConfiguration(testing::validProductionConfiguration().encode());
  fs::create_directories(cacheFolder());
  fs::create_symlink(temporary_ / "target", lockFile());
  expectAlert(run({}), "Another installer is already running.");
  EXPECT_FALSE(fs::exists(temporary_ / "target"));
}

// The harness runs the real start-up and then holds the lock, like a running installer.
TEST_F(BootstrapApplicationTest, SecondInstance_IsRefusedWhileTheFirstHoldsTheLock) {
  installConfiguration(testing::validProductionConfiguration().encode());
  testing::BackgroundProgram first(fs::path(VEXA_TEST_PROGRAMS_DIR) / "bootstrap_harness",
                                   {"bootstrap_harness", bundle().string()}, environment());
  ASSERT_EQ(first.readLine(), "started " + cacheFolder().string());
  // A child of the installer does not inherit the lock (it could otherwise outlive the installer).
  const std::optional<std::string> descriptors = first.readLine();
  ASSERT_TRUE(descriptors);
  std::istringstream words(*descriptors);
  std::string word, lock;
  words >> word >> lock >> word >> word;
  ASSERT_GT(std::stoi(lock), 2) << *descriptors;
  std::vector<std::string> inherited;
  for (std::string number; words >> number;) inherited.push_back(number);
  EXPECT_GE(inherited.size(), 3u) << *descriptors;
  EXPECT_EQ(std::count(inherited.begin(), inherited.end(), lock), 0) << *descriptors;

  expectAlert(run({}), "Another installer is already running.");
  EXPECT_TRUE(fs::exists(lockFile()));

  first.closeInput();
  EXPECT_EQ(first.wait().exitStatus, 0);
  // Once the first installer has ended, the lock is free again.
  EXPECT_TRUE(startThenEnd({}));
}

// With a display, the failure is a real modal alert that the default button (Return) dismisses,
// after which the installer exits with status 0.
TEST_F(BootstrapApplicationTest, Alert_IsARealWindowWhenADisplayExists) {
  testing::VirtualDisplay display;
  testing::EnvironmentChanges onDisplay = environment();
  onDisplay["DISPLAY"] = display.name();
  testing::BackgroundProgram installer(executable(), {executable().string()}, onDisplay);
  const std::optional<std::string> window = display.findWindow(kTitle);
  ASSERT_TRUE(window) << "no alert window appeared";
  display.pressKey(*window, "Return");
  const testing::ProgramResult result = installer.wait();
  EXPECT_EQ(result.exitStatus, 0);
}

}  // namespace
}  // namespace vexa
