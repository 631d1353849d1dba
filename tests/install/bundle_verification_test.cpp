#include "install/bundle_verification.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <system_error>

#include "config/installer_failure.h"
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

// The English message of what `action` throws, or "(accepted)".
std::string failureOf(const std::function<void()>& action) try {
  action();
  return "(accepted)";
} catch (const std::exception& error) {
  return error.what();
}

// One authority, tools that trust it and one signed bundle with a nested framework, per suite.
class BundleVerificationTest : public ::testing::Test {
 protected:
  struct Suite {
    testing::TemporaryDirectory directory;
    testing::TestCertificateAuthority authority;
    testing::TrustedToolset toolset{directory.path(), authority};
    testing::PackageBuilder builder;
    fs::path signedBundle = directory / "signed" / "Vexa.app";
  };
  static void SetUpTestSuite() {
    suite_ = std::make_unique<Suite>();
    BundleLayout nested;
    nested.nestedBundle = true;
    suite_->builder.makeBundle(suite_->signedBundle, nested);
    suite_->builder.sign(suite_->signedBundle, suite_->authority, kTeam);
  }
  static void TearDownTestSuite() { suite_.reset(); }
  // Without tools, running any of them throws std::system_error.
  static VerificationServices services(std::string systemVersion = "14.5.0", bool tools = true) {
    return {tools ? suite_->toolset.tools() : SystemTools::inDirectory("/nonexistent"),
            [systemVersion] { return systemVersion; }};
  }

  static inline std::unique_ptr<Suite> suite_;
  testing::TemporaryDirectory directory_;
  testing::ScopedEnvironment english_{{"LANGUAGE", "en_US.UTF-8"}};
  InstallConfiguration production_ = testing::validProductionConfiguration();
};

// Cases with two faults pin the order of the checks; unsigned bundles show that no tool ran.
TEST_F(BundleVerificationTest, VerifyRunsItsChecksInOrderAndStopsAtTheFirstRefusal) {
  const testing::TestCertificateAuthority intermediate =
      suite_->authority.issueIntermediate("Vexa Test Developer Authority");
  InstallConfiguration arm = production_, staging = testing::validStagingConfiguration();
  arm.arch = "arm64";
  staging.appId = production_.appId, staging.teamId = "T3STTEAM01";
  using Change = std::function<void(BundleLayout&)>;
  constexpr auto arm64 = BundleLayout::Processor::arm64;
  // What the lenient form ignores: build, minimum system and processor.
  const auto lenient = [](const char* version) -> Change {
    return [=](BundleLayout& s) {
      s.shortVersion = version, s.buildText = std::nullopt, s.minimumSystemVersion = "99.0";
      s.processor = arm64;
    };
  };
  const std::string ok = "(accepted)";
  const struct {
    const char* name;
    Change change;
    std::string expected;
    bool sign = true;
    std::string systemVersion = "14.5.0";
    std::string team = kTeam;
    bool exact = true;
    const InstallConfiguration* configuration = nullptr;  // production unless given
  } cases[] = {
      {"plain", [](BundleLayout&) {}, ok, true, "0.0.0"},
      {"arm64-nested-intermediate-minimum-equal",
       [](BundleLayout& s) {
         s.processor = arm64, s.nestedBundle = true, s.minimumSystemVersion = "11.0";
       },
       ok, true, "11.0.0", kTeam, true, &arm},
      {"identity-and-minimum",
       [](BundleLayout& s) {
         s.identifier = "dev.plovik.Desktop", s.minimumSystemVersion = "99.0";
       },
       "The application identity does not match.", false},
      {"minimum-and-build",
       [](BundleLayout& s) { s.minimumSystemVersion = "11.0", s.buildText = "58"; },
       "This version needs a newer macOS. Update the system, then retry.", false, "10.15.7"},
      {"build", [](BundleLayout& s) { s.buildText = "58"; }, kVersionMismatch, false},
      {"exe-parent", [](BundleLayout& s) { s.executableName = "../x"; }, kVersionMismatch, false},
      {"exe-missing", [](BundleLayout& s) { s.executableName = std::nullopt; }, kVersionMismatch,
       false},
      {"processor", [](BundleLayout& s) { s.processor = arm64; }, kToolFailure},
      {"team", [](BundleLayout&) {}, kToolFailure, true, "", "T3STTEAM01"},
      {"lenient-unreadable-version", lenient("1.2"),
       "Could not read the Vexa version. Check the installed application.", false, "", kTeam,
       false},
      // Production 0.x copies may come from either fixed team, later ones from the configured.
      {"lenient-production-0x", lenient("0.9.1"), ok, true, "", "L3W8N5T1VB", false},
      {"lenient-production-1x", lenient("1.9.1"), kToolFailure, true, "", "L3W8N5T1VB", false},
      {"lenient-staging-0x", lenient("0.9.1"), ok, true, "", "T3STTEAM01", false, &staging},
      {"lenient-no-main-program", [](BundleLayout& s) { s.executableName = "Missing"; },
       kToolFailure, true, "", kTeam, false},
  };
  for (const auto& c : cases) {
    const fs::path bundle = directory_ / c.name / "Vexa.app";
    BundleLayout layout;
    c.change(layout);
    suite_->builder.makeBundle(bundle, layout);
    fs::remove(bundle / "Contents/MacOS/Missing");  // a main program named but absent
    if (c.sign)
      suite_->builder.sign(bundle, layout.nestedBundle ? intermediate : suite_->authority, c.team);
    EXPECT_EQ(failureOf([&] {
                NativeInstaller::verify(bundle, c.configuration ? *c.configuration : production_,
                                        c.exact, services(c.systemVersion, c.sign));
              }),
              c.expected)
        << c.name;
  }
}

