#include "install/disk_image_mount.h"

#include <gtest/gtest.h>

#include <regex>
#include <system_error>

#include "config/installer_failure.h"
#include "tests/support/package_builder.h"
#include "tests/support/temporary_directory.h"

namespace vexa {
namespace {

namespace fs = std::filesystem;

// A private temporary folder (TMPDIR) and an hdiutil that logs each call before running the real
// one.
class DiskImageMountTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory(directory_ / "tmp");
    temporary_.set("TMPDIR", (directory_ / "tmp").string());
    tools_ = SystemTools::inDirectory(fs::path(VEXA_BUNDLE_DIR) / "Contents" / "Helpers");
    const fs::path logging = directory_ / "hdiutil";
    testing::writeFile(logging, "#!/bin/sh\necho \"$*\" >> '" + log().string() + "'\nexec '" +
                                    tools_.hdiutil.string() + "' \"$@\"\n");
    fs::permissions(logging, fs::perms::owner_all);
    tools_.hdiutil = logging;
  }

  fs::path log() const { return directory_ / "hdiutil.log"; }
  std::vector<std::string> calls() const {
    std::vector<std::string> lines;
    if (!fs::exists(log())) return lines;
    std::istringstream stream(testing::readFile(log()));
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
  }
  std::vector<fs::path> workspaces() const {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(directory_ / "tmp"))
      found.push_back(entry.path());
    return found;
  }
  fs::path package() {
    fs::create_directories(directory_ / "volume-source" / "Vexa.app" / "Contents");
    testing::writeFile(directory_ / "volume-source" / "Vexa.app" / "Contents" / "Info.plist",
                       "<plist/>");
    testing::PackageBuilder().makeImage(directory_ / "volume-source", directory_ / "package.dmg");
    return directory_ / "package.dmg";
  }

  testing::TemporaryDirectory directory_;
  testing::ScopedEnvironment temporary_;
  SystemTools tools_;
};

TEST_F(DiskImageMountTest, AttachesReadOnlyInAFreshPrivateWorkspaceAndCleansUpOnFailure) {
  const fs::path image = package();
  fs::path workspace;
  try {
    DiskImageMount mount(image, tools_);
    workspace = mount.workspace();
    EXPECT_TRUE(std::regex_match(
        workspace.filename().string(),
        std::regex(
            "vexa-install-[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")));
    EXPECT_EQ(workspace.parent_path(), directory_ / "tmp");
    EXPECT_EQ(testing::permissionBits(workspace), 0700u);
    EXPECT_EQ(mount.mountPoint(), workspace / "volume");
    EXPECT_EQ(testing::readFile(mount.mountPoint() / "Vexa.app" / "Contents" / "Info.plist"),
              "<plist/>");
    EXPECT_EQ(testing::permissionBits(mount.mountPoint() / "Vexa.app") & 0222, 0u);
    // Given any failure after a successful attach.
    throw std::runtime_error("verification failed");
  } catch (const std::runtime_error&) {
  }
  const std::vector<std::string> expected = {"attach -readonly -nobrowse -noautoopen -mountpoint " +
                                                 (workspace / "volume").string() + " " +
                                                 image.string(),
                                             "detach " + (workspace / "volume").string()};
  EXPECT_EQ(calls(), expected);
  EXPECT_TRUE(workspaces().empty());
}

TEST_F(DiskImageMountTest, FailedAttachRunsNoDetachAndRemovesTheWorkspace) {
  testing::writeFile(directory_ / "broken.dmg", "not an image");
  EXPECT_THROW(DiskImageMount(directory_ / "broken.dmg", tools_), InstallerFailure);
  ASSERT_EQ(calls().size(), 1u);
  EXPECT_TRUE(calls()[0].starts_with("attach "));
  EXPECT_TRUE(workspaces().empty());
}

TEST_F(DiskImageMountTest, EachMountUsesItsOwnWorkspace) {
  const fs::path image = package();
  DiskImageMount first(image, tools_);
  DiskImageMount second(image, tools_);
  EXPECT_NE(first.workspace(), second.workspace());
  EXPECT_EQ(workspaces().size(), 2u);
}

TEST_F(DiskImageMountTest, MissingTemporaryFolderIsTheFileSystemErrorAndRunsNoTool) {
  temporary_.set("TMPDIR", (directory_ / "gone").string());
  try {
    DiskImageMount mount(directory_ / "any.dmg", tools_);
    ADD_FAILURE() << "mounted";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code(), std::make_error_code(std::errc::no_such_file_or_directory));
  }
  EXPECT_TRUE(calls().empty());
  EXPECT_FALSE(fs::exists(directory_ / "gone"));
}

}  // namespace
}  // namespace vexa
