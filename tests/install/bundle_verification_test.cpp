#include "install/bundle_verification.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <system_error>
#include <thread>

#include "config/installer_failure.h"
#include "tests/support/configuration_samples.h"
#include "tests/support/package_builder.h"
#include "tests/support/property_list_samples.h"
#include "tests/support/temporary_directory.h"

namespace vexa {
namespace {

namespace fs = std::filesystem;
using testing::BundleLayout;
using testing::TestCertificateAuthority;

constexpr const char* kTeam = "QX7RZ2M4KD";  // the production sample's team
constexpr const char* kToolFailure =
    "Installer file check failed. Check disk space and permissions, then retry.";
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
    // Each tool the verification runs logs its name and arguments, one per bracket, then runs.
    suite_->logged = suite_->toolset.tools();
    for (fs::path* tool : {&suite_->logged.lipo, &suite_->logged.codesign, &suite_->logged.spctl}) {
      const fs::path wrapper = suite_->directory / "logged" / tool->filename();
      testing::writeFile(wrapper, "#!/bin/sh\n{ printf %s " + tool->filename().string() +
                                      "; printf ' [%s]' \"$@\"; echo; } >> '" +
                                      suite_->log().string() + "'\nexec '" + tool->string() +
                                      "' \"$@\"\n");
      fs::permissions(wrapper, fs::perms::owner_all);
      *tool = wrapper;
    }
    suite_->builder.makeBundle(suite_->signedBundle,
                               layout([&](BundleLayout& s) { s.nestedBundle = true; }));
    suite_->builder.sign(suite_->signedBundle, suite_->authority, kTeam);
  }
  static void TearDownTestSuite() { suite_.reset(); }
  void SetUp() override { (void)takeCalls(); }

  // Builds <test folder>/<name>/Vexa.app from `layout` and signs it for `team`.
  fs::path build(const std::string& name, const BundleLayout& layout,
                 const std::string& team = kTeam,
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
    fs::copy(suite_->signedBundle, bundle,
             fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    return bundle;
  }
  VerificationServices services(std::string systemVersion = "14.5.0") const {
    return VerificationServices{suite_->logged, [systemVersion] { return systemVersion; }};
  }
  // A tool call as the logging tools record it.
  static std::string call(const std::string& tool, const std::vector<std::string>& arguments) {
    std::string line = tool;
    for (const std::string& argument : arguments) line += " [" + argument + "]";
    return line + "\n";
  }
  // The calls logged since the last time, one line each, in order.
  static std::string takeCalls() {
    const std::string calls = fs::exists(suite_->log()) ? testing::readFile(suite_->log()) : "";
    fs::remove(suite_->log());
    return calls;
  }
  // Services whose tools do not exist: running any of them would throw std::system_error.
  static VerificationServices withoutTools() {
    return VerificationServices{SystemTools::inDirectory("/nonexistent/tools"),
                                [] { return std::string("14.5.0"); }};
  }
  // The English message of the InstallerFailure `action` throws, or a description of what else
  // happened.
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
    SystemTools logged;
    fs::path log() const { return directory / "tools.log"; }
  };
  static inline std::unique_ptr<Suite> suite_;

  testing::TemporaryDirectory directory_;
  testing::ScopedEnvironment english_{{"LANGUAGE", "en_US.UTF-8"}};
  InstallConfiguration production_ = testing::validProductionConfiguration();
};

