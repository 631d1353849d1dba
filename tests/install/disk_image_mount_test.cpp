#include "install/disk_image_mount.h"

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "config/installer_failure.h"
#include "tests/support/package_builder.h"
#include "tests/support/temporary_directory.h"

namespace vexa {
namespace {

namespace fs = std::filesystem;

TEST(DiskImageMount, AttachesReadOnlyInLockedWorkspacesAndClearsOnlyAbandonedOnes) {
  // Given a private temporary folder (TMPDIR), an image holding Vexa.app and an hdiutil that logs
  // each call before running the stand-in.
  const testing::TemporaryDirectory directory;
  fs::create_directory(directory / "tmp");
  testing::ScopedEnvironment temporary{{"TMPDIR", (directory / "tmp").string()}};
  const SystemTools tools = SystemTools::inDirectory(directory.path());
  const fs::path log = directory / "hdiutil.log", image = directory / "package.dmg",
                 info = directory / "volume/Vexa.app/Contents/Info.plist";
  testing::writeFile(tools.hdiutil, "#!/bin/sh\necho \"$*\" >> '" + log.string() + "'\nexec '" +
                                        VEXA_BUNDLE_DIR + "/Contents/Helpers/hdiutil' \"$@\"\n");
  fs::permissions(tools.hdiutil, fs::perms::owner_all);
  testing::writeFile(info, "<plist/>");
  testing::makeImage(directory / "volume", image);
  fs::path workspace;
  {
    const DiskImageMount mount(image, tools), other(image, tools);
    workspace = mount.workspace();
    EXPECT_EQ(workspace.parent_path(), directory / "tmp");
    EXPECT_NE(other.workspace(), workspace);
    EXPECT_EQ(testing::permissionBits(workspace), 0700u);
    EXPECT_EQ(testing::readFile(mount.mountPoint() / "Vexa.app/Contents/Info.plist"), "<plist/>");
    // Files read-only; folders writable by their owner alone, so what a kill leaves is removable.
    EXPECT_EQ(testing::permissionBits(mount.mountPoint() / "Vexa.app/Contents/Info.plist") & 0222,
              0u);
    EXPECT_EQ(testing::permissionBits(mount.mountPoint() / "Vexa.app") & 0222, 0200u);
  }
  EXPECT_NE(testing::readFile(log).find("detach " + (workspace / "volume").string() + "\n"),
            std::string::npos);
  EXPECT_TRUE(fs::is_empty(directory / "tmp"));
  // A failed attach runs no detach.
  fs::remove(log);
  EXPECT_THROW(DiskImageMount(info, tools), InstallerFailure);
  EXPECT_EQ(testing::readFile(log).find("detach"), std::string::npos);
  EXPECT_TRUE(fs::is_empty(directory / "tmp"));
  // A missing temporary folder is the file system's error, never created, and no tool runs.
  fs::remove(log);
  temporary.set("TMPDIR", (directory / "gone").string());
  EXPECT_THROW(DiskImageMount(image, tools), std::system_error);
  EXPECT_FALSE(fs::exists(log));
  EXPECT_FALSE(fs::exists(directory / "gone"));

  // Of the workspaces of an install killed with its image attached, one without a lock unchanged
  // for two days, one without a lock in use, a live one, another user's (when root can make one)
  // and a link named like one, only the first two are removed, the first detached first.
  temporary.set("TMPDIR", (directory / "tmp").string());
  if (::fork() == 0) {
    const DiskImageMount killed(image, tools);
    ::_exit(0);  // no clean-up, as after a kill
  }
  ::wait(nullptr);
  const auto named = [&](char last) {
    return directory / "tmp" /
           ("vexa-install-00000000-0000-4000-8000-00000000000" + std::string(1, last));
  };
  const fs::path killed = fs::directory_iterator(directory / "tmp")->path(), stale = named('0'),
                 busy = named('1'), foreign = named('2'), link = named('3');
  const DiskImageMount live(image, tools);
  for (const fs::path& folder : {stale, busy, foreign}) fs::create_directories(folder);
  fs::last_write_time(stale, fs::file_time_type::clock::now() - std::chrono::hours(48));
  ASSERT_TRUE(::getuid() != 0 || ::chown(foreign.c_str(), 65534, 65534) == 0);
  fs::create_directory_symlink(directory / "volume", link);
  DiskImageMount::removeAbandonedWorkspaces(tools);
  for (const fs::path& path : {killed, stale})
    EXPECT_FALSE(fs::exists(fs::symlink_status(path))) << path;
  for (const fs::path& path : {busy, live.workspace(), link, info})
    EXPECT_TRUE(fs::exists(fs::symlink_status(path))) << path;
  EXPECT_EQ(fs::exists(foreign), ::getuid() == 0);
  EXPECT_NE(testing::readFile(log).find("detach " + (killed / "volume").string()),
            std::string::npos);
  EXPECT_EQ(testing::readFile(log).find("detach " + live.mountPoint().string()), std::string::npos);
}

}  // namespace
}  // namespace vexa
