#include "install/bundle_verification.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <system_error>

#include "config/installer_failure.h"
#include "tests/support/configuration_samples.h"
#include "tests/support/package_builder.h"
#include "tests/support/temporary_directory.h"

namespace vexa {
namespace {

namespace fs = std::filesystem;
using testing::BundleLayout;
using testing::TestCertificateAuthority;

constexpr const char* kTeam = "QX7RZ2M4KD";  // the production sample's team
constexpr const char* kToolFailure = "Installer file check failed. Check disk space and permissions, then retry.";
constexpr const char* kVersionMismatch = "The application version does not match.";

BundleLayout layout(const std::function<void(BundleLayout&)>& change) {
  BundleLayout result;
  change(result);
  return result;
}

// One authority and one trusting copy of the tools per suite; bundles are built per test (signing
// a small bundle is cheap), the plain signed bundle once.
class BundleVerificationTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    suite_ = std::make_unique<Suite>();
    suite_->builder.makeBundle(suite_->signedBundle, layout([&](BundleLayout& s) { s.nestedBundle = true; }));
    suite_->builder.sign(suite_->signedBundle, suite_->authority, kTeam);
  }
  static void TearDownTestSuite() { suite_.reset(); }

  // Builds <test folder>/<name>/Vexa.app from `layout` and signs it for `team`.
  fs::path build(const std::string& name, const BundleLayout& layout, const std::string& team = kTeam,
                 const TestCertificateAuthority* signer = nullptr) const {
    const fs::path bundle = directory_ / name / "Vexa.app";
    suite_->builder.makeBundle(bundle, layout);
    suite_->builder.sign(bundle, signer != nullptr ? *signer : suite_->authority, team);
    return bundle;
  }
  // A copy of the suite's signed bundle (nested framework included) to tamper with.
  fs::path copyOfSignedBundle(const std::string& name) const {
    const fs::path bundle = directory_ / name / "Vexa.app";
    fs::create_directories(bundle.parent_path());
    fs::copy(suite_->signedBundle, bundle, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    return bundle;
  }
  VerificationServices services(std::string systemVersion = "14.5.0") const {
    return VerificationServices{suite_->toolset.tools(), [systemVersion] { return systemVersion; }};
  }
  // Services whose tools do not exist: running any of them would throw std::system_error.
  static VerificationServices withoutTools() {
    return VerificationServices{SystemTools::inDirectory("/nonexistent/tools"), [] { return std::string("14.5.0"); }};
  }
  // The English message of the InstallerFailure `action` throws, or a description of what else happened.
  static std::string failureOf(const std::function<void()>& action) {
    try {
      action();
      return "(accepted)";
    } catch (const InstallerFailure& failure) {
      return failure.what();
    } catch (const std::exception& error) {
      return std::string("(other error) ") + error.what();
    }
  }

  struct Suite {
    testing::TemporaryDirectory directory;
    TestCertificateAuthority authority;
    testing::TrustedToolset toolset{directory.path(), authority};
    testing::PackageBuilder builder;
    fs::path signedBundle = directory / "signed" / "Vexa.app";
  };
  static inline std::unique_ptr<Suite> suite_;

  testing::TemporaryDirectory directory_;
  testing::ScopedEnvironment english_{{"LANGUAGE", "en_US.UTF-8"}};
  InstallConfiguration production_ = testing::validProductionConfiguration();
};

TEST_F(BundleVerificationTest, ExactVerificationAcceptsTheConfiguredRelease) {
  TestCertificateAuthority intermediate = suite_->authority.issueIntermediate("Vexa Test Developer Authority");
  struct Case {
    const char* name;
    BundleLayout layout;
    std::string systemVersion;
    const TestCertificateAuthority* signer;
  } cases[] = {
      {"xml", BundleLayout{}, "14.5.0", nullptr},
      {"binary-integer-build", layout([&](BundleLayout& s) { s.buildText = std::nullopt; s.buildInteger = 57; s.infoFormat = BundleLayout::InfoFormat::binary; }), "14.5.0", nullptr},
      {"prefixed-build", layout([&](BundleLayout& s) { s.buildText = "20260905024501.57"; }), "14.5.0", nullptr},
      {"no-minimum-system", BundleLayout{}, "0.0.0", nullptr},
      {"minimum-equal-numerically", layout([&](BundleLayout& s) { s.minimumSystemVersion = "11.0"; }), "11.0.0", nullptr},
      {"intermediate-chain", layout([&](BundleLayout& s) { s.nestedBundle = true; }), "14.5.0", &intermediate},
  };
  for (const Case& c : cases) {
    const fs::path bundle = build(c.name, c.layout, kTeam, c.signer);
    EXPECT_EQ(failureOf([&] { NativeInstaller::verify(bundle, production_, true, services(c.systemVersion)); }),
              "(accepted)")
        << c.name;
  }
  EXPECT_EQ(failureOf([&] { NativeInstaller::verify(suite_->signedBundle, production_, true, services()); }), "(accepted)");
}

TEST_F(BundleVerificationTest, ExactVerificationStopsAtTheFirstFailingCheck) {
  TestCertificateAuthority foreign("Someone Else's Authority");
  struct Case {
    const char* name;
    BundleLayout layout;
    std::string expected;
    std::string team = kTeam;
    const TestCertificateAuthority* signer = nullptr;
    std::string systemVersion = "14.5.0";
    bool lipoMustNotRun = false;
  } cases[] = {
      {"identity", layout([&](BundleLayout& s) { s.identifier = "dev.plovik.desktop.other"; }), "The application identity does not match."},
      {"identity-case", layout([&](BundleLayout& s) { s.identifier = "dev.plovik.Desktop"; }), "The application identity does not match."},
      {"minimum-system", layout([&](BundleLayout& s) { s.minimumSystemVersion = "11.0"; }),
       "This version needs a newer macOS. Update the system, then retry.", kTeam, nullptr, "10.15.7"},
      {"short-version", layout([&](BundleLayout& s) { s.shortVersion = "1.4.00-beta.57"; }), kVersionMismatch},
      {"build", layout([&](BundleLayout& s) { s.buildText = "58"; }), kVersionMismatch},
      {"build-leading-zero", layout([&](BundleLayout& s) { s.buildText = "057"; }), kVersionMismatch},
      {"build-missing", layout([&](BundleLayout& s) { s.buildText = std::nullopt; }), kVersionMismatch},
      {"executable-parent", layout([&](BundleLayout& s) { s.executableName = "../x"; }), kVersionMismatch, kTeam, nullptr, "14.5.0", true},
      {"executable-nested", layout([&](BundleLayout& s) { s.executableName = "a/b"; }), kVersionMismatch, kTeam, nullptr, "14.5.0", true},
      {"executable-empty", layout([&](BundleLayout& s) { s.executableName = ""; }), kVersionMismatch, kTeam, nullptr, "14.5.0", true},
      {"executable-missing", layout([&](BundleLayout& s) { s.executableName = std::nullopt; }), kVersionMismatch, kTeam, nullptr, "14.5.0", true},
      {"processor", layout([&](BundleLayout& s) { s.processor = BundleLayout::Processor::arm64; }), kToolFailure},
      {"team", BundleLayout{}, kToolFailure, "L3W8N5T1VB"},
      {"authority", BundleLayout{}, kToolFailure, kTeam, &foreign},
  };
  for (const Case& c : cases) {
    const fs::path bundle = build(c.name, c.layout, c.team, c.signer);
    VerificationServices tools = services(c.systemVersion);
    if (c.lipoMustNotRun) tools.tools.lipo = "/nonexistent/lipo";
    EXPECT_EQ(failureOf([&] { NativeInstaller::verify(bundle, production_, true, tools); }), c.expected) << c.name;
  }
}

TEST_F(BundleVerificationTest, AnyChangeToTheSealedContentIsRefused) {
  struct Case {
    const char* name;
    std::function<void(const fs::path&)> change;
  } cases[] = {
      {"executable-byte",
       [](const fs::path& b) {
         std::string bytes = testing::readFile(b / "Contents/MacOS/Vexa");
         bytes[bytes.size() / 2] ^= 1;
         testing::writeFile(b / "Contents/MacOS/Vexa", bytes);
       }},
      {"info-plist-byte", [](const fs::path& b) { testing::writeFile(b / "Contents/Info.plist", testing::readFile(b / "Contents/Info.plist") + " "); }},
      {"resource-byte", [](const fs::path& b) { testing::writeFile(b / "Contents/Resources/en.lproj/Localizable.strings", "\"quit\" = \"Quit Vexa!\";\n"); }},
      {"nested-byte",
       [](const fs::path& b) {
         const fs::path file = b / "Contents/Frameworks/VexaCore.framework/Contents/Info.plist";
         testing::writeFile(file, testing::readFile(file) + "\n");
       }},
      {"seal-byte", [](const fs::path& b) { testing::writeFile(b / "Contents/_CodeSignature/CodeResources", testing::readFile(b / "Contents/_CodeSignature/CodeResources") + " "); }},
      {"added-file", [](const fs::path& b) { testing::writeFile(b / "Contents/Resources/extra.txt", ""); }},
      {"added-top-level-file", [](const fs::path& b) { testing::writeFile(b / "README", "x"); }},
      {"removed-file", [](const fs::path& b) { fs::remove(b / "Contents/PkgInfo"); }},
      {"removed-signature", [](const fs::path& b) { fs::remove(b / "Contents/_CodeSignature/CodeSignature"); }},
      {"link-leaving-bundle", [](const fs::path& b) { fs::create_symlink("../../../outside", b / "Contents/Resources/outside"); }},
      {"absolute-link", [](const fs::path& b) { fs::create_symlink("/etc/passwd", b / "Contents/Resources/passwd"); }},
      {"retargeted-link",
       [](const fs::path& b) {
         fs::remove(b / "Contents/Frameworks/VexaCore");
         fs::create_symlink("VexaCore.framework/Contents/Info.plist", b / "Contents/Frameworks/VexaCore");
       }},
      {"fifo", [](const fs::path& b) { ::mkfifo((b / "Contents/Resources/pipe").c_str(), 0600); }},
      {"fifo-as-seal",
       [](const fs::path& b) {
         fs::remove(b / "Contents/_CodeSignature/CodeSignature");
         ::mkfifo((b / "Contents/_CodeSignature/CodeSignature").c_str(), 0600);
       }},
      {"executable-bit", [](const fs::path& b) { fs::permissions(b / "Contents/MacOS/Vexa", fs::perms::owner_read | fs::perms::owner_write); }},
  };
  for (const Case& c : cases) {
    const fs::path bundle = copyOfSignedBundle(c.name);
    c.change(bundle);
    EXPECT_EQ(failureOf([&] { NativeInstaller::verify(bundle, production_, true, services()); }), kToolFailure) << c.name;
  }
}

TEST_F(BundleVerificationTest, LenientVerificationChoosesTheTeamClause) {
  InstallConfiguration staging = testing::validStagingConfiguration();
  staging.appId = production_.appId;
  production_.teamId = staging.teamId = "T3STTEAM01";
  struct Case {
    const char* name;
    const InstallConfiguration& configuration;
    const char* version;
    const char* team;
    bool accepted;
  } cases[] = {
      {"production-0x-first-fixed-team", production_, "0.9.1", "QX7RZ2M4KD", true},
      {"production-0x-second-fixed-team", production_, "0.9.1", "L3W8N5T1VB", true},
      {"production-0x-configured-team", production_, "0.9.1", "T3STTEAM01", false},
      {"production-1x-fixed-team", production_, "1.9.1", "QX7RZ2M4KD", false},
      {"production-1x-configured-team", production_, "1.9.1", "T3STTEAM01", true},
      {"staging-0x-fixed-team", staging, "0.9.1", "QX7RZ2M4KD", false},
      {"staging-0x-configured-team", staging, "0.9.1", "T3STTEAM01", true},
  };
  for (const Case& c : cases) {
    // Lenient verification ignores build, minimum system and processor.
    const fs::path bundle = build(c.name, layout([&](BundleLayout& s) { s.shortVersion = c.version; s.buildText = std::nullopt; s.minimumSystemVersion = "99.0"; s.processor = BundleLayout::Processor::arm64; }),
                                  c.team);
    EXPECT_EQ(failureOf([&] { NativeInstaller::verify(bundle, c.configuration, false, services()); }),
              c.accepted ? "(accepted)" : kToolFailure)
        << c.name;
  }
}

TEST_F(BundleVerificationTest, LenientVerificationRefusesAnUnreadableVersionBeforeAnySignatureCheck) {
  const fs::path bundle = directory_ / "Vexa.app";
  suite_->builder.makeBundle(bundle, layout([&](BundleLayout& s) { s.shortVersion = "1.2"; }));
  EXPECT_EQ(failureOf([&] { NativeInstaller::verify(bundle, production_, false, withoutTools()); }),
            "Could not read the Vexa version. Check the installed application.");
}

TEST_F(BundleVerificationTest, PathThroughASymbolicLinkIsRefused) {
  fs::create_directory_symlink(suite_->signedBundle.parent_path(), directory_ / "linked");
  EXPECT_EQ(failureOf([&] { NativeInstaller::verify(directory_ / "linked" / "Vexa.app", production_, true, withoutTools()); }),
            "The application path is invalid.");
  fs::create_directory_symlink(suite_->signedBundle, directory_ / "Vexa.app");
  EXPECT_EQ(failureOf([&] { NativeInstaller::verify(directory_ / "Vexa.app", production_, false, withoutTools()); }),
            "The application path is invalid.");
}

TEST_F(BundleVerificationTest, MetadataPassesReadAndParseErrorsThrough) {
  const fs::path bundle = directory_ / "Odd.app";
  EXPECT_THROW((void)NativeInstaller::metadata(bundle), std::system_error);
  testing::writeFile(bundle / "Contents" / "Info.plist", "this is no property list");
  EXPECT_THROW((void)NativeInstaller::metadata(bundle), platform::PropertyListError);
  testing::writeFile(bundle / "Contents" / "Info.plist",
                     "<?xml version=\"1.0\"?><plist version=\"1.0\"><array><string>x</string></array></plist>");
  EXPECT_EQ(failureOf([&] { (void)NativeInstaller::metadata(bundle); }), "The application information is invalid.");
  // A FIFO in place of the list is refused at once instead of waiting for a writer.
  fs::remove(bundle / "Contents" / "Info.plist");
  ASSERT_EQ(::mkfifo((bundle / "Contents" / "Info.plist").c_str(), 0600), 0);
  EXPECT_THROW((void)NativeInstaller::metadata(bundle), std::system_error);
}

TEST_F(BundleVerificationTest, InstalledApplicationLooksUpTheTargetLeniently) {
  // Nothing there (also a dangling link): no tool runs.
  EXPECT_EQ(NativeInstaller::installedApplication(directory_ / "Vexa.app", production_, withoutTools()), std::nullopt);
  fs::create_symlink(directory_ / "missing", directory_ / "Dangling.app");
  EXPECT_EQ(NativeInstaller::installedApplication(directory_ / "Dangling.app", production_, withoutTools()), std::nullopt);

  // Something that is not a bundle: the read error of its Info.plist.
  fs::create_directory(directory_ / "Folder.app");
  try {
    (void)NativeInstaller::installedApplication(directory_ / "Folder.app", production_, withoutTools());
    ADD_FAILURE() << "a plain folder was accepted";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code(), std::make_error_code(std::errc::no_such_file_or_directory));
  }

