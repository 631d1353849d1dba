#include "install/install_procedure.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <set>

#include "config/installer_failure.h"
#include "platform/file_system_items.h"
#include "tests/support/configuration_samples.h"
#include "tests/support/package_builder.h"
#include "tests/support/temporary_directory.h"

namespace vexa {
namespace {

namespace fs = std::filesystem;
using Reason = InstallerFailureReason;

constexpr const char* kPrefix = ".vexa-install-dev.plovik.desktop-";
constexpr const char* kInstalled = "(installed)";
constexpr const char* kRunning = "Vexa is running. Quit it safely to continue installation.";

// Signed bundles of the release, an older and a newer one, packages of the release with its
// bundle under the right name and under another (built once per suite), a private temporary folder,
// an Applications folder, and tools that log their name (hdiutil with its verb) before running the
// trusting stand-ins.
class InstallProcedureTest : public ::testing::Test {
 protected:
  struct Suite {
    testing::TemporaryDirectory directory;
    testing::TestCertificateAuthority authority;
    testing::TrustedToolset toolset{directory.path(), authority};
    fs::path release = directory / "release" / "Vexa.app", older = directory / "older" / "Vexa.app",
             newer = directory / "newer" / "Vexa.app";
    fs::path package = directory / "Vexa.app.dmg", misnamedPackage = directory / "Vexa 2.app.dmg";
  };
  static void SetUpTestSuite() {
    suite_ = std::make_unique<Suite>();
    const testing::PackageBuilder builder;
    const std::tuple<fs::path, const char*, const char*> releases[] = {
        {suite_->release, "1.4.0-beta.57", "57"},
        {suite_->older, "1.3.0", "50"},
        {suite_->newer, "1.5.0", "60"}};
    for (const auto& [bundle, version, build] : releases) {
      testing::BundleLayout layout;
      layout.shortVersion = version, layout.buildText = build;
      builder.makeBundle(bundle, layout);
      builder.sign(bundle, suite_->authority, "QX7RZ2M4KD");
    }
    for (const std::string name : {"Vexa.app", "Vexa 2.app"}) {
      const fs::path volume = suite_->directory / name;
      fs::create_directory(volume);
      fs::copy(suite_->release, volume / name, kCopyAll);
      builder.makeImage(volume, suite_->directory / (name + ".dmg"));
    }
  }
  static void TearDownTestSuite() { suite_.reset(); }
  void SetUp() override {
    fs::create_directories(directory_ / "tmp");
    fs::create_directories(parent_);
    environment_.set("TMPDIR", (directory_ / "tmp").string());
    for (const char* tool : {"hdiutil", "ditto", "codesign", "spctl", "lipo"}) wrap(tool);
  }
  // Replaces `tool` by a logging wrapper that runs `body`, by default the stand-in.
  void wrap(const std::string& tool, const char* body = nullptr) const {
    testing::writeFile(
        directory_ / "tools" / tool,
        "#!/bin/sh\necho \"" + tool + (tool == "hdiutil" ? " $1" : "") + "\" >> '" +
            (directory_ / "tools.log").string() + "'\n" +
            (body ? body
                  : "exec '" + (toolset().hdiutil.parent_path() / tool).string() + "' \"$@\"") +
            "\n");
    fs::permissions(directory_ / "tools" / tool, fs::perms::owner_all);
  }
  static const SystemTools& toolset() { return suite_->toolset.tools(); }
  static std::set<std::string> entries(const fs::path& folder, const std::string& prefix = "") {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
      if (entry.path().filename().string().starts_with(prefix))
        names.insert(entry.path().filename());
    return names;
  }
  void place(const fs::path& bundle, const std::string& name) const {
    fs::copy(bundle, parent_ / name, kCopyAll);
  }

