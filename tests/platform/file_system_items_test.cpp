#include "platform/file_system_items.h"

#include <gtest/gtest.h>

#include <system_error>

#include "tests/support/temporary_directory.h"

namespace vexa::platform {
namespace {

namespace fs = std::filesystem;

TEST(FileSystemItemsTest, RemovalNeverFollowsALink) {
  testing::TemporaryDirectory directory;
  testing::writeFile(directory / "outside" / "keep", "precious");
  // A link as the item itself, and a tree holding a link and a read-only folder.
  fs::create_directory_symlink(directory / "outside", directory / "link");
  testing::writeFile(directory / "tree" / "Contents" / "locked" / "file", "");
  fs::create_directory_symlink(directory / "outside", directory / "tree" / "Contents" / "escape");
  fs::permissions(directory / "tree" / "Contents" / "locked", fs::perms::owner_read | fs::perms::owner_exec);
  fs::permissions(directory / "tree" / "Contents", fs::perms::owner_read | fs::perms::owner_exec);

  removeItemRecursively(directory / "link");
  removeItemRecursively(directory / "tree");
  EXPECT_FALSE(fs::exists(fs::symlink_status(directory / "link")));
  EXPECT_FALSE(fs::exists(fs::symlink_status(directory / "tree")));
  EXPECT_EQ(testing::readFile(directory / "outside" / "keep"), "precious");
  try {
    removeItemRecursively(directory / "tree");
    ADD_FAILURE() << "removed a missing item";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code(), std::errc::no_such_file_or_directory);
  }
}

}  // namespace
}  // namespace vexa::platform
