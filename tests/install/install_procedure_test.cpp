#include "install/install_procedure.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <memory>
#include <sstream>
#include <thread>

#include "config/installer_failure.h"
#include "platform/file_system_items.h"
#include "tests/support/configuration_samples.h"
#include "tests/support/package_builder.h"
#include "tests/support/program_run.h"
#include "tests/support/temporary_directory.h"

namespace vexa {
namespace {

namespace fs = std::filesystem;
using testing::BundleLayout;

constexpr const char* kToolFailure = "Installer file check failed. Check disk space and permissions, then retry.";
constexpr const char* kPrefix = ".vexa-install-dev.plovik.desktop-";

BundleLayout version(const std::string& shortVersion, const std::string& build) {
  BundleLayout layout;
  layout.shortVersion = shortVersion;
  layout.buildText = build;
  return layout;
}

// Signed bundles of three releases (the configured 1.4.0-beta.57, an older and a newer one) and two
// packages of the configured release, one with the bundle under the wrong name. Built once.
struct Suite {
  Suite() {
    for (auto [bundle, layout] : {std::pair{release, BundleLayout{}}, std::pair{older, version("1.3.0", "50")},
                                  std::pair{newer, version("1.5.0", "60")}}) {
      builder.makeBundle(bundle, layout);
      builder.sign(bundle, authority, "QX7RZ2M4KD");
    }
    for (auto [image, name] : {std::pair{package, "Vexa.app"}, std::pair{misnamedPackage, "Vexa 2.app"}}) {
      const fs::path volume = directory / image.stem();
      fs::create_directories(volume);
      fs::copy(release, volume / name, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
      builder.makeImage(volume, image);
    }
  }
  testing::TemporaryDirectory directory;
  testing::TestCertificateAuthority authority;
  testing::TrustedToolset toolset{directory.path(), authority};
  testing::PackageBuilder builder;
  fs::path release = directory / "release" / "Vexa.app";
  fs::path older = directory / "older" / "Vexa.app";
  fs::path newer = directory / "newer" / "Vexa.app";
  fs::path package = directory / "package.dmg";
  fs::path misnamedPackage = directory / "misnamed.dmg";
};

// A private temporary folder, an empty Applications folder, and tools that log "<tool> <arguments>"
// before running the trusting stand-ins.
class InstallProcedureTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { suite_ = std::make_unique<Suite>(); }
  static void TearDownTestSuite() { suite_.reset(); }

  void SetUp() override {
    fs::create_directories(directory_ / "tmp");
    fs::create_directories(parent_);
    environment_.set("TMPDIR", (directory_ / "tmp").string());
    const SystemTools& real = suite_->toolset.tools();
    services_.tools = SystemTools::inDirectory(directory_ / "tools");
    for (const auto& [wrapper, tool] : {std::pair{services_.tools.hdiutil, real.hdiutil}, {services_.tools.ditto, real.ditto},
                                        {services_.tools.codesign, real.codesign}, {services_.tools.spctl, real.spctl},
                                        {services_.tools.lipo, real.lipo}}) {
      wrap(wrapper, "exec '" + tool.string() + "' \"$@\"");
    }
    services_.systemVersion = [] { return std::string("14.5.0"); };
  }