  static constexpr auto kCopyAll = fs::copy_options::recursive | fs::copy_options::copy_symlinks;
  static inline std::unique_ptr<Suite> suite_;
  testing::TemporaryDirectory directory_;
  testing::ScopedEnvironment environment_{{"LANGUAGE", "en_US.UTF-8"}};
  fs::path parent_ = directory_ / "Applications", target_ = parent_ / "Vexa.app";
};

// Each case starts from `previous` at the target and leftovers of earlier attempts: a genuine
// copy (A), a partial one (B), one of another user's (C, when root can make one) and one of another
// product (D). Only a successful replacement of an existing copy clears any of them, and only A.
TEST_F(InstallProcedureTest, InstallsOrFailsCleanlyAndKeepsWhatItCannotProveItsOwn) {
  const fs::path *older = &suite_->older, *newer = &suite_->newer;
  const char* release = "1.4.0-beta.57";
  struct Case {
    const char* name;
    const fs::path* previous;
    const char* approvedBuild;  // of version 1.5.0; none: no approval
    int running;                // 0: never, 1: always, 2: from the second check on
    const char* ditto;          // a wrapper body in place of the real copy
    bool misnamed;              // the package holds "Vexa 2.app"
    std::string message;        // empty: any failure
    Reason reason;
    std::string firstTool;  // empty: no tool runs
    bool mounts;
    std::string versionAtTarget;
  } cases[] = {
      {"fresh", nullptr, nullptr, 0, nullptr, false, kInstalled, Reason::general, "hdiutil attach",
       true, release},
      {"older", older, nullptr, 0, nullptr, false, kInstalled, Reason::general, "codesign", true,
       release},
      {"newer, other build approved", newer, "61", 0, nullptr, false,
       "A newer version is installed", Reason::newerApplicationInstalled, "codesign", false,
       "1.5.0"},
      {"running", older, nullptr, 1, nullptr, false, kRunning, Reason::applicationRunning, "",
       false, "1.3.0"},
      {"started during the copy", older, nullptr, 2, nullptr, false, kRunning,
       Reason::applicationRunning, "codesign", true, "1.3.0"},
      {"copy fails part-way", older, nullptr, 0,
       "mkdir -p \"$2/Contents/MacOS\" && echo partial > \"$2/Contents/Info.plist\"; exit 1", false,
       "Installer file check failed. Check disk space and permissions, then retry.",
       Reason::general, "codesign", true, "1.3.0"},
      {"bundle misnamed in the image", older, nullptr, 0, nullptr, true, "", Reason::general,
       "codesign", true, "1.3.0"},
  };
  const std::string genuine = std::string(kPrefix) + "A.app",
                    foreign = std::string(kPrefix) + "C.app";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const std::string& name : entries(parent_))
      platform::removeItemRecursively(parent_ / name);
    fs::remove(directory_ / "tools.log");
    for (const std::string& name : {genuine, foreign, std::string(".vexa-install-dev.other-D.app")})
      place(suite_->older, name);
    testing::writeFile(parent_ / (std::string(kPrefix) + "B.app") / "Contents" / "Info.plist",
                       "partial");
    ASSERT_TRUE(::getuid() != 0 || ::lchown((parent_ / foreign).c_str(), 65534, 65534) == 0);
    if (c.previous) place(*c.previous, "Vexa.app");
    std::set<std::string> leftovers = entries(parent_, ".vexa-install-");
    if (c.previous && c.message == kInstalled) {
      leftovers.erase(genuine);
      if (::getuid() != 0) leftovers.erase(foreign);
    }
    wrap("ditto", c.ditto);

    const fs::path package = c.misnamed ? suite_->misnamedPackage : suite_->package;
    const std::string bytes = testing::readFile(package);
    const InstallConfiguration configuration = testing::withPackage(
        testing::validProductionConfiguration(), static_cast<std::int64_t>(bytes.size()),
        testing::referenceSha256(bytes));
    std::string message = kInstalled;
    Reason reason = Reason::general;
    int runningChecks = 0;
    const auto running = [&](const std::string& id) {
      return id == configuration.appId && c.running > 0 && ++runningChecks >= c.running;
    };
    std::optional<InstalledApplicationVersion> approval;
    if (c.approvedBuild) approval.emplace("1.5.0", c.approvedBuild);
    try {
      EXPECT_EQ(NativeInstaller::install(package, parent_, configuration, approval, running,
                                         {SystemTools::inDirectory(directory_ / "tools")}),
                target_);
    } catch (const InstallerFailure& failure) {
      message = failure.what(), reason = failure.reason();
    } catch (const std::exception& error) {  // a misnamed bundle is not found on the volume
      message = error.what();
    }
    EXPECT_TRUE(c.message.empty() ? message != kInstalled : message == c.message) << message;
    EXPECT_EQ(reason, c.reason);
    const std::string log =
        fs::exists(directory_ / "tools.log") ? testing::readFile(directory_ / "tools.log") : "";
    EXPECT_EQ(log.substr(0, log.find('\n')), c.firstTool);
    EXPECT_EQ(log.find("hdiutil attach") != std::string::npos, c.mounts) << log;
    EXPECT_EQ(log.ends_with("hdiutil detach\n"), c.mounts) << log;
    EXPECT_EQ(fs::exists(target_)
                  ? NativeInstaller::metadata(target_).at("CFBundleShortVersionString").text()
                  : "",
              c.versionAtTarget);
    EXPECT_EQ(entries(parent_, ".vexa-install-"), leftovers);
    EXPECT_TRUE(entries(directory_ / "tmp").empty());
  }
}

}  // namespace
}  // namespace vexa