  const std::optional<InstalledApplication> installed =
      NativeInstaller::installedApplication(suite_->signedBundle, production_, services());
  ASSERT_TRUE(installed);
  EXPECT_EQ(installed->url, suite_->signedBundle);
  EXPECT_EQ(installed->version, InstalledApplicationVersion("1.4.0-beta.57", "57"));
}

TEST(MatchesPackagedVersion, ComparesVersionTextAndBuildNumber) {
  using platform::PropertyListValue;
  const InstallConfiguration production = testing::validProductionConfiguration();  // 1.4.0-beta.57, build 57
  InstallConfiguration staging = production;
  staging.environment = "staging";
  struct Case {
    const char* version;
    std::optional<PropertyListValue> build;
    const InstallConfiguration& configuration;
    bool matches;
  } cases[] = {
      {"1.4.0-beta.57", PropertyListValue::makeText("57"), production, true},
      {"1.4.0-beta.57", PropertyListValue::makeInteger(57), production, true},
      {"1.4.0-beta.57", PropertyListValue::makeText("20260905024501.57"), production, true},
      {"1.4.0-beta.57", PropertyListValue::makeText("20260905024501.57"), staging, false},
      {"1.4.0-beta.057", PropertyListValue::makeText("57"), production, false},
      {"1.4.0-beta.57", PropertyListValue::makeText("56"), production, false},
      {"1.4.0-beta.57", std::nullopt, production, false},
  };
  for (const Case& c : cases) {
    platform::PropertyListDictionary info;
    info["CFBundleShortVersionString"] = PropertyListValue::makeText(c.version);
    if (c.build) info["CFBundleVersion"] = *c.build;
    EXPECT_EQ(NativeInstaller::matchesPackagedVersion(info, c.configuration), c.matches)
        << c.version << " / " << (c.build ? c.build->description() : "(none)");
  }
}

TEST(CodeRequirement, NamesTheIdentifierAndTheTeamClause) {
  const InstallConfiguration configuration = testing::validProductionConfiguration();
  EXPECT_EQ(NativeInstaller::codeRequirement(configuration, false),
            "=anchor apple generic and identifier \"dev.plovik.desktop\" and certificate leaf[subject.OU] = \"QX7RZ2M4KD\"");
  EXPECT_EQ(NativeInstaller::codeRequirement(configuration, true),
            "=anchor apple generic and identifier \"dev.plovik.desktop\" and (certificate leaf[subject.OU] = "
            "\"QX7RZ2M4KD\" or certificate leaf[subject.OU] = \"L3W8N5T1VB\")");
}

}  // namespace
}  // namespace vexa
