// The tool stand-ins, driven through their command lines as the installer and the demo use them.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <memory>

#include "platform/child_process.h"
#include "tests/support/package_builder.h"
#include "tests/support/temporary_directory.h"

namespace vexa {
namespace {

namespace fs = std::filesystem;
using testing::BundleLayout;

class ToolsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { suite_ = std::make_unique<Suite>(); }
  static void TearDownTestSuite() { suite_.reset(); }

  static const SystemTools& tools() { return suite_->toolset.tools(); }
  // The tool's exit status, or -1 when it died of a signal or hung past a generous bound.
  static int run(const fs::path& tool, const std::vector<std::string>& arguments,
                 std::string* output = nullptr) {
    const platform::ChildProcessResult result =
        platform::runChildProcess(tool, arguments, {.timeLimit = std::chrono::seconds(60)});
    if (output != nullptr) *output = result.standardOutput;
    return result.exited ? result.exitStatus : -1;
  }
  fs::path signedBundle(const std::string& name, const BundleLayout& layout = {}) const {
    const fs::path bundle = directory_ / name / "Vexa.app";
    suite_->builder.makeBundle(bundle, layout);
    suite_->builder.sign(bundle, suite_->authority, "TEAM000001");
    return bundle;
  }

  struct Suite {
    testing::TemporaryDirectory directory;
    testing::TestCertificateAuthority authority;
    testing::TrustedToolset toolset{directory.path(), authority};
    testing::PackageBuilder builder;
  };
  static inline std::unique_ptr<Suite> suite_;
  testing::TemporaryDirectory directory_;
};

std::string bigEndian(std::initializer_list<std::uint32_t> words) {
  std::string bytes;
  for (std::uint32_t word : words) {
    for (int shift = 24; shift >= 0; shift -= 8) bytes += static_cast<char>((word >> shift) & 0xFF);
  }
  return bytes;
}
std::string littleEndian(std::initializer_list<std::uint32_t> words) {
  std::string bytes;
  for (std::uint32_t word : words) {
    for (int shift = 0; shift <= 24; shift += 8) bytes += static_cast<char>((word >> shift) & 0xFF);
  }
  return bytes;
}

TEST_F(ToolsTest, LipoReadsElfAndMachOHeaders) {
  constexpr std::uint32_t x86 = 0x01000007, arm = 0x0100000C;
  const std::string padding(64, '\0');
  std::string elfArm = testing::readFile(fs::path(VEXA_DEMO_PROGRAMS_DIR) / "fake_application");
  elfArm[18] = static_cast<char>(183);
  elfArm[19] = 0;
  struct Case {
    const char* name;
    std::string bytes;
    const char* archs;  // what -archs prints; nullptr when lipo must refuse the file
    void (*make)(const fs::path&) = nullptr;  // makes something other than a file of `bytes`
  } cases[] = {
      {"elf-x86_64", testing::readFile(fs::path(VEXA_DEMO_PROGRAMS_DIR) / "fake_application"),
       "x86_64"},
      {"elf-arm64", elfArm, "arm64"},
      {"macho-x86_64", littleEndian({0xFEEDFACF, x86, 3, 2}) + padding, "x86_64"},
      {"macho-arm64", littleEndian({0xFEEDFACF, arm, 0, 2}) + padding, "arm64"},
      {"fat", bigEndian({0xCAFEBABE, 2, x86, 3, 4096, 100, 12, arm, 0, 8192, 100, 14}) + padding,
       "arm64 x86_64"},
      {"fat64", bigEndian({0xCAFEBABF, 1, arm, 0, 0, 4096, 0, 100, 14, 0}) + padding, "arm64"},
      {"java-class", bigEndian({0xCAFEBABE, 0x00000034}) + padding, nullptr},
      {"script", "#!/bin/sh\necho hello\n" + padding, nullptr},
      {"empty", "", nullptr},
      {"fifo", "", nullptr, [](const fs::path& f) { ASSERT_EQ(::mkfifo(f.c_str(), 0600), 0); }},
      {"link-to-elf", "", nullptr, [](const fs::path& f) { fs::create_symlink("elf-x86_64", f); }},
  };
  for (const Case& c : cases) {
    const fs::path file = directory_ / c.name;
    c.make != nullptr ? c.make(file) : testing::writeFile(file, c.bytes);
    std::string printed;
    const int status = run(tools().lipo, {"-archs", file.string()}, &printed);
    if (c.archs == nullptr) {
      EXPECT_EQ(status, 1) << c.name;
      EXPECT_EQ(run(tools().lipo, {file.string(), "-verify_arch", "x86_64"}), 1) << c.name;
      continue;
    }
    EXPECT_EQ(status, 0) << c.name;
    EXPECT_EQ(printed, std::string(c.archs) + "\n") << c.name;
    const std::string archs = c.archs;
    for (const char* architecture : {"x86_64", "arm64"}) {
      EXPECT_EQ(run(tools().lipo, {file.string(), "-verify_arch", architecture}),
                archs.find(architecture) != std::string::npos ? 0 : 1)
          << c.name << " " << architecture;
    }
  }
  EXPECT_EQ(run(tools().lipo, {(directory_ / "fat").string(), "-verify_arch", "x86_64", "arm64"}),
            0);
  EXPECT_EQ(
      run(tools().lipo, {(directory_ / "macho-arm64").string(), "-verify_arch", "arm64", "x86_64"}),
      1);
}

TEST_F(ToolsTest, CodesignEvaluatesRequirements) {
  const fs::path bundle = signedBundle("requirements");
  testing::writeFile(directory_ / "requirement.txt", "identifier \"dev.plovik.desktop\"");
  struct Case {
    std::string requirement;
    int status;
  } cases[] = {
      {"=anchor apple generic and identifier \"dev.plovik.desktop\" and certificate "
       "leaf[subject.OU] = \"TEAM000001\"",
       0},
      {"=anchor apple generic and identifier \"dev.plovik.desktop\" and (certificate "
       "leaf[subject.OU] = \"X\" or "
       "certificate leaf[subject.OU] = \"TEAM000001\")",
       0},
      {"=identifier \"dev.plovik.desktop\" and ((certificate leaf[subject.OU] = \"X\"))", 3},
      {"=anchor apple generic and identifier \"dev.plovik.desktop.other\" and certificate "
       "leaf[subject.OU] = \"TEAM000001\"",
       3},
      {"=anchor apple generic and identifier \"dev.plovik.desktop\" and certificate "
       "leaf[subject.OU] = \"team000001\"",
       3},
      {(directory_ / "requirement.txt").string(), 0},
      {"=anchor apple generic and", 1},
      {"=identifier \"dev.plovik.desktop", 1},
      {"=anchor apple generic or or", 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(run(tools().codesign,
                  {"--verify", "--deep", "--strict", "-R", c.requirement, bundle.string()}),
              c.status)
        << c.requirement;
  }
  // The built bundle's own tools trust only the build's anchor, not this test authority.
  EXPECT_EQ(
      run(fs::path(VEXA_BUNDLE_DIR) / "Contents/Helpers/codesign", {"--verify", bundle.string()}),
      1);
}

TEST_F(ToolsTest, SealsRefuseLinksThatLeadOutOfTheBundle) {
  // Links are followed as the system follows them, through the links on their way.
  struct Case {
    const char* name;
    std::vector<std::pair<const char*, const char*>> links;  // path in the bundle, target
    bool leaves;
  } cases[] = {
      {"inside",
       {{"Contents/Current", "MacOS"}, {"Contents/Main", "Current/../MacOS/Vexa"}},
       false},
      {"dangling-inside", {{"Contents/Later", "Missing/../../Contents"}}, false},
      {"up-through-a-dot-link", {{"Contents/here", "."}, {"Contents/up", "here/../.."}}, true},
      {"up-through-two-links",
       {{"Contents/here", "."},
        {"Contents/Resources/there", "../here"},
        {"Contents/Resources/up", "there/../.."}},
       true},
      {"out-and-back", {{"Contents/back", "../../Vexa.app/Contents"}}, true},
      {"loop", {{"Contents/a", "b"}, {"Contents/b", "a"}}, true},
      {"absolute", {{"Contents/root", "/"}}, true},
      {"nested-leaves-its-bundle",
       {{"Contents/Frameworks/VexaCore.framework/Contents/up", "../.."}},
       true},
  };
  for (const Case& c : cases) {
    const fs::path bundle = directory_ / c.name / "Vexa.app";
    BundleLayout layout;
    layout.nestedBundle = true;
    suite_->builder.makeBundle(bundle, layout);
    for (const auto& [path, target] : c.links) fs::create_symlink(target, bundle / path);
    const auto sign = [&] { suite_->builder.sign(bundle, suite_->authority, "TEAM000001"); };
    if (c.leaves) {
      EXPECT_THROW(sign(), std::runtime_error) << c.name;
    } else {
      EXPECT_NO_THROW(sign()) << c.name;
    }
    EXPECT_EQ(run(tools().codesign, {"--verify", "--deep", "--strict", bundle.string()}),
              c.leaves ? 1 : 0)
        << c.name;
  }
}

TEST_F(ToolsTest, DeepVerificationChecksNestedBundlesOwnSeals) {
  const fs::path bundle = directory_ / "deep" / "Vexa.app";
  BundleLayout layout;
  layout.nestedBundle = true;
  suite_->builder.makeBundle(bundle, layout);
  suite_->builder.sign(bundle, suite_->authority, "TEAM000001");
  // Given a nested file changed and only the outer bundle sealed again (codesign without --deep).
  const fs::path nestedFile = bundle / "Contents/Frameworks/VexaCore.framework/Contents/Info.plist";
  testing::writeFile(nestedFile, testing::readFile(nestedFile) + "\n");
  const testing::IssuedCertificate leaf =
      suite_->authority.issueCodeSigningCertificate("Developer", "TEAM000001");
  testing::writeFile(directory_ / "leaf.pem", leaf.certificatePem);
  leaf.writePrivateKey(directory_ / "leaf-key.pem");
  ASSERT_EQ(run(tools().codesign, {"--sign", (directory_ / "leaf.pem").string(), "--key",
                                   (directory_ / "leaf-key.pem").string(), bundle.string()}),
            0);
  EXPECT_EQ(run(tools().codesign, {"--verify", bundle.string()}), 0);
  EXPECT_EQ(run(tools().codesign, {"--verify", "--deep", "--strict", bundle.string()}), 1);
  EXPECT_EQ(run(tools().spctl, {"--assess", "--type", "execute", bundle.string()}), 3);
}

TEST_F(ToolsTest, SpctlNeedsAnExecutableMainProgram) {
  EXPECT_EQ(run(tools().spctl, {"--assess", "--type", "execute", signedBundle("good").string()}),
            0);
  BundleLayout layout;
  layout.executableName = "Missing";
  const fs::path bundle = directory_ / "missing" / "Vexa.app";
  suite_->builder.makeBundle(bundle, layout);
  fs::remove(bundle / "Contents/MacOS/Missing");
  suite_->builder.sign(bundle, suite_->authority, "TEAM000001");
  EXPECT_EQ(run(tools().codesign, {"--verify", "--deep", "--strict", bundle.string()}), 0);
  EXPECT_EQ(run(tools().spctl, {"--assess", "--type", "execute", bundle.string()}), 3);
}

TEST_F(ToolsTest, HdiutilRoundTripsAVolumeAndDetachesOnlyWhatItAttached) {
  const fs::path volume = directory_ / "volume";
  testing::writeFile(volume / "Vexa.app/Contents/MacOS/Vexa", "binary");
  fs::permissions(volume / "Vexa.app/Contents/MacOS/Vexa", fs::perms::owner_all);
  fs::create_symlink("Vexa.app/Contents/MacOS/Vexa", volume / "link");
  const fs::path image = directory_ / "package.dmg";
  ASSERT_EQ(run(tools().hdiutil,
                {"create", "-srcfolder", volume.string(), "-volname", "Vexa", image.string()}),
            0);
  EXPECT_EQ(run(tools().hdiutil, {"create", "-srcfolder", volume.string(), image.string()}), 1)
      << "overwrote an image";

  const fs::path mountPoint = directory_ / "workspace" / "volume";
  fs::create_directories(mountPoint.parent_path());
  ASSERT_EQ(run(tools().hdiutil, {"attach", "-readonly", "-nobrowse", "-noautoopen", "-mountpoint",
                                  mountPoint.string(), image.string()}),
            0);
  EXPECT_EQ(testing::readFile(mountPoint / "link"), "binary");
  EXPECT_EQ(fs::read_symlink(mountPoint / "link"), "Vexa.app/Contents/MacOS/Vexa");
  EXPECT_EQ(testing::permissionBits(mountPoint / "Vexa.app/Contents/MacOS/Vexa"), 0500u);
  EXPECT_EQ(testing::permissionBits(mountPoint / "Vexa.app") & 0222, 0u);
  // A copy from the volume gets the modes the image holds, not the read-only ones it shows.
  ASSERT_EQ(
      run(tools().ditto, {(mountPoint / "Vexa.app").string(), (directory_ / "copy.app").string()}),
      0);
  EXPECT_EQ(testing::permissionBits(directory_ / "copy.app/Contents/MacOS/Vexa"), 0700u);
  EXPECT_EQ(testing::permissionBits(directory_ / "copy.app/Contents"),
            testing::permissionBits(volume / "Vexa.app/Contents"));
  // A second attach on a busy mount point and a detach of a folder nobody attached both fail.
  EXPECT_EQ(run(tools().hdiutil,
                {"attach", "-readonly", "-mountpoint", mountPoint.string(), image.string()}),
            1);
  EXPECT_EQ(run(tools().hdiutil, {"detach", volume.string()}), 1);
  EXPECT_TRUE(fs::exists(volume / "Vexa.app"));

  EXPECT_EQ(run(tools().hdiutil, {"detach", mountPoint.string()}), 0);
  EXPECT_FALSE(fs::exists(mountPoint));
  EXPECT_EQ(run(tools().hdiutil, {"detach", mountPoint.string()}), 1);
  EXPECT_EQ(fs::directory_iterator(mountPoint.parent_path()), fs::directory_iterator())
      << "marker left behind";
}

TEST_F(ToolsTest, DittoKeepsLinksModesAndTimes) {
  const fs::path source = directory_ / "source.app";
  testing::writeFile(source / "Contents/MacOS/Vexa", "binary");
  fs::permissions(source / "Contents/MacOS/Vexa", fs::perms::owner_read | fs::perms::owner_exec);
  fs::create_symlink("MacOS/Vexa", source / "Contents/current");
  const auto stamp = fs::last_write_time(source / "Contents/MacOS/Vexa") - std::chrono::hours(48);
  fs::last_write_time(source / "Contents/MacOS/Vexa", stamp);
  fs::permissions(source / "Contents/MacOS", fs::perms::owner_read | fs::perms::owner_exec);

  const fs::path copy = directory_ / "parent" / "copy.app";
  ASSERT_EQ(run(tools().ditto, {source.string(), copy.string()}), 0);
  EXPECT_EQ(testing::readFile(copy / "Contents/MacOS/Vexa"), "binary");
  EXPECT_EQ(testing::permissionBits(copy / "Contents/MacOS/Vexa"), 0500u);
  EXPECT_EQ(testing::permissionBits(copy / "Contents/MacOS"), 0500u);
  EXPECT_EQ(fs::last_write_time(copy / "Contents/MacOS/Vexa"), stamp);
  EXPECT_EQ(fs::read_symlink(copy / "Contents/current"), "MacOS/Vexa");
  EXPECT_NE(run(tools().ditto, {(directory_ / "absent").string(), (directory_ / "other").string()}),
            0);
}

}  // namespace
}  // namespace vexa
