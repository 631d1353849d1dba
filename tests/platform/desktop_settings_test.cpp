#include "platform/desktop_settings.h"

#include <gtest/gtest.h>

#include "tests/support/qt_application.h"
#include "tests/support/temporary_directory.h"

namespace vexa::platform {
namespace {

// More contrast: a high-contrast GTK theme, else KDE's colour scheme.
TEST(DesktopSettingsTest, ContrastFollowsTheDesktopsTheme) {
  const struct {
    std::vector<std::pair<std::string, std::string>> files;
    bool increase;
  } cases[] = {
      {{}, false},
      {{{"gtk-3.0/settings.ini", "[Settings]\ngtk-theme-name=HighContrastInverse\n"}}, true},
      {{{"kdeglobals", "[General]\nColorScheme=BreezeHighContrast\n"}}, true},
  };
  for (const auto& c : cases) {
    const testing::TemporaryDirectory config;
    const testing::ScopedEnvironment environment{{"XDG_CONFIG_HOME", config.path().string()}};
    for (const auto& [file, content] : c.files) testing::writeFile(config / file, content);
    EXPECT_EQ(readDesktopSettings().increaseContrast, c.increase) << c.files.size();
  }
}

// Read once, then again only when the desktop writes its files: a folder created later and a file
// replaced by a rename are both seen, and only a real change is reported.
TEST(DesktopSettingsTest, Watch_FollowsChangesToTheFiles) {
  testing::ensureQtApplication();
  const testing::TemporaryDirectory config;
  const testing::ScopedEnvironment environment{{"XDG_CONFIG_HOME", config.path().string()}};
  std::vector<DesktopSettings> reported;
  DesktopSettingsWatch watch([&](const DesktopSettings& s) { reported.push_back(s); });
  EXPECT_EQ(watch.current(), DesktopSettings{});
  testing::writeFile(config / "gtk-3.0/new.ini",
                     "[Settings]\ngtk-enable-animations=0\ngtk-theme-name=HighContrast\n");
  std::filesystem::rename(config / "gtk-3.0/new.ini", config / "gtk-3.0/settings.ini");
  EXPECT_TRUE(testing::runEventLoopUntil([&] { return !reported.empty(); }));
  testing::writeFile(config / "unrelated", "x");
  testing::runEventLoopFor(std::chrono::milliseconds(200));
  EXPECT_EQ(reported, (std::vector<DesktopSettings>{{true, true}}));
  EXPECT_EQ(watch.current(), (DesktopSettings{true, true}));
}

}  // namespace
}  // namespace vexa::platform
