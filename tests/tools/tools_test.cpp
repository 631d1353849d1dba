// The tool stand-ins, driven through their command lines as the installer and the demo use them.
#include <gtest/gtest.h>

#include <memory>

#include "platform/child_process.h"
#include "tests/support/package_builder.h"
#include "tests/support/program_run.h"
#include "tests/support/temporary_directory.h"

namespace vexa {
namespace {

namespace fs = std::filesystem;

constexpr const char* kTeam = "TEAM000001";

// One authority and tools that trust it, per suite; bundles with a nested framework per test.
class ToolsTest : public ::testing::Test {
 protected:
  struct Suite {
    testing::TemporaryDirectory directory;
    testing::TestCertificateAuthority authority;
    testing::TrustedToolset toolset{directory.path(), authority};
  };
  static void SetUpTestSuite() { suite_ = std::make_unique<Suite>(); }
  static void TearDownTestSuite() { suite_.reset(); }

  // The tool's exit status (-1: killed), after `output` has received what it printed.
  static int run(const char* name, const std::vector<std::string>& arguments,
                 std::string* output = nullptr) {
    const fs::path tool = suite_->toolset.tools().hdiutil.parent_path() / name;
    const auto result =
        platform::runChildProcess(tool, arguments, {.timeLimit = std::chrono::seconds(60)});
    if (output != nullptr) *output = result.standardOutput;
    return result.exited ? result.exitStatus : -1;
  }
  static int verify(const fs::path& bundle) {
    return run("codesign", {"--verify", "--deep", "--strict", bundle.string()});
  }
  static int assess(const fs::path& bundle) {
    return run("spctl", {"--assess", "--type", "execute", bundle.string()});
  }
  // <test folder>/<name>/Vexa.app, changed by `change`, then signed (which may throw).
  fs::path bundle(const std::string& name,
                  const std::function<void(const fs::path&)>& change = {}) {
    const fs::path bundle = directory_ / name / "Vexa.app";
    testing::BundleLayout layout;
    layout.nestedBundle = true;
    builder_.makeBundle(bundle, layout);
    if (change) change(bundle);
    builder_.sign(bundle, suite_->authority, kTeam);
    return bundle;
  }

