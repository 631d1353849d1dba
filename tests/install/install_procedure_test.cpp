#include "install/install_procedure.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <set>

#include "config/installer_failure.h"
#include "tests/support/configuration_samples.h"
#include "tests/support/package_builder.h"
#include "tests/support/temporary_directory.h"

namespace vexa {
namespace {

namespace fs = std::filesystem;

constexpr const char* kPrefix = ".vexa-install-dev.plovik.desktop-";
constexpr const char* kInstalled = "(installed)";
constexpr auto kCopyAll = fs::copy_options::recursive | fs::copy_options::copy_symlinks;

// The names in `folder` that start with `prefix`.
std::set<std::string> entries(const fs::path& folder, const std::string& prefix = "") {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder))
    if (entry.path().filename().string().starts_with(prefix)) names.insert(entry.path().filename());
  return names;
}

// Given signed bundles of the release (packaged), an older and a newer one, tools that trust them
// and a private temporary folder, each case starts from `previous` at the target and leftovers of
// earlier attempts: a genuine copy (A), a partial one (B), one of another user's (C, when root can
// make one) and one of another product (D). Only a successful replacement of an existing copy
// clears any of them, and only A.
TEST(InstallProcedure, InstallsOrFailsCleanlyAndKeepsWhatItCannotProveItsOwn) {
  const testing::TemporaryDirectory directory;
  const testing::TestCertificateAuthority authority;
  const fs::path release = directory / "volume/Vexa.app", older = directory / "older/Vexa.app",
                 newer = directory / "newer/Vexa.app", package = directory / "Vexa.app.dmg",
                 parent = directory / "Applications", target = parent / "Vexa.app";
  const std::tuple<fs::path, const char*, const char*> releases[] = {
      {release, "1.4.0-beta.57", "57"}, {older, "1.3.0", "50"}, {newer, "1.5.0", "60"}};
  for (const auto& [bundle, version, build] : releases) {
    testing::makeBundle(bundle,
                        {.shortVersion = version, .buildText = build, .nestedBundle = true});
    testing::signBundle(bundle, authority, "QX7RZ2M4KD");
  }
  testing::makeImage(release.parent_path(), package);
  const std::string bytes = testing::readFile(package);
  const InstallConfiguration configuration = testing::withPackage(
      testing::validProductionConfiguration(), static_cast<std::int64_t>(bytes.size()),
      testing::referenceSha256(bytes));
  fs::create_directories(directory / "tmp");
  const testing::ScopedEnvironment environment{{"LANGUAGE", "en_US.UTF-8"},
                                               {"TMPDIR", (directory / "tmp").string()}};
  const struct {
    const char* name;
    fs::path previous;      // empty: none
    bool startsDuringCopy;  // the product runs from the second check on
    const char* ditto;      // a script in place of the real copy
    std::string expected;   // the message, with " (reason)" for a special reason
    std::string versionAtTarget;
  } cases[] = {
      {"fresh", {}, false, nullptr, kInstalled, "1.4.0-beta.57"},
      {"older", older, false, nullptr, kInstalled, "1.4.0-beta.57"},
      {"newer, other build approved", newer, false, nullptr,
       "A newer version is installed (reason)", "1.5.0"},
      {"started during the copy", older, true, nullptr,
       "Vexa is running. Quit it safely to continue installation. (reason)", "1.3.0"},
      {"copy fails part-way", older, false,
       "mkdir -p \"$2/Contents/MacOS\" && echo partial > \"$2/Contents/Info.plist\"; exit 1",
       "Installer file check failed. Check disk space and permissions, then retry.", "1.3.0"},
  };
  const SystemTools trusted = testing::trustedTools(directory.path(), authority);
  const std::string genuine = std::string(kPrefix) + "A.app",
                    foreign = std::string(kPrefix) + "C.app";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(parent);
    fs::create_directory(parent);
    for (const std::string& name : {genuine, foreign, std::string(".vexa-install-dev.other-D.app")})
      fs::copy(older, parent / name, kCopyAll);
    testing::writeFile(parent / (std::string(kPrefix) + "B.app/Contents/Info.plist"), "partial");
    ASSERT_TRUE(::getuid() != 0 || ::lchown((parent / foreign).c_str(), 65534, 65534) == 0);
    if (!c.previous.empty()) fs::copy(c.previous, target, kCopyAll);
    std::set<std::string> leftovers = entries(parent, ".vexa-install-");
    if (!c.previous.empty() && c.expected == kInstalled) {
      leftovers.erase(genuine);
      if (::getuid() != 0) leftovers.erase(foreign);
    }
    SystemTools tools = trusted;
    if (c.ditto) {
      testing::writeFile(tools.ditto = directory / "ditto", std::string("#!/bin/sh\n") + c.ditto);
      fs::permissions(tools.ditto, fs::perms::owner_all);
    }
    int runningChecks = 0;
    const auto running = [&](const std::string&) {
      return c.startsDuringCopy && ++runningChecks >= 2;
    };
    std::string outcome = kInstalled;
    try {
      (void)NativeInstaller::install(package, parent, configuration,
                                     InstalledApplicationVersion("1.5.0", "61"), running, {tools});
    } catch (const InstallerFailure& failure) {
      outcome = failure.what() +
                std::string(failure.reason() == InstallerFailureReason::general ? "" : " (reason)");
    }
    EXPECT_EQ(outcome, c.expected);
    EXPECT_EQ(NativeInstaller::metadata(target).at("CFBundleShortVersionString").text(),
              c.versionAtTarget);
    EXPECT_EQ(entries(parent, ".vexa-install-"), leftovers);
    EXPECT_TRUE(entries(directory / "tmp").empty());
  }
}

}  // namespace
}  // namespace vexa
