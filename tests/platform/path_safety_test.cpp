#include "platform/path_safety.h"

#include <gtest/gtest.h>

#include "platform/private_directory.h"
#include "tests/support/temporary_directory.h"

namespace vexa::platform {
namespace {

namespace fs = std::filesystem;

class PathSafetyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(temporary_ / "real" / "inner");
    fs::create_directory_symlink(temporary_ / "real", temporary_ / "link");
    fs::create_symlink(temporary_ / "nowhere", temporary_ / "real" / "dangling");
    fs::create_symlink(temporary_ / "real" / "loop", temporary_ / "real" / "loop");
  }
  testing::TemporaryDirectory temporary_;
};

TEST_F(PathSafetyTest, ResolvesToItself_RefusesEveryPathThroughALink) {
  const struct {
    fs::path path;
    bool safe;
  } cases[] = {
      {temporary_ / "real" / "." / "inner" / "..", true},  // dot segments alone are harmless
      {temporary_ / "real" / "missing" / "deeper", true},  // missing parts cannot be links
      {temporary_ / "link" / "inner", false},
      // What cannot be resolved is not safe either.
      {temporary_ / "real" / "loop" / "deeper", false},
  };
  for (const auto& c : cases) EXPECT_EQ(resolvesToItself(c.path), c.safe) << c.path;
}

TEST_F(PathSafetyTest, CreatePrivateDirectories_MakesNewFolders0700AndNothingBehindALink) {
  fs::permissions(temporary_ / "real", fs::perms(0755));
  createPrivateDirectories(temporary_ / "real" / "a" / "b");
  EXPECT_EQ(testing::permissionBits(temporary_ / "real"), 0755u);
  EXPECT_EQ(testing::permissionBits(temporary_ / "real" / "a"), 0700u);
  EXPECT_EQ(testing::permissionBits(temporary_ / "real" / "a" / "b"), 0700u);
  // Nothing is made behind a link, wherever on the path it is.
  for (const fs::path& throughLink :
       {temporary_ / "link" / "made", temporary_ / "real" / "dangling" / "made"})
    EXPECT_THROW(createPrivateDirectories(throughLink), std::system_error) << throughLink;
  EXPECT_FALSE(fs::exists(temporary_ / "real" / "made"));
  EXPECT_FALSE(fs::exists(fs::symlink_status(temporary_ / "nowhere")));
  EXPECT_THROW(restrictToOwner(temporary_ / "link"), std::system_error);
  EXPECT_EQ(testing::permissionBits(temporary_ / "real"), 0755u);
}

}  // namespace
}  // namespace vexa::platform
