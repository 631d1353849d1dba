#include "platform/reduce_motion.h"

#include <gtest/gtest.h>

#include "tests/support/temporary_directory.h"

namespace vexa::platform {
namespace {

using testing::ScopedEnvironment;
using testing::TemporaryDirectory;
using testing::writeFile;

TEST(ReduceMotionTest, FollowsTheDesktopsAnimationSetting) {
  struct Case {
    const char* name;
    std::vector<std::pair<const char*, const char*>> files;
    bool reduce;
  };
  const Case cases[] = {
      {"no setting anywhere", {}, false},
      {"gtk animations off",
       {{"gtk-3.0/settings.ini", "[Settings]\ngtk-enable-animations=false\n"}},
       true},
      {"gtk animations off as 0",
       {{"gtk-3.0/settings.ini", "[Settings]\ngtk-enable-animations = 0\n"}},
       true},
      {"gtk animations on",
       {{"gtk-3.0/settings.ini", "[Settings]\ngtk-enable-animations=true\n"}},
       false},
      {"gtk file without the key",
       {{"gtk-3.0/settings.ini", "[Settings]\ngtk-theme-name=Adwaita\n"}},
       false},
      {"gtk 4 decides before gtk 3",
       {{"gtk-4.0/settings.ini", "[Settings]\ngtk-enable-animations=true\n"},
        {"gtk-3.0/settings.ini", "[Settings]\ngtk-enable-animations=false\n"}},
       false},
      {"kde instant animations", {{"kdeglobals", "[KDE]\nAnimationDurationFactor=0\n"}}, true},
      {"kde slower animations", {{"kdeglobals", "[KDE]\nAnimationDurationFactor=0.5\n"}}, false},
      {"unreadable junk", {{"kdeglobals", "\x01\x02 not an ini file ["}}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TemporaryDirectory config;
    ScopedEnvironment environment{{"XDG_CONFIG_HOME", config.path().string()}};
    for (const auto& [file, content] : c.files) writeFile(config / file, content);
    EXPECT_EQ(reduceMotion(), c.reduce);
  }
}

// The preference is read on every call, so turning it on takes effect at once.
TEST(ReduceMotionTest, SeesAChangeWithoutRestart) {
  TemporaryDirectory config;
  ScopedEnvironment environment{{"XDG_CONFIG_HOME", config.path().string()}};
  EXPECT_FALSE(reduceMotion());
  writeFile(config / "gtk-3.0/settings.ini", "[Settings]\ngtk-enable-animations=false\n");
  EXPECT_TRUE(reduceMotion());
}

}  // namespace
}  // namespace vexa::platform