// One table for both strengths: the outcome, and exactly which tools ran with which arguments.
// Bundles with two faults pin the order of the checks: the first refusal wins. The bundle path
// keeps a "." segment, which the tools must receive as given, not resolved.
TEST_F(BundleVerificationTest, VerifyRunsItsChecksInOrderAndStopsAtTheFirstRefusal) {
  TestCertificateAuthority intermediate =
      suite_->authority.issueIntermediate("Vexa Test Developer Authority");
  TestCertificateAuthority foreign("Someone Else's Authority");
  InstallConfiguration production = production_;
  production.teamId = "T3STTEAM01";
  InstallConfiguration arm = production;
  arm.arch = "arm64";
  InstallConfiguration staging = testing::validStagingConfiguration();
  staging.appId = production.appId;
  staging.teamId = production.teamId;
  // What the lenient form ignores: build, minimum system and processor.
  const auto lenient = [](const char* version) {
    return layout([&](BundleLayout& s) {
      s.shortVersion = version;
      s.buildText = std::nullopt;
      s.minimumSystemVersion = "99.0";
      s.processor = BundleLayout::Processor::arm64;
    });
  };
  const std::string accepted = "(accepted)";
  const std::string identity = "The application identity does not match.";
  const std::string newerSystem =
      "This version needs a newer macOS. Update the system, then retry.";
  struct Case {
    const char* name;
    BundleLayout layout;
    std::string expected;
    const char* ran;  // the tools run, in order: lipo, codesign, spctl
    const InstallConfiguration* configuration = nullptr;  // production unless given
    bool exact = true;
    std::string team = "T3STTEAM01";
    const TestCertificateAuthority* signer = nullptr;
    std::string systemVersion = "14.5.0";
    bool legacyTeamClause = false;
  } cases[] = {
      {.name = "xml", .layout = {}, .expected = accepted, .ran = "lcs"},
      {.name = "binary-integer-build",
       .layout = layout([&](BundleLayout& s) {
         s.buildText = std::nullopt;
         s.buildInteger = 57;
         s.infoFormat = BundleLayout::InfoFormat::binary;
       }),
       .expected = accepted,
       .ran = "lcs"},
      {.name = "prefixed-build",
       .layout = layout([&](BundleLayout& s) { s.buildText = "20260905024501.57"; }),
       .expected = accepted,
       .ran = "lcs"},
      {.name = "no-minimum-system",
       .layout = {},
       .expected = accepted,
       .ran = "lcs",
       .systemVersion = "0.0.0"},
      {.name = "minimum-equal-numerically",
       .layout = layout([&](BundleLayout& s) { s.minimumSystemVersion = "11.0"; }),
       .expected = accepted,
       .ran = "lcs",
       .systemVersion = "11.0.0"},
      {.name = "intermediate-chain",
       .layout = layout([&](BundleLayout& s) { s.nestedBundle = true; }),
       .expected = accepted,
       .ran = "lcs",
       .signer = &intermediate},
      {.name = "arm64",
       .layout = layout([&](BundleLayout& s) { s.processor = BundleLayout::Processor::arm64; }),
       .expected = accepted,
       .ran = "lcs",
       .configuration = &arm},
      {.name = "identity",
       .layout = layout([&](BundleLayout& s) { s.identifier = "dev.plovik.desktop.other"; }),
       .expected = identity,
       .ran = ""},
      {.name = "identity-case",
       .layout = layout([&](BundleLayout& s) { s.identifier = "dev.plovik.Desktop"; }),
       .expected = identity,
       .ran = ""},
      {.name = "minimum-system",
       .layout = layout([&](BundleLayout& s) { s.minimumSystemVersion = "11.0"; }),
       .expected = newerSystem,
       .ran = "",
       .systemVersion = "10.15.7"},
      {.name = "short-version",
       .layout = layout([&](BundleLayout& s) { s.shortVersion = "1.4.00-beta.57"; }),
       .expected = kVersionMismatch,
       .ran = ""},
      {.name = "build",
       .layout = layout([&](BundleLayout& s) { s.buildText = "58"; }),
       .expected = kVersionMismatch,
       .ran = ""},
      {.name = "build-missing",
       .layout = layout([&](BundleLayout& s) { s.buildText = std::nullopt; }),
       .expected = kVersionMismatch,
       .ran = ""},
      {.name = "executable-parent",
       .layout = layout([&](BundleLayout& s) { s.executableName = "../x"; }),
       .expected = kVersionMismatch,
       .ran = ""},
      {.name = "executable-empty",
       .layout = layout([&](BundleLayout& s) { s.executableName = ""; }),
       .expected = kVersionMismatch,
       .ran = ""},
      {.name = "executable-missing",
       .layout = layout([&](BundleLayout& s) { s.executableName = std::nullopt; }),
       .expected = kVersionMismatch,
       .ran = ""},
      {.name = "processor",
       .layout = layout([&](BundleLayout& s) { s.processor = BundleLayout::Processor::arm64; }),
       .expected = kToolFailure,
       .ran = "l"},
      {.name = "team", .layout = {}, .expected = kToolFailure, .ran = "lc", .team = "QX7RZ2M4KD"},
      {.name = "authority",
       .layout = {},
       .expected = kToolFailure,
       .ran = "lc",
       .signer = &foreign},
      {.name = "identity-and-minimum",
       .layout = layout([&](BundleLayout& s) {
         s.identifier = "other";
         s.minimumSystemVersion = "99.0";
       }),
       .expected = identity,
       .ran = ""},
      {.name = "minimum-and-build",
       .layout = layout([&](BundleLayout& s) {
         s.minimumSystemVersion = "99.0";
         s.buildText = "58";
       }),
       .expected = newerSystem,
       .ran = ""},
      {.name = "executable-and-team",
       .layout = layout([&](BundleLayout& s) { s.executableName = "a/b"; }),
       .expected = kVersionMismatch,
       .ran = "",
       .team = "QX7RZ2M4KD"},
      {.name = "processor-and-team",
       .layout = layout([&](BundleLayout& s) { s.processor = BundleLayout::Processor::arm64; }),
       .expected = kToolFailure,
       .ran = "l",
       .team = "QX7RZ2M4KD"},
      {.name = "lenient-identity-and-team",
       .layout = layout([&](BundleLayout& s) { s.identifier = "other"; }),
       .expected = identity,
       .ran = "",
       .exact = false,
       .team = "QX7RZ2M4KD"},
      {.name = "lenient-unreadable-version-and-team",
       .layout = lenient("1.2"),
       .expected = "Could not read the Vexa version. Check the installed application.",
       .ran = "",
       .exact = false,
       .team = "QX7RZ2M4KD"},
      {.name = "lenient-production-0x-first-fixed-team",
       .layout = lenient("0.9.1"),
       .expected = accepted,
       .ran = "cs",
       .exact = false,
       .team = "QX7RZ2M4KD",
       .legacyTeamClause = true},
      {.name = "lenient-production-0x-second-fixed-team",
       .layout = lenient("0.9.1"),
       .expected = accepted,
       .ran = "cs",
       .exact = false,
       .team = "L3W8N5T1VB",
       .legacyTeamClause = true},
      {.name = "lenient-production-0x-configured-team",
       .layout = lenient("0.9.1"),
       .expected = kToolFailure,
       .ran = "c",
       .exact = false,
       .legacyTeamClause = true},
      {.name = "lenient-production-1x-fixed-team",
       .layout = lenient("1.9.1"),
       .expected = kToolFailure,
       .ran = "c",
       .exact = false,
       .team = "QX7RZ2M4KD"},
      {.name = "lenient-production-1x-configured-team",
       .layout = lenient("1.9.1"),
       .expected = accepted,
       .ran = "cs",
       .exact = false},
      {.name = "lenient-staging-0x-fixed-team",
       .layout = lenient("0.9.1"),
       .expected = kToolFailure,
       .ran = "c",
       .configuration = &staging,
       .exact = false,
       .team = "QX7RZ2M4KD"},
      {.name = "lenient-staging-0x-configured-team",
       .layout = lenient("0.9.1"),
       .expected = accepted,
       .ran = "cs",
       .configuration = &staging,
       .exact = false},
  };
  for (const Case& c : cases) {
    const fs::path bundle =
        build(c.name, c.layout, c.team, c.signer).parent_path() / "." / "Vexa.app";
    const InstallConfiguration& configuration =
        c.configuration != nullptr ? *c.configuration : production;
    EXPECT_EQ(failureOf([&] {
                NativeInstaller::verify(bundle, configuration, c.exact, services(c.systemVersion));
              }),
              c.expected)
        << c.name;
    std::string expected;
    for (const char* tool = c.ran; *tool != '\0'; ++tool) {
      const std::string path = bundle.string();
      expected +=
          *tool == 'l' ? call("lipo", {path + "/Contents/MacOS/Vexa", "-verify_arch",
                                       configuration.arch == "x64" ? "x86_64" : "arm64"})
          : *tool == 'c'
              ? call("codesign",
                     {"--verify", "--deep", "--strict", "-R",
                      NativeInstaller::codeRequirement(configuration, c.legacyTeamClause), path})
              : call("spctl", {"--assess", "--type", "execute", path});
    }
    EXPECT_EQ(takeCalls(), expected) << c.name;
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
      {"info-plist-byte",
       [](const fs::path& b) {
         testing::writeFile(b / "Contents/Info.plist",
                            testing::readFile(b / "Contents/Info.plist") + " ");
       }},
      {"resource-byte",
       [](const fs::path& b) {
         testing::writeFile(b / "Contents/Resources/en.lproj/Localizable.strings",
                            "\"quit\" = \"Quit Vexa!\";\n");
       }},
      {"nested-byte",
       [](const fs::path& b) {
         const fs::path file = b / "Contents/Frameworks/VexaCore.framework/Contents/Info.plist";
         testing::writeFile(file, testing::readFile(file) + "\n");
       }},
      {"seal-byte",
       [](const fs::path& b) {
         testing::writeFile(b / "Contents/_CodeSignature/CodeResources",
                            testing::readFile(b / "Contents/_CodeSignature/CodeResources") + " ");
       }},
      {"added-file",
       [](const fs::path& b) { testing::writeFile(b / "Contents/Resources/extra.txt", ""); }},
      {"added-top-level-file", [](const fs::path& b) { testing::writeFile(b / "README", "x"); }},
      {"removed-file", [](const fs::path& b) { fs::remove(b / "Contents/PkgInfo"); }},
      {"removed-signature",
       [](const fs::path& b) { fs::remove(b / "Contents/_CodeSignature/CodeSignature"); }},
      {"link-leaving-bundle",
       [](const fs::path& b) {
         fs::create_symlink("../../../outside", b / "Contents/Resources/outside");
       }},
      {"absolute-link",
       [](const fs::path& b) {
         fs::create_symlink("/etc/passwd", b / "Contents/Resources/passwd");
       }},
      {"retargeted-link",
       [](const fs::path& b) {
         fs::remove(b / "Contents/Frameworks/VexaCore");
         fs::create_symlink("VexaCore.framework/Contents/Info.plist",
                            b / "Contents/Frameworks/VexaCore");
       }},
      {"fifo", [](const fs::path& b) { ::mkfifo((b / "Contents/Resources/pipe").c_str(), 0600); }},
      {"fifo-as-seal",
       [](const fs::path& b) {
         fs::remove(b / "Contents/_CodeSignature/CodeSignature");
         ::mkfifo((b / "Contents/_CodeSignature/CodeSignature").c_str(), 0600);
       }},
      {"executable-bit",
       [](const fs::path& b) {
         fs::permissions(b / "Contents/MacOS/Vexa", fs::perms::owner_read | fs::perms::owner_write);
       }},
  };
  for (const Case& c : cases) {
    const fs::path bundle = copyOfSignedBundle(c.name);
    c.change(bundle);
    EXPECT_EQ(failureOf([&] { NativeInstaller::verify(bundle, production_, true, services()); }),
              kToolFailure)
        << c.name;
  }
}