  static inline std::unique_ptr<Suite> suite_;
  testing::TemporaryDirectory directory_;
  testing::PackageBuilder builder_;
};

// The words in big- or little-endian order, then padding.
std::string words(std::initializer_list<std::uint32_t> values, bool big) {
  std::string bytes;
  for (std::uint32_t word : values) {
    for (int i = 0; i < 4; ++i) bytes += static_cast<char>(word >> (big ? 24 - 8 * i : 8 * i));
  }
  return bytes + std::string(64, '\0');
}

TEST_F(ToolsTest, LipoReadsElfAndMachOHeaders) {
  constexpr std::uint32_t x86 = 0x01000007, arm = 0x0100000C;
  std::string elfArm = testing::readFile(fs::path(VEXA_DEMO_PROGRAMS_DIR) / "fake_application");
  elfArm[18] = static_cast<char>(183), elfArm[19] = 0;
  const std::pair<std::string, const char*> cases[] = {
      // content, what -archs prints (nullptr: refused); -verify_arch is covered by verification
      {elfArm, "arm64"},
      {words({0xFEEDFACF, x86, 3, 2}, false), "x86_64"},
      {words({0xCAFEBABE, 2, x86, 3, 4096, 100, 12, arm, 0, 8192, 100, 14}, true), "arm64 x86_64"},
      {words({0xCAFEBABE, 0x00000034}, true), nullptr},  // a Java class
      {"#!/bin/sh\necho hello\n", nullptr},
  };
  for (const auto& [bytes, archs] : cases) {
    const std::string file = directory_ / "file";
    testing::writeFile(file, bytes);
    std::string printed;
    EXPECT_EQ(run("lipo", {"-archs", file}, &printed), archs ? 0 : 1) << archs;
    EXPECT_EQ(printed, archs ? std::string(archs) + "\n" : "");
  }
}

TEST_F(ToolsTest, CodesignEvaluatesRequirementsAndTrustsOnlyItsAnchor) {
  const fs::path signedBundle = bundle("requirements");
  testing::writeFile(directory_ / "requirement.txt", "identifier \"dev.plovik.desktop\"");
  const std::string anchored = "=anchor apple generic and identifier \"dev.plovik.desktop",
                    team = " and certificate leaf[subject.OU] = \"TEAM000001\"";
  const std::pair<std::string, int> cases[] = {
      {anchored + "\"" + team, 0},
      {(directory_ / "requirement.txt").string(), 0},  // a file holding the requirement
      {anchored + ".other\"" + team, 3},
      {anchored + "\" and certificate leaf[subject.OU] = \"team000001\"", 3},
      {anchored, 1},
  };
  for (const auto& [requirement, status] : cases) {
    EXPECT_EQ(run("codesign", {"--verify", "--deep", "--strict", "-R", requirement, signedBundle}),
              status)
        << requirement;
  }
  // The built bundle's own tools trust only the build's anchor, not this test authority.
  EXPECT_EQ(testing::runProgram(fs::path(VEXA_BUNDLE_DIR) / "Contents/Helpers/codesign",
                                {"codesign", "--verify", signedBundle.string()})
                .exitStatus,
            1);
}

TEST_F(ToolsTest, SealsRefuseLinksThatLeadOutOfTheBundle) {
  // Links are followed as the system follows them, through the links on their way.
  const std::tuple<const char*, std::vector<std::pair<const char*, const char*>>, bool> cases[] = {
      {"inside",
       {{"Contents/Current", "MacOS"}, {"Contents/Main", "Current/../MacOS/Vexa"}},
       false},
      {"up-through-a-dot-link", {{"Contents/here", "."}, {"Contents/up", "here/../.."}}, true},
      {"nested-leaves-its-bundle",
       {{"Contents/Frameworks/VexaCore.framework/Contents/up", "../.."}},
       true},
  };
  for (const auto& [name, links, leaves] : cases) {
    bool signingRefused = false;
    try {
      (void)bundle(name, [&](const fs::path& b) {
        for (const auto& [path, target] : links) fs::create_symlink(target, b / path);
      });
    } catch (const std::runtime_error&) {
      signingRefused = true;
    }
    EXPECT_EQ(signingRefused, leaves) << name;
    EXPECT_EQ(verify(directory_ / name / "Vexa.app"), leaves ? 1 : 0) << name;
  }
}

// spctl's refusal of a missing main program is covered through the lenient verification.
TEST_F(ToolsTest, DeepChecksRefuseANestedChangeUnderAResealedOuterBundle) {
  // Given a nested file changed and only the outer bundle sealed again (codesign without --deep).
  const fs::path outerOnly = bundle("outer-only");
  const fs::path nested = outerOnly / "Contents/Frameworks/VexaCore.framework/Contents/Info.plist";
  testing::writeFile(nested, testing::readFile(nested) + "\n");
  const testing::IssuedCertificate leaf =
      suite_->authority.issueCodeSigningCertificate("Developer", kTeam);
  testing::writeFile(directory_ / "leaf.pem", leaf.certificatePem);
  leaf.writePrivateKey(directory_ / "key.pem");
  ASSERT_EQ(run("codesign",
                {"--sign", directory_ / "leaf.pem", "--key", directory_ / "key.pem", outerOnly}),
            0);
  EXPECT_EQ(run("codesign", {"--verify", outerOnly}), 0);
  EXPECT_EQ(verify(outerOnly), 1);
  EXPECT_EQ(assess(outerOnly), 3);
  EXPECT_EQ(assess(bundle("good")), 0);
}

TEST_F(ToolsTest, HdiutilRoundTripsAVolumeAndDittoKeepsLinksAndModes) {
  const fs::path volume = directory_ / "volume", contents = volume / "Vexa.app/Contents";
  testing::writeFile(contents / "MacOS/Vexa", "binary");
  fs::permissions(contents / "MacOS/Vexa", fs::perms::owner_read | fs::perms::owner_exec);
  fs::create_symlink("MacOS/Vexa", contents / "current");
  const std::string image = directory_ / "package.dmg";
  ASSERT_EQ(run("hdiutil", {"create", "-srcfolder", volume, "-volname", "Vexa", image}), 0);
  EXPECT_EQ(run("hdiutil", {"create", "-srcfolder", volume, image}), 1) << "overwrote";
  const fs::path mountPoint = directory_ / "workspace" / "volume";
  fs::create_directories(mountPoint.parent_path());
  const std::vector<std::string> attach = {"attach", "-readonly", "-mountpoint", mountPoint, image};
  ASSERT_EQ(run("hdiutil", attach), 0);
  EXPECT_EQ(run("hdiutil", attach), 1) << "attached twice";
  // A copy from the volume gets the modes the image holds, not the read-only ones it shows.
  const fs::path copy = directory_ / "parent" / "copy.app";
  ASSERT_EQ(run("ditto", {mountPoint / "Vexa.app", copy}), 0);
  EXPECT_EQ(fs::read_symlink(copy / "Contents/current"), "MacOS/Vexa");
  EXPECT_EQ(testing::permissionBits(copy / "Contents/MacOS/Vexa"), 0500u);
  EXPECT_NE(run("ditto", {directory_ / "absent", directory_ / "other"}), 0);
  EXPECT_EQ(run("hdiutil", {"detach", volume}), 1) << "detached a folder nobody attached";
  EXPECT_TRUE(fs::exists(contents));
  EXPECT_EQ(run("hdiutil", {"detach", mountPoint}), 0);
  EXPECT_EQ(run("hdiutil", {"detach", mountPoint}), 1);
  EXPECT_TRUE(fs::is_empty(mountPoint.parent_path())) << "marker left behind";
}

}  // namespace
}  // namespace vexa
