#include "platform/gui_application.h"

#include <QApplication>
#include <cstdlib>
#include <string>

namespace vexa::platform {
namespace {

// While probing for a display, Qt explains at length why a platform could not be loaded (and that
// the runtime folder is unset); the fallback is deliberate, so warnings made while the application
// object is constructed are noise. Fatal messages still go through.
QtMessageHandler previousHandler = nullptr;
void quietPlatformProbe(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (type == QtDebugMsg || type == QtInfoMsg || type == QtWarningMsg) return;
  if (previousHandler != nullptr) previousHandler(type, context, message);
}

}  // namespace

GuiApplication::GuiApplication(int& argc, char** argv) : argc_(argc), argv_(argv) {}

GuiApplication::~GuiApplication() = default;

QApplication& GuiApplication::application() {
  if (!application_) {
    std::string platforms;
    if (const char* chosen = std::getenv("QT_QPA_PLATFORM"); chosen != nullptr && *chosen != '\0') {
      platforms = chosen;
    } else if (const char* wayland = std::getenv("WAYLAND_DISPLAY");
               wayland != nullptr && *wayland != '\0') {
      platforms = "wayland;xcb";
    } else {
      platforms = "xcb";
    }
    if (platforms.find("minimal") == std::string::npos) platforms += ";minimal";
    ::setenv("QT_QPA_PLATFORM", platforms.c_str(), 1);
    previousHandler = qInstallMessageHandler(quietPlatformProbe);
    application_ = std::make_unique<QApplication>(argc_, argv_);
    qInstallMessageHandler(previousHandler);
  }
  return *application_;
}

bool GuiApplication::hasDisplay() {
  application();
  const QString name = QGuiApplication::platformName();
  return name != QLatin1String("minimal") && name != QLatin1String("offscreen");
}

}  // namespace vexa::platform