TEST_F(BundleVerificationTest, PathThroughASymbolicLinkIsRefused) {
  fs::create_directory_symlink(suite_->signedBundle.parent_path(), directory_ / "linked");
  EXPECT_EQ(failureOf([&] {
              NativeInstaller::verify(directory_ / "linked" / "Vexa.app", production_, true,
                                      withoutTools());
            }),
            "The application path is invalid.");
  fs::create_directory_symlink(suite_->signedBundle, directory_ / "Vexa.app");
  EXPECT_EQ(failureOf([&] {
              NativeInstaller::verify(directory_ / "Vexa.app", production_, false, withoutTools());
            }),
            "The application path is invalid.");
}

TEST_F(BundleVerificationTest, MetadataPassesReadAndParseErrorsThrough) {
  const fs::path bundle = directory_ / "Odd.app";
  EXPECT_THROW((void)NativeInstaller::metadata(bundle), std::system_error);
  testing::writeFile(bundle / "Contents" / "Info.plist", "this is no property list");
  EXPECT_THROW((void)NativeInstaller::metadata(bundle), platform::PropertyListError);
  testing::writeFile(
      bundle / "Contents" / "Info.plist",
      "<?xml version=\"1.0\"?><plist version=\"1.0\"><array><string>x</string></array></plist>");
  EXPECT_EQ(failureOf([&] { (void)NativeInstaller::metadata(bundle); }),
            "The application information is invalid.");
  // Lists too large or too deeply nested are invalid too, also on a worker thread's ordinary stack.
  for (bool binary : {false, true}) {
    testing::writeFile(bundle / "Contents" / "Info.plist", testing::nestedArrays(200000, binary));
    std::string outcome;
    std::thread([&] {
      outcome = failureOf([&] { (void)NativeInstaller::metadata(bundle); });
    }).join();
    EXPECT_EQ(outcome, "The application information is invalid.");
  }
  // A FIFO in place of the list is refused at once instead of waiting for a writer.
  fs::remove(bundle / "Contents" / "Info.plist");
  ASSERT_EQ(::mkfifo((bundle / "Contents" / "Info.plist").c_str(), 0600), 0);
  EXPECT_THROW((void)NativeInstaller::metadata(bundle), std::system_error);
}

