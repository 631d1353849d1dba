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
using Reason = InstallerFailureReason;

constexpr const char* kPrefix = ".vexa-install-dev.plovik.desktop-";
constexpr const char* kRunning = "Vexa is running. Quit it safely to continue installation.";

// Signed bundles of the configured release, an older and a newer one, and packages of the release
// with its bundle under the right name and under another. Built once.
struct Suite {
  Suite() {
    const std::tuple<fs::path, const char*, const char*> releases[] = {
        {release, "1.4.0-beta.57", "57"}, {older, "1.3.0", "50"}, {newer, "1.5.0", "60"}};
    for (const auto& [bundle, version, build] : releases) {
      testing::BundleLayout layout;
      layout.shortVersion = version;
      layout.buildText = build;
      builder.makeBundle(bundle, layout);
      builder.sign(bundle, authority, "QX7RZ2M4KD");
    }
    for (const std::string name : {"Vexa.app", "Vexa 2.app"}) {
      fs::create_directory(directory / name);
      fs::copy(release, directory / name / name,
               fs::copy_options::recursive | fs::copy_options::copy_symlinks);
      builder.makeImage(directory / name, directory / (name + ".dmg"));
    }
  }
  testing::TemporaryDirectory directory;
  testing::TestCertificateAuthority authority;
  testing::TrustedToolset toolset{directory.path(), authority};
  testing::PackageBuilder builder;
  fs::path release = directory / "release" / "Vexa.app", older = directory / "older" / "Vexa.app",
           newer = directory / "newer" / "Vexa.app";
  fs::path package = directory / "Vexa.app.dmg", misnamedPackage = directory / "Vexa 2.app.dmg";
};

// A private temporary folder, an Applications folder, and tools that log their name (hdiutil with
// its verb) before running the trusting stand-ins.
class InstallProcedureTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { suite_ = std::make_unique<Suite>(); }
  static void TearDownTestSuite() { suite_.reset(); }
  void SetUp() override {
    fs::create_directories(directory_ / "tmp");
    fs::create_directories(parent_);
    environment_.set("TMPDIR", (directory_ / "tmp").string());
    services_.tools = SystemTools::inDirectory(directory_ / "tools");
    for (const char* tool : {"hdiutil", "ditto", "codesign", "spctl", "lipo"}) {
      wrap(tool,
           "exec '" + (suite_->toolset.tools().hdiutil.parent_path() / tool).string() + "' \"$@\"");
    }
  }
  void wrap(const std::string& tool, const std::string& body) const {
    testing::writeFile(directory_ / "tools" / tool,
                       "#!/bin/sh\necho \"$(basename \"$0\")" +
                           std::string(tool == "hdiutil" ? " $1" : "") + "\" >> '" +
                           (directory_ / "tools.log").string() + "'\n" + body + "\n");
    fs::permissions(directory_ / "tools" / tool, fs::perms::owner_all);
  }
  std::vector<std::string> calls() const {
    std::vector<std::string> lines;
    std::istringstream stream(
        fs::exists(directory_ / "tools.log") ? testing::readFile(directory_ / "tools.log") : "");
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
  }
  std::vector<std::string> entries(const fs::path& folder, const std::string& prefix = "") const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
      if (entry.path().filename().string().starts_with(prefix))
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  void place(const fs::path& bundle, const std::string& name) const {
    fs::copy(bundle, parent_ / name, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  }
  InstallConfiguration configuration(const fs::path& package,
                                     const std::string& version = "1.4.0-beta.57") const {
    const std::string bytes = testing::readFile(package);
    InstallConfiguration result = testing::withPackage(testing::validProductionConfiguration(),
                                                       static_cast<std::int64_t>(bytes.size()),
                                                       testing::referenceSha256(bytes));
    result.applicationVersion = version;
    result.buildNumber =
        version == "1.3.0" ? 50 : 57;  // the older bundle's build, or the release's
    return result;
  }
  std::string versionAtTarget() const {
    return fs::exists(target_)
               ? NativeInstaller::metadata(target_).at("CFBundleShortVersionString").text()
               : "";
  }
  // Installs `package`: the English message and reason of a failure, or "(installed)".
  std::pair<std::string, Reason> install(
      const std::optional<InstalledApplicationVersion>& approval = {},
      NativeInstaller::RunningCheck running = nullptr, fs::path package = {}) {
    if (package.empty()) package = suite_->package;
    if (!running) running = [](const std::string&) { return false; };
    try {
      EXPECT_EQ(NativeInstaller::install(package, parent_, configuration(package), approval,
                                         running, services_),
                target_);
      return {"(installed)", Reason::general};
    } catch (const InstallerFailure& failure) {
      return {failure.what(), failure.reason()};
    } catch (const std::exception& error) {
      return {std::string("(other) ") + error.what(), Reason::general};
    }
  }

  static inline std::unique_ptr<Suite> suite_;
  testing::TemporaryDirectory directory_;
  testing::ScopedEnvironment environment_{{"LANGUAGE", "en_US.UTF-8"}};
  fs::path parent_ = directory_ / "Applications";
  fs::path target_ = parent_ / "Vexa.app";
  VerificationServices services_;
};