  void wrap(const fs::path& wrapper, const std::string& body) const {
    testing::writeFile(wrapper, "#!/bin/sh\necho \"$(basename \"$0\") $*\" >> '" + (directory_ / "tools.log").string() +
                                    "'\n" + body + "\n");
    fs::permissions(wrapper, fs::perms::owner_all);
  }
  std::vector<std::string> calls() const {
    std::vector<std::string> lines;
    std::istringstream stream(fs::exists(directory_ / "tools.log") ? testing::readFile(directory_ / "tools.log") : "");
    // The tool's name, for hdiutil with its verb ("hdiutil detach").
    for (std::string line; std::getline(stream, line);) {
      lines.push_back(line.substr(0, line.find(' ', line.starts_with("hdiutil ") ? 8 : 0)));
    }
    return lines;
  }
  // Names in the parent folder beginning with `prefix`, and the workspaces in the temporary folder.
  std::vector<std::string> entries(const fs::path& folder, const std::string& prefix = "") const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
      if (entry.path().filename().string().starts_with(prefix)) names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  fs::path place(const fs::path& bundle, const std::string& name) const {
    fs::copy(bundle, parent_ / name, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    return parent_ / name;
  }
  InstallConfiguration configuration(const fs::path& package) const {
    const std::string bytes = testing::readFile(package);
    return testing::withPackage(testing::validProductionConfiguration(), static_cast<std::int64_t>(bytes.size()),
                                testing::referenceSha256(bytes));
  }
  std::string installedVersion() const {
    return NativeInstaller::installedApplication(target_, configuration(suite_->package), services_)->version.version();
  }
  // Installs `package`; the English message and reason of a failure, or "(installed)".
  std::pair<std::string, InstallerFailureReason> install(const std::optional<InstalledApplicationVersion>& approval = {},
                                                         NativeInstaller::RunningCheck running = nullptr,
                                                         fs::path package = {}) {
    if (package.empty()) package = suite_->package;
    if (!running) running = [](const std::string&) { return false; };
    try {
      EXPECT_EQ(NativeInstaller::install(package, parent_, configuration(package), approval, running, services_), target_);
      return {"(installed)", InstallerFailureReason::general};
    } catch (const InstallerFailure& failure) {
      return {failure.what(), failure.reason()};
    } catch (const std::exception& error) {
      return {std::string("(other) ") + error.what(), InstallerFailureReason::general};
    }
  }

  static inline std::unique_ptr<Suite> suite_;
  testing::TemporaryDirectory directory_;
  testing::ScopedEnvironment environment_{{"LANGUAGE", "en_US.UTF-8"}};
  fs::path parent_ = directory_ / "Applications";
  fs::path target_ = parent_ / "Vexa.app";
  VerificationServices services_;
};

TEST_F(InstallProcedureTest, InstallsFreshOrOverAReplaceableCopy) {
  struct Case {
    const char* name;
    const fs::path* previous;
    std::optional<InstalledApplicationVersion> approval;
  } cases[] = {
      {"fresh", nullptr, {}},
      {"older", &suite_->older, {}},
      {"newer approved", &suite_->newer, InstalledApplicationVersion("1.5.0", "60")},
  };
  for (const Case& c : cases) {
    fs::remove_all(target_);
    if (c.previous) place(*c.previous, "Vexa.app");
    EXPECT_EQ(install(c.approval).first, "(installed)") << c.name;
    EXPECT_EQ(calls().back(), "hdiutil detach") << c.name;
    EXPECT_EQ(installedVersion(), "1.4.0-beta.57") << c.name;
    EXPECT_EQ(entries(parent_), std::vector<std::string>{"Vexa.app"}) << c.name;
    EXPECT_TRUE(entries(directory_ / "tmp").empty()) << c.name;
  }
}

TEST_F(InstallProcedureTest, RefusesBeforeMountingWhileRunningOrOverAnUnapprovedNewerCopy) {
  struct Case {
    const char* name;
    bool running;
    std::optional<InstalledApplicationVersion> approval;
    const char* message;
    InstallerFailureReason reason;
    std::vector<std::string> tools;
  } cases[] = {
      {"running", true, {}, "Vexa is running. Quit it safely to continue installation.",
       InstallerFailureReason::applicationRunning, {}},
      {"newer", false, {}, "A newer version is installed", InstallerFailureReason::newerApplicationInstalled,
       {"codesign", "spctl"}},
      {"newer, other build approved", false, InstalledApplicationVersion("1.5.0", "61"), "A newer version is installed",
       InstallerFailureReason::newerApplicationInstalled, {"codesign", "spctl"}},
  };
  place(suite_->newer, "Vexa.app");
  for (const Case& c : cases) {
    fs::remove(directory_ / "tools.log");
    EXPECT_EQ(install(c.approval, [&](const std::string& id) { return c.running && id == "dev.plovik.desktop"; }),
              std::pair(std::string(c.message), c.reason))
        << c.name;
    EXPECT_EQ(calls(), c.tools) << c.name;
  }
  EXPECT_EQ(entries(parent_), std::vector<std::string>{"Vexa.app"});
  EXPECT_TRUE(entries(directory_ / "tmp").empty());
}

// Given an older copy installed and a genuine copy left by an earlier attempt, which may be the only
// working copy the user has: a failure after mounting removes only what this call made.
TEST_F(InstallProcedureTest, FailuresAfterMountingRemoveOnlyWhatTheCallMade) {
  int runningChecks = 0;
  struct Case {
    const char* name;
    NativeInstaller::RunningCheck running;
    const char* ditto;  // wrapper body, or nullptr for the real copy
    fs::path package;
    std::string message;
  } cases[] = {
      {"started during the copy", [&](const std::string&) { return ++runningChecks > 1; }, nullptr, suite_->package,
       "Vexa is running. Quit it safely to continue installation."},
      {"copy fails part-way", nullptr, "mkdir -p \"$2/Contents/MacOS\" && echo partial > \"$2/Contents/Info.plist\"; exit 1",
       suite_->package, kToolFailure},
      {"bundle misnamed in the image", nullptr, nullptr, suite_->misnamedPackage, ""},
  };
  place(suite_->older, "Vexa.app");
  const std::string kept = std::string(kPrefix) + "KEPT.app";
  place(suite_->older, kept);
  const std::string realDitto = testing::readFile(services_.tools.ditto);
  for (const Case& c : cases) {
    fs::remove(directory_ / "tools.log");
    if (c.ditto) wrap(services_.tools.ditto, c.ditto);
    const std::string message = install({}, c.running, c.package).first;
    testing::writeFile(services_.tools.ditto, realDitto);
    if (!c.message.empty()) {
      EXPECT_EQ(message, c.message) << c.name;
    }
    EXPECT_NE(message, "(installed)") << c.name;
    const std::vector<std::string> tools = calls();
    EXPECT_EQ(tools.back(), "hdiutil detach") << c.name;
    EXPECT_EQ(std::count(tools.begin(), tools.end(), "ditto"), c.package == suite_->package) << c.name;
    EXPECT_EQ(entries(parent_), (std::vector<std::string>{kept, "Vexa.app"})) << c.name;
    EXPECT_EQ(installedVersion(), "1.3.0") << c.name;
    EXPECT_TRUE(entries(directory_ / "tmp").empty()) << c.name;
  }
}

TEST_F(InstallProcedureTest, RemovesOnlyGenuineOwnLeftoversAndOnlyOverAnInstalledCopy) {
  const std::string genuine = std::string(kPrefix) + "A.app", partial = std::string(kPrefix) + "B.app",
                    foreign = std::string(kPrefix) + "C.app", otherProduct = ".vexa-install-dev.other-D.app";
  for (const std::string& name : {genuine, foreign, otherProduct}) place(suite_->older, name);
  testing::writeFile(parent_ / partial / "Contents" / "Info.plist", "partial");
  if (::getuid() == 0) {
    ASSERT_EQ(::lchown((parent_ / foreign).c_str(), 65534, 65534), 0);
  }
  // Without a copy at the target nothing is cleared; over one, the genuine copy of this user goes.
  EXPECT_EQ(install().first, "(installed)");
  std::vector<std::string> remaining = {otherProduct, genuine, partial, foreign};
  EXPECT_EQ(entries(parent_, ".vexa"), remaining);
  EXPECT_EQ(install().first, "(installed)");
  remaining.erase(remaining.begin() + 1);
  if (::getuid() != 0) remaining.pop_back();  // only root can hand a copy to another user
  EXPECT_EQ(entries(parent_, ".vexa"), remaining);
}

// Kills an installing process (SIGKILL) at evenly spread moments over one measured run, each time
// over an older installed copy: the target must hold one complete, verifiable copy, and the next
// installation must succeed, removing genuine leftovers and keeping partial ones.
TEST_F(InstallProcedureTest, KillAtAnyMomentLeavesOneCompleteCopy) {
  constexpr int kKillPoints = 24;
  // Tools orphaned by a kill come to this process, which lets them finish as the system would.
  ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  const auto reapOrphans = [] { while (::waitpid(-1, nullptr, 0) > 0) {} };
  const fs::path configurationFile = directory_ / "configuration.json";
  testing::writeFile(configurationFile, configuration(suite_->package).encode());
  InstallConfiguration olderRelease = configuration(suite_->package);
  olderRelease.applicationVersion = "1.3.0";
  olderRelease.buildNumber = 50;
  const std::vector<std::string> arguments = {fs::path(VEXA_TEST_PROGRAMS_DIR) / "install_driver", configurationFile,
                                              suite_->package, parent_,
                                              suite_->toolset.tools().hdiutil.parent_path()};
  // Runs the driver over the older copy, killing it after `delay` unless it ends first; says whether it ended.
  const auto runDriver = [&](std::chrono::nanoseconds delay) {
    place(suite_->older, "Vexa.app");
    testing::BackgroundProgram driver(arguments[0], arguments);
    for (const auto until = std::chrono::steady_clock::now() + delay; std::chrono::steady_clock::now() < until;) {
      siginfo_t ended{};
      if (::waitid(P_PID, driver.pid(), &ended, WEXITED | WNOHANG | WNOWAIT) == 0 && ended.si_pid != 0) break;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    driver.signal(SIGKILL);
    const bool finished = driver.wait().terminatingSignal == 0;
    reapOrphans();
    return finished;
  };

  // The shorter of two complete runs: the first also warms the caches.
  auto duration = std::chrono::steady_clock::duration::max();
  for (int run = 0; run < 2; ++run) {
    fs::remove_all(target_);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(runDriver(std::chrono::minutes(5)));
    duration = std::min(duration, std::chrono::steady_clock::now() - start);
  }
  int finished = 0, newAtTarget = 0, genuineLeft = 0, partialLeft = 0, workspacesLeft = 0;
  for (int point = 0; point < kKillPoints; ++point) {
    fs::remove_all(target_);
    finished += runDriver(duration * (2 * point + 1) / (2 * kKillPoints));
    const bool isNew = NativeInstaller::metadata(target_).at("CFBundleShortVersionString").text() == "1.4.0-beta.57";
    newAtTarget += isNew;
    EXPECT_NO_THROW(NativeInstaller::verify(target_, isNew ? configuration(suite_->package) : olderRelease, true, services_))
        << "kill point " << point;
    std::vector<std::string> partial;
    for (const std::string& name : entries(parent_, kPrefix)) {
      try {
        NativeInstaller::verify(parent_ / name, olderRelease, false, services_);
        ++genuineLeft;
      } catch (const std::exception&) {
        partial.push_back(name);
      }
    }
    partialLeft += static_cast<int>(partial.size());
    workspacesLeft += static_cast<int>(entries(directory_ / "tmp").size());
    EXPECT_EQ(install().first, "(installed)") << "kill point " << point;
    EXPECT_EQ(entries(parent_, kPrefix), partial) << "kill point " << point;
    for (const std::string& name : partial) fs::remove_all(parent_ / name);
    for (const std::string& name : entries(directory_ / "tmp")) platform::removeItemRecursively(directory_ / "tmp" / name);
  }
  ::prctl(PR_SET_CHILD_SUBREAPER, 0);
  std::cout << "kill points " << kKillPoints << " over " << std::chrono::duration<double>(duration).count()
            << " s: finished before the kill " << finished << ", new copy at the target " << newAtTarget
            << ", genuine copies left " << genuineLeft << ", partial copies left " << partialLeft
            << ", workspaces left " << workspacesLeft << std::endl;
}

}  // namespace
}  // namespace vexa