TEST_F(BundleVerificationTest, InstalledApplicationLooksUpTheTargetLeniently) {
  // Nothing there (also a dangling link): no tool runs.
  EXPECT_EQ(
      NativeInstaller::installedApplication(directory_ / "Vexa.app", production_, withoutTools()),
      std::nullopt);
  fs::create_symlink(directory_ / "missing", directory_ / "Dangling.app");
  EXPECT_EQ(NativeInstaller::installedApplication(directory_ / "Dangling.app", production_,
                                                  withoutTools()),
            std::nullopt);

  // Something that is not a bundle: the read error of its Info.plist.
  fs::create_directory(directory_ / "Folder.app");
  try {
    (void)NativeInstaller::installedApplication(directory_ / "Folder.app", production_,
                                                withoutTools());
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
  const InstallConfiguration production =
      testing::validProductionConfiguration();  // 1.4.0-beta.57, build 57
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
      // 57 seconds after the 2001 epoch: a date, never build 57.
      {"1.4.0-beta.57",
       platform::parsePropertyList("<?xml version=\"1.0\"?><plist "
                                   "version=\"1.0\"><date>2001-01-01T00:00:57Z</date></plist>"),
       production, false},
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
            "=anchor apple generic and identifier \"dev.plovik.desktop\" and certificate "
            "leaf[subject.OU] = \"QX7RZ2M4KD\"");
  EXPECT_EQ(NativeInstaller::codeRequirement(configuration, true),
            "=anchor apple generic and identifier \"dev.plovik.desktop\" and (certificate "
            "leaf[subject.OU] = "
            "\"QX7RZ2M4KD\" or certificate leaf[subject.OU] = \"L3W8N5T1VB\")");
}

}  // namespace
}  // namespace vexa
