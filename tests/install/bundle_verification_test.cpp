#include "install/bundle_verification.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <system_error>

#include "tests/support/configuration_samples.h"
#include "tests/support/package_builder.h"
#include "tests/support/property_list_samples.h"
#include "tests/support/temporary_directory.h"

namespace vexa {
namespace {

namespace fs = std::filesystem;
using testing::BundleLayout;

constexpr const char* kTeam = "QX7RZ2M4KD";  // the production sample's team
constexpr const char* kToolFailure =
    "Installer file check failed. Check disk space and permissions, then retry.";
constexpr const char* kVersionMismatch = "The application version does not match.";
constexpr const char* kInvalidInfo = "The application information is invalid.";
constexpr const char* kIdentity = "The application identity does not match.";
constexpr const char* kMinimum = "This version needs a newer macOS. Update the system, then retry.";

// The English message of what `action` throws, or "" when it returns.
const auto failureOf = testing::failureMessage<std::exception>;

// An authority and tools that trust it.
class BundleVerificationTest : public ::testing::Test {
 protected:
  // Without tools, running any of them throws std::system_error.
  VerificationServices services(std::string systemVersion = "14.5.0", bool tools = true) const {
    return {tools ? tools_ : SystemTools::inDirectory("/nonexistent"),
            [systemVersion] { return systemVersion; }};
  }

  testing::TemporaryDirectory directory_;
  testing::TestCertificateAuthority authority_;
  SystemTools tools_ = testing::trustedTools(directory_ / "tools", authority_);
  testing::ScopedEnvironment english_{{"LANGUAGE", "en_US.UTF-8"}};
  InstallConfiguration production_ = testing::validProductionConfiguration();
};

// Cases with two faults (a minimum system and a wrong build, say) pin the order of the checks;
// unsigned bundles show that no tool ran.
TEST_F(BundleVerificationTest, VerifyRunsItsChecksInOrderAndStopsAtTheFirstRefusal) {
  const testing::TestCertificateAuthority intermediate =
      authority_.issueIntermediate("Vexa Test Developer Authority");
  InstallConfiguration arm = production_, staging = testing::validStagingConfiguration();
  arm.arch = "arm64";
  staging.appId = production_.appId, staging.teamId = "T3STTEAM01";
  constexpr auto arm64 = BundleLayout::Processor::arm64;
  const BundleLayout armNested{
      .minimumSystemVersion = "11.0", .processor = arm64, .nestedBundle = true};
  // What the lenient form ignores: build, minimum system and processor.
  const auto lenient = [=](const char* version) {
    return BundleLayout{
        .shortVersion = version, .buildText = {}, .minimumSystemVersion = "99", .processor = arm64};
  };
  const std::string ok;  // accepted
  const struct {
    const char* name;
    BundleLayout layout;
    std::string expected;
    bool sign = true;
    std::string systemVersion = "14.5.0";
    std::string team = kTeam;
    bool exact = true;
    const InstallConfiguration* configuration = nullptr;  // production unless given
  } cases[] = {
      {"arm64-nested-intermediate-minimum-equal", armNested, ok, true, "11.0.0", kTeam, true, &arm},
      {"identity", {.identifier = "x", .minimumSystemVersion = "99.0"}, kIdentity, false},
      {"minimum", {.buildText = "58", .minimumSystemVersion = "11.0"}, kMinimum, false, "10.15.7"},
      {"build", {.buildText = "58"}, kVersionMismatch, false},
      {"exe-parent", {.executableName = "../x"}, kVersionMismatch, false},
      {"processor", {.processor = arm64}, kToolFailure},
      {"team", {}, kToolFailure, true, "", "T3STTEAM01"},
      // Production 0.x copies may come from either fixed team, later ones from the configured.
      {"lenient-production-0x", lenient("0.9.1"), ok, true, "", "L3W8N5T1VB", false},
      {"lenient-production-1x", lenient("1.9.1"), kToolFailure, true, "", "L3W8N5T1VB", false},
      {"lenient-staging-0x", lenient("0.9.1"), ok, true, "", "T3STTEAM01", false, &staging},
  };
  for (const auto& c : cases) {
    const fs::path bundle = directory_ / c.name / "Vexa.app";
    testing::makeBundle(bundle, c.layout);
    if (c.sign)
      testing::signBundle(bundle, c.layout.nestedBundle ? intermediate : authority_, c.team);
    EXPECT_EQ(failureOf([&] {
                NativeInstaller::verify(bundle, c.configuration ? *c.configuration : production_,
                                        c.exact, services(c.systemVersion, c.sign));
              }),
              c.expected)
        << c.name;
  }
}

TEST_F(BundleVerificationTest, ChangedContentAndLinkedPathsAreRefused) {
  // A signed bundle with a file added afterwards.
  const fs::path bundle = directory_ / "Vexa.app";
  testing::makeBundle(bundle);
  testing::signBundle(bundle, authority_, kTeam);
  testing::writeFile(bundle / "Contents/README", "");
  EXPECT_EQ(failureOf([&] { NativeInstaller::verify(bundle, production_, false, services()); }),
            kToolFailure);
  // A path through a symbolic link is refused before any tool runs.
  fs::create_directory_symlink(bundle, directory_ / "Link.app");
  EXPECT_EQ(failureOf([&] {
              NativeInstaller::verify(directory_ / "Link.app", production_, false,
                                      services("", false));
            }),
            "The application path is invalid.");
}

TEST_F(BundleVerificationTest, MetadataAndInstalledApplicationPassReadErrorsThrough) {
  const fs::path bundle = directory_ / "Odd.app", info = bundle / "Contents" / "Info.plist";
  testing::writeFile(info, testing::nestedArrays(200000, true));
  EXPECT_EQ(failureOf([&] { (void)NativeInstaller::metadata(bundle); }), kInvalidInfo);
  // A FIFO in place of the list is refused at once instead of waiting for a writer.
  fs::remove(info);
  ASSERT_EQ(::mkfifo(info.c_str(), 0600), 0);
  EXPECT_THROW((void)NativeInstaller::metadata(bundle), std::system_error);
  // The installed application is nothing only when nothing is there.
  fs::create_symlink(directory_ / "missing", directory_ / "Dangling.app");
  EXPECT_EQ(NativeInstaller::installedApplication(directory_ / "Dangling.app", production_,
                                                  services("", false)),
            std::nullopt);
  fs::create_directory(directory_ / "Folder.app");
  EXPECT_THROW((void)NativeInstaller::installedApplication(directory_ / "Folder.app", production_,
                                                           services("", false)),
               std::system_error);
}

}  // namespace
}  // namespace vexa
