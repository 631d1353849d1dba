// Draws every screen of the installer window in every language to <folder>/<screen>-<lang>.png,
// for people to look at. Usage: render_screens <folder>. Runs without a display (offscreen).
#include <QApplication>
#include <QDir>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "platform/main_bundle.h"
#include "tests/support/temporary_directory.h"
#include "tests/ui/screen_samples.h"
#include "ui/installer_window.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <folder>\n", argv[0]);
    return 2;
  }
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication application(argc, argv);
  const std::filesystem::path folder = argv[1];
  std::filesystem::create_directories(folder);

  int written = 0;
  for (const vexa::testing::ScreenLanguage& language : vexa::testing::screenLanguages()) {
    vexa::testing::ScopedEnvironment environment{{"LANGUAGE", language.environment}};
    for (const vexa::testing::ScreenSample& sample : vexa::testing::screenSamples()) {
      // Reduce motion keeps the indeterminate bar's still segment visible in a single frame.
      vexa::InstallerWindow window(vexa::testing::windowConfiguration(),
                                   {.bundle = vexa::platform::MainBundle(VEXA_BUNDLE_DIR),
                                    .reduceMotion = [] { return true; }});
      sample.arrange(window);
      const std::filesystem::path file = folder / (sample.name + "-" + language.name + ".png");
      if (!vexa::testing::renderWidget(window).save(QString::fromStdString(file.string()), "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", file.c_str());
        return 1;
      }
      ++written;
    }
  }
  std::printf("%d screens written to %s\n", written, folder.c_str());
  return 0;
}
