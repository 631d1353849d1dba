#include "platform/reduce_motion.h"

#include <gtest/gtest.h>

#include "tests/support/temporary_directory.h"

namespace vexa::platform {
namespace {

// The desktop's animation setting, read again on every call: GTK 4, then GTK 3, then KDE.
TEST(ReduceMotionTest, FollowsTheDesktopsAnimationSetting) {
  const std::string gtk3 = "gtk-3.0/settings.ini", gtk4 = "gtk-4.0/settings.ini";
  const struct {
    std::vector<std::pair<std::string, std::string>> files;
    bool reduce;
  } cases[] = {
      {{}, false},
      {{{gtk3, "[Settings]\ngtk-enable-animations = 0\n"}}, true},
      {{{gtk4, "[Settings]\ngtk-enable-animations=true\n"},
        {gtk3, "[Settings]\ngtk-enable-animations=false\n"}},
       false},
      {{{"kdeglobals", "[KDE]\nAnimationDurationFactor=0\n"}}, true},
  };
  for (const auto& c : cases) {
    const testing::TemporaryDirectory config;
    const testing::ScopedEnvironment environment{{"XDG_CONFIG_HOME", config.path().string()}};
    for (const auto& [file, content] : c.files) testing::writeFile(config / file, content);
    EXPECT_EQ(reduceMotion(), c.reduce) << (c.files.empty() ? "" : c.files[0].second);
  }
}

}  // namespace
}  // namespace vexa::platform
