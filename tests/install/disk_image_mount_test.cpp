#include "install/disk_image_mount.h"

#include <gtest/gtest.h>

#include <system_error>

#include "config/installer_failure.h"
#include "tests/support/package_builder.h"
#include "tests/support/temporary_directory.h"

namespace vexa {
namespace {

namespace fs = std::filesystem;

// A private temporary folder (TMPDIR), an image holding Vexa.app and an hdiutil that logs each
// call before running the stand-in.
class DiskImageMountTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory(directory_ / "tmp");
    const fs::path real = fs::path(VEXA_BUNDLE_DIR) / "Contents/Helpers/hdiutil";
    testing::writeFile(tools_.hdiutil, "#!/bin/sh\necho \"$*\" >> '" + log_.string() + "'\nexec '" +
                                           real.string() + "' \"$@\"\n");
    fs::permissions(tools_.hdiutil, fs::perms::owner_all);
    testing::writeFile(directory_ / "volume/Vexa.app/Contents/Info.plist", "<plist/>");
    testing::PackageBuilder().makeImage(directory_ / "volume", image_);
  }
  std::string takeCalls() const {
    const std::string calls = fs::exists(log_) ? testing::readFile(log_) : "";
    fs::remove(log_);
    return calls;
  }
  std::size_t workspaces() const {
    return std::distance(fs::directory_iterator(directory_ / "tmp"), {});
  }

  testing::TemporaryDirectory directory_;
  testing::ScopedEnvironment temporary_{{"TMPDIR", (directory_ / "tmp").string()}};
  SystemTools tools_ = SystemTools::inDirectory(directory_.path());
  fs::path log_ = directory_ / "hdiutil.log", image_ = directory_ / "package.dmg";
};

TEST_F(DiskImageMountTest, AttachesReadOnlyInAFreshPrivateWorkspaceAndDetachesAtTheEnd) {
  fs::path workspace;
  {
    const DiskImageMount mount(image_, tools_), other(image_, tools_);
    workspace = mount.workspace();
    // vexa-install-<a version 4 UUID in capitals>
    const std::string name = workspace.filename().string();
    EXPECT_TRUE(name.starts_with("vexa-install-") && name.size() == 49 && name[27] == '4' &&
                name.find_first_not_of("0123456789ABCDEF-", 13) == std::string::npos)
        << name;
    EXPECT_EQ(workspace.parent_path(), directory_ / "tmp");
    EXPECT_NE(other.workspace(), workspace);
    EXPECT_EQ(testing::permissionBits(workspace), 0700u);
    EXPECT_EQ(mount.mountPoint(), workspace / "volume");
    EXPECT_EQ(testing::readFile(mount.mountPoint() / "Vexa.app/Contents/Info.plist"), "<plist/>");
    EXPECT_EQ(testing::permissionBits(mount.mountPoint() / "Vexa.app") & 0222, 0u);
    (void)takeCalls();
  }
  EXPECT_NE(takeCalls().find("detach " + (workspace / "volume").string() + "\n"),
            std::string::npos);
  EXPECT_EQ(workspaces(), 0u);
}

TEST_F(DiskImageMountTest, FailedAttachRunsNoDetachAndAMissingTemporaryFolderNoTool) {
  testing::writeFile(directory_ / "broken.dmg", "not an image");
  EXPECT_THROW(DiskImageMount(directory_ / "broken.dmg", tools_), InstallerFailure);
  const std::string calls = takeCalls();
  EXPECT_TRUE(calls.starts_with("attach -readonly -nobrowse -noautoopen -mountpoint ")) << calls;
  EXPECT_TRUE(calls.ends_with("/volume " + (directory_ / "broken.dmg").string() + "\n")) << calls;
  EXPECT_EQ(workspaces(), 0u);
  // A missing temporary folder is the file system's error and is never created.
  temporary_.set("TMPDIR", (directory_ / "gone").string());
  EXPECT_THROW(DiskImageMount(image_, tools_), std::filesystem::filesystem_error);
  EXPECT_EQ(takeCalls(), "");
  EXPECT_FALSE(fs::exists(directory_ / "gone"));
}

}  // namespace
}  // namespace vexa
