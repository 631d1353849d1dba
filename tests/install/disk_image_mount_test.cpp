#include "install/disk_image_mount.h"

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "config/installer_failure.h"
#include "platform/locked_directory.h"
#include "tests/support/package_builder.h"
#include "tests/support/temporary_directory.h"

namespace vexa {
namespace {

namespace fs = std::filesystem;

TEST(DiskImageMount, AttachesReadOnlyInPrivateWorkspacesAndLeavesNothingBehind) {
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
    // In use: no other process may take it.
    EXPECT_FALSE(platform::LockedDirectory::claimAbandoned(workspace));
    EXPECT_EQ(testing::readFile(mount.mountPoint() / "Vexa.app/Contents/Info.plist"), "<plist/>");
    EXPECT_EQ(testing::permissionBits(mount.mountPoint() / "Vexa.app") & 0222, 0u);
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
}

TEST(DiskImageMount, RemovesOnlyTheAbandonedWorkspacesOfThisUser) {
  // Given an hdiutil that logs each call, and in the temporary folder the workspace of an install
  // killed with its image attached, one of an installer that took no lock (read-only inside), a
  // live one, another user's (when root can make one), a link named like a workspace and a folder
  // that is not named like one.
  const testing::TemporaryDirectory directory;
  const fs::path temporary = directory / "tmp", log = directory / "hdiutil.log";
  testing::ScopedEnvironment environment{{"TMPDIR", temporary.string()}};
  const SystemTools tools = SystemTools::inDirectory(directory.path());
  testing::writeFile(tools.hdiutil, "#!/bin/sh\necho \"$*\" >> '" + log.string() + "'\nexec '" +
                                        VEXA_BUNDLE_DIR + "/Contents/Helpers/hdiutil' \"$@\"\n");
  fs::permissions(tools.hdiutil, fs::perms::owner_all);
  testing::writeFile(directory / "volume/Vexa.app/Contents/Info.plist", "<plist/>");
  testing::makeImage(directory / "volume", directory / "package.dmg");
  fs::create_directory(temporary);
  if (::fork() == 0) {
    const DiskImageMount killed(directory / "package.dmg", tools);
    ::_exit(0);  // no clean-up, as after a kill
  }
  ::wait(nullptr);
  const std::vector<fs::directory_entry> made(fs::directory_iterator(temporary), {});
  ASSERT_EQ(made.size(), 1u);
  const fs::path killed = made.front().path();
  const DiskImageMount live(directory / "package.dmg", tools);
  const fs::path unlocked = temporary / "vexa-install-00000000-0000-4000-8000-000000000001",
                 foreign = temporary / "vexa-install-00000000-0000-4000-8000-000000000002",
                 link = temporary / "vexa-install-00000000-0000-4000-8000-000000000003";
  testing::writeFile(unlocked / "volume/inner/file", "x");
  fs::permissions(unlocked / "volume/inner", fs::perms::owner_read | fs::perms::owner_exec);
  fs::create_directories(foreign);
  ASSERT_TRUE(::getuid() != 0 || ::chown(foreign.c_str(), 65534, 65534) == 0);
  testing::writeFile(directory / "elsewhere/file", "x");
  fs::create_directory_symlink(directory / "elsewhere", link);
  fs::create_directories(temporary / "vexa-install-notes");

  DiskImageMount::removeAbandonedWorkspaces(tools);
  const std::pair<fs::path, bool> kept[] = {{killed, false},
                                            {unlocked, false},
                                            {live.workspace(), true},
                                            {foreign, ::getuid() == 0},
                                            {link, true},
                                            {directory / "elsewhere/file", true},
                                            {temporary / "vexa-install-notes", true}};
  for (const auto& [path, expected] : kept)
    EXPECT_EQ(fs::exists(fs::symlink_status(path)), expected) << path;
  const std::string calls = testing::readFile(log);
  EXPECT_NE(calls.find("detach " + (killed / "volume").string()), std::string::npos);
  EXPECT_EQ(calls.find("detach " + live.mountPoint().string()), std::string::npos);
}

}  // namespace
}  // namespace vexa
