#pragma once

#include <QImage>
#include <functional>
#include <string>
#include <vector>

#include "config/install_configuration.h"

class QWidget;

namespace vexa {
class InstallerWindow;
}

namespace vexa::testing {

// The configuration the window tests and screenshots use: Vexa 1.4.2, a 123 456 789-byte package.
[[nodiscard]] InstallConfiguration windowConfiguration();

// Every screen the window can show, as the flow arranges it, by file-friendly name.
struct ScreenSample {
  std::string name;
  std::function<void(InstallerWindow&)> arrange;
};
[[nodiscard]] const std::vector<ScreenSample>& screenSamples();

// The languages screens are shown in: a LANGUAGE value and a short name for file names.
struct ScreenLanguage {
  std::string environment;
  std::string name;
};
[[nodiscard]] const std::vector<ScreenLanguage>& screenLanguages();

// `widget` and its children drawn at device pixel ratio 1 into a transparent ARGB image; nothing
// outside what the widgets paint themselves (a window's translucent background stays clear).
[[nodiscard]] QImage renderWidget(QWidget& widget);

}  // namespace vexa::testing