// Each case starts from `previous` at the target and leftovers of earlier attempts: a genuine
// copy (A), a partial one (B), one of another user's (C, when root can make one) and one of another
// product (D). Only a successful replacement of an existing copy clears any of them, and only A.
TEST_F(InstallProcedureTest, InstallsOrFailsCleanlyAndKeepsWhatItCannotProveItsOwn) {
  int runningChecks = 0;
  struct Case {
    const char* name;
    const fs::path* previous;
    std::optional<InstalledApplicationVersion> approval;
    NativeInstaller::RunningCheck running;
    const char* ditto;  // a wrapper body in place of the real copy
    const fs::path* package;
    std::string message;  // empty: any failure
    Reason reason;
    std::string firstTool;  // empty: no tool runs
    bool mounts;
    std::string versionAtTarget;
  } cases[] = {
      {"fresh",
       nullptr,
       {},
       nullptr,
       nullptr,
       &suite_->package,
       "(installed)",
       Reason::general,
       "hdiutil attach",
       true,
       "1.4.0-beta.57"},
      {"older",
       &suite_->older,
       {},
       nullptr,
       nullptr,
       &suite_->package,
       "(installed)",
       Reason::general,
       "codesign",
       true,
       "1.4.0-beta.57"},
      {"newer, approved", &suite_->newer, InstalledApplicationVersion("1.5.0", "60"), nullptr,
       nullptr, &suite_->package, "(installed)", Reason::general, "codesign", true,
       "1.4.0-beta.57"},
      {"newer, other build approved", &suite_->newer, InstalledApplicationVersion("1.5.0", "61"),
       nullptr, nullptr, &suite_->package, "A newer version is installed",
       Reason::newerApplicationInstalled, "codesign", false, "1.5.0"},
      {"running",
       &suite_->older,
       {},
       [](const std::string& id) { return id == "dev.plovik.desktop"; },
       nullptr,
       &suite_->package,
       kRunning,
       Reason::applicationRunning,
       "",
       false,
       "1.3.0"},
      {"started during the copy",
       &suite_->older,
       {},
       [&](const std::string&) { return ++runningChecks > 1; },
       nullptr,
       &suite_->package,
       kRunning,
       Reason::applicationRunning,
       "codesign",
       true,
       "1.3.0"},
      {"copy fails part-way",
       &suite_->older,
       {},
       nullptr,
       "mkdir -p \"$2/Contents/MacOS\" && echo partial > \"$2/Contents/Info.plist\"; exit 1",
       &suite_->package,
       "Installer file check failed. Check disk space and permissions, then retry.",
       Reason::general,
       "codesign",
       true,
       "1.3.0"},
      {"bundle misnamed in the image",
       &suite_->older,
       {},
       nullptr,
       nullptr,
       &suite_->misnamedPackage,
       "",
       Reason::general,
       "codesign",
       true,
       "1.3.0"},
  };
  const std::string genuine = std::string(kPrefix) + "A.app",
                    other = ".vexa-install-dev.other-D.app";
  for (const Case& c : cases) {
    for (const std::string& name : entries(parent_))
      platform::removeItemRecursively(parent_ / name);
    fs::remove(directory_ / "tools.log");
    for (const std::string& name : {genuine, std::string(kPrefix) + "C.app", other})
      place(suite_->older, name);
    testing::writeFile(parent_ / (std::string(kPrefix) + "B.app") / "Contents" / "Info.plist",
                       "partial");
    ASSERT_TRUE(::getuid() != 0 ||
                ::lchown((parent_ / (std::string(kPrefix) + "C.app")).c_str(), 65534, 65534) == 0);
    if (c.previous) place(*c.previous, "Vexa.app");
    std::vector<std::string> leftovers = entries(parent_, ".vexa-install-");
    if (c.previous && c.message == "(installed)") {
      std::erase(leftovers, genuine);
      if (::getuid() != 0) std::erase(leftovers, std::string(kPrefix) + "C.app");
    }
    wrap("ditto",
         c.ditto ? c.ditto : "exec '" + suite_->toolset.tools().ditto.string() + "' \"$@\"");

    const auto [message, reason] = install(c.approval, c.running, *c.package);
    EXPECT_TRUE(c.message.empty() ? message != "(installed)" : message == c.message)
        << c.name << ": " << message;
    EXPECT_EQ(reason, c.reason) << c.name;
    const std::vector<std::string> tools = calls();
    EXPECT_EQ(tools.empty() ? "" : tools.front(), c.firstTool) << c.name;
    EXPECT_EQ(std::count(tools.begin(), tools.end(), "hdiutil attach"), c.mounts) << c.name;
    EXPECT_TRUE(!c.mounts || tools.back() == "hdiutil detach") << c.name;
    EXPECT_EQ(versionAtTarget(), c.versionAtTarget) << c.name;
    EXPECT_EQ(entries(parent_, ".vexa-install-"), leftovers) << c.name;
    EXPECT_TRUE(entries(directory_ / "tmp").empty()) << c.name;
  }
}