TEST_F(BundleVerificationTest, AnyChangeToTheSealedContentIsRefused) {
  // Changes to copies of the signed bundle: a(ppend to), n(ew file), r(emove), l(ink out),
  // x (executable bit off).
  const std::pair<char, const char*> changes[] = {
      {'a', "Contents/Frameworks/VexaCore.framework/Contents/Info.plist"},
      {'n', "README"},
      {'r', "Contents/PkgInfo"},
      {'l', "Contents/etc"},
      {'x', "Contents/MacOS/Vexa"}};
  int copies = 0;
  for (const auto& [kind, relative] : changes) {
    const fs::path bundle = directory_ / std::to_string(++copies) / "Vexa.app",
                   item = bundle / relative;
    fs::create_directories(bundle.parent_path());
    fs::copy(suite_->signedBundle, bundle,
             fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    if (kind == 'a' || kind == 'n')
      testing::writeFile(item, kind == 'n' ? "" : testing::readFile(item) + " ");
    if (kind == 'r') fs::remove(item);
    if (kind == 'l') fs::create_symlink("/etc", item);
    if (kind == 'x') fs::permissions(item, fs::perms::owner_read);
    EXPECT_EQ(failureOf([&] { NativeInstaller::verify(bundle, production_, true, services()); }),
              kToolFailure)
        << kind << " " << relative;
  }
  // A path through a symbolic link is refused before any tool runs.
  fs::create_directory_symlink(suite_->signedBundle, directory_ / "Vexa.app");
  EXPECT_EQ(failureOf([&] {
              NativeInstaller::verify(directory_ / "Vexa.app", production_, false,
                                      services("", false));
            }),
            "The application path is invalid.");
}

TEST_F(BundleVerificationTest, MetadataPassesReadAndParseErrorsThrough) {
  const fs::path bundle = directory_ / "Odd.app", info = bundle / "Contents" / "Info.plist";
  EXPECT_THROW((void)NativeInstaller::metadata(bundle), std::system_error);
  testing::writeFile(info, "this is no property list");
  EXPECT_THROW((void)NativeInstaller::metadata(bundle), platform::PropertyListError);
  testing::writeFile(info, "<?xml version=\"1.0\"?><plist version=\"1.0\"><array/></plist>");
  EXPECT_EQ(failureOf([&] { (void)NativeInstaller::metadata(bundle); }), kInvalidInfo);
  testing::writeFile(info, testing::nestedArrays(200000, true));
  EXPECT_EQ(failureOf([&] { (void)NativeInstaller::metadata(bundle); }), kInvalidInfo);
  // A FIFO in place of the list is refused at once instead of waiting for a writer.
  fs::remove(info);
  ASSERT_EQ(::mkfifo(info.c_str(), 0600), 0);
  EXPECT_THROW((void)NativeInstaller::metadata(bundle), std::system_error);
}

TEST_F(BundleVerificationTest, InstalledApplicationLooksUpTheTargetLeniently) {
  fs::create_symlink(directory_ / "missing", directory_ / "Dangling.app");
  EXPECT_EQ(NativeInstaller::installedApplication(directory_ / "Dangling.app", production_,
                                                  services("", false)),
            std::nullopt);
  fs::create_directory(directory_ / "Folder.app");
  EXPECT_THROW((void)NativeInstaller::installedApplication(directory_ / "Folder.app", production_,
                                                           services("", false)),
               std::system_error);
  // The lenient form: a lipo that refuses everything is never asked.
  VerificationServices lenient = services();
  lenient.tools.lipo = "/bin/false";
  const auto installed =
      NativeInstaller::installedApplication(suite_->signedBundle, production_, lenient);
  ASSERT_TRUE(installed);
  EXPECT_EQ(installed->url, suite_->signedBundle);
  EXPECT_EQ(installed->version, InstalledApplicationVersion("1.4.0-beta.57", "57"));
}

TEST(MatchesPackagedVersion, ComparesVersionTextAndBuildNumber) {
  using platform::PropertyListValue;
  const InstallConfiguration production = testing::validProductionConfiguration();  // build 57
  const auto text = PropertyListValue::makeText;
  // Build numbers in their production form are read as the environment says (tested there).
  const std::tuple<const char*, std::optional<PropertyListValue>, bool> cases[] = {
      {"1.4.0-beta.57", PropertyListValue::makeInteger(57), true},
      {"1.4.0-beta.57", text("20260905024501.57"), true},
      {"1.4.0-beta.057", text("57"), false},
      {"1.4.0-beta.57", std::nullopt, false},
      // 57 seconds after the 2001 epoch: a date, never build 57.
      {"1.4.0-beta.57",
       platform::parsePropertyList("<?xml version=\"1.0\"?><plist "
                                   "version=\"1.0\"><date>2001-01-01T00:00:57Z</date></plist>"),
       false},
  };
  for (const auto& [version, build, matches] : cases) {
    platform::PropertyListDictionary info{{"CFBundleShortVersionString", text(version)}};
    if (build) info["CFBundleVersion"] = *build;
    EXPECT_EQ(NativeInstaller::matchesPackagedVersion(info, production), matches) << version;
  }
}

TEST(CodeRequirement, NamesTheIdentifierAndTheTeamClause) {
  const InstallConfiguration configuration = testing::validProductionConfiguration();
  const std::string prefix = "=anchor apple generic and identifier \"dev.plovik.desktop\" and ";
  EXPECT_EQ(NativeInstaller::codeRequirement(configuration, false),
            prefix + "certificate leaf[subject.OU] = \"QX7RZ2M4KD\"");
  EXPECT_EQ(NativeInstaller::codeRequirement(configuration, true),
            prefix +
                "(certificate leaf[subject.OU] = \"QX7RZ2M4KD\" or certificate "
                "leaf[subject.OU] = \"L3W8N5T1VB\")");
}

}  // namespace
}  // namespace vexa