// Kills an installing process at evenly spread moments over one measured run, each time over an
// older copy: the target must hold one complete copy that passes exact verification for its
// version, and the next installation must succeed, removing genuine leftovers, keeping partial
// ones.
TEST_F(InstallProcedureTest, KillAtAnyMomentLeavesOneCompleteCopy) {
  constexpr int kKillPoints = 20;
  // Tools orphaned by a kill come to this process, which lets them finish as the system would.
  ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  testing::writeFile(directory_ / "configuration.json", configuration(suite_->package).encode());
  const std::vector<std::string> arguments = {
      fs::path(VEXA_TEST_PROGRAMS_DIR) / "install_driver", directory_ / "configuration.json",
      suite_->package, parent_, suite_->toolset.tools().hdiutil.parent_path()};
  // Runs the driver over the older copy and kills it after `delay` unless it ends first; says
  // whether it ended.
  const auto runDriver = [&](std::chrono::nanoseconds delay) {
    fs::remove_all(target_);
    place(suite_->older, "Vexa.app");
    testing::BackgroundProgram driver(arguments[0], arguments);
    siginfo_t ended{};
    for (const auto until = std::chrono::steady_clock::now() + delay;
         std::chrono::steady_clock::now() < until &&
         (::waitid(P_PID, driver.pid(), &ended, WEXITED | WNOHANG | WNOWAIT) != 0 ||
          ended.si_pid == 0);) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    driver.signal(SIGKILL);
    const bool finished = driver.wait().terminatingSignal == 0;
    while (::waitpid(-1, nullptr, 0) > 0) {
    }
    return finished;
  };
  // The longer of two complete runs (the first also warms the caches), so that on a busy machine
  // the later moments still reach the exchange at the end.
  auto duration = std::chrono::steady_clock::duration::zero();
  for (int run = 0; run < 2; ++run) {
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(runDriver(std::chrono::minutes(5)));
    duration = std::max(duration, std::chrono::steady_clock::now() - start);
  }
  int finished = 0, newAtTarget = 0, genuineLeft = 0, partialLeft = 0, workspacesLeft = 0;
  for (int point = 0; point < kKillPoints; ++point) {
    finished += runDriver(duration * (2 * point + 1) / (2 * kKillPoints));
    const std::string version = versionAtTarget();
    newAtTarget += version == "1.4.0-beta.57";
    EXPECT_NO_THROW(
        NativeInstaller::verify(target_, configuration(suite_->package, version), true, services_))
        << point;
    std::vector<std::string> partial;
    for (const std::string& name : entries(parent_, kPrefix)) {
      try {
        NativeInstaller::verify(parent_ / name, configuration(suite_->package), false, services_);
        ++genuineLeft;
      } catch (const std::exception&) {
        partial.push_back(name);
      }
    }
    partialLeft += static_cast<int>(partial.size());
    workspacesLeft += static_cast<int>(entries(directory_ / "tmp").size());
    EXPECT_EQ(install().first, "(installed)") << point;
    EXPECT_EQ(entries(parent_, kPrefix), partial) << point;
    for (const std::string& name : partial) platform::removeItemRecursively(parent_ / name);
    for (const std::string& name : entries(directory_ / "tmp"))
      platform::removeItemRecursively(directory_ / "tmp" / name);
  }
  ::prctl(PR_SET_CHILD_SUBREAPER, 0);
  std::cout << kKillPoints << " kill points over "
            << std::chrono::duration<double>(duration).count() << " s: finished first " << finished
            << ", new copy at the target " << newAtTarget << ", genuine copies left " << genuineLeft
            << ", partial copies left " << partialLeft << ", workspaces left " << workspacesLeft
            << std::endl;
}

}  // namespace
}  // namespace vexa
