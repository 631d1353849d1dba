#include "platform/gui_application.h"

#include <xcb/xcb.h>

#include <QApplication>
#include <QGuiApplication>
#include <cstdlib>
#include <memory>
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
    // On X11, images in shared memory make the server answer every repaint with a completion
    // event, a second wake of the main thread for each frame of an animation; the window is small
    // enough for plain image uploads. Read when the display is opened; an explicit setting is
    // honoured, and the programs the installer starts do not inherit ours.
    const bool ownShmSetting = std::getenv("QT_XCB_NO_MITSHM") == nullptr;
    if (ownShmSetting) ::setenv("QT_XCB_NO_MITSHM", "1", 1);
    previousHandler = qInstallMessageHandler(quietPlatformProbe);
    application_ = std::make_unique<QApplication>(argc_, argv_);
    qInstallMessageHandler(previousHandler);
    if (ownShmSetting) ::unsetenv("QT_XCB_NO_MITSHM");
  }
  return *application_;
}

bool GuiApplication::hasDisplay() {
  application();
  const QString name = QGuiApplication::platformName();
  return name != QLatin1String("minimal") && name != QLatin1String("offscreen");
}

bool windowsAreComposited() {
  if (QGuiApplication::instance() == nullptr) return false;
  const QString platform = QGuiApplication::platformName();
  if (platform.startsWith(QLatin1String("wayland"))) return true;
  auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
  if (platform != QLatin1String("xcb") || x11 == nullptr || x11->connection() == nullptr)
    return false;
  xcb_connection_t* connection = x11->connection();
  int screen = 0;
  if (const char* display = std::getenv("DISPLAY"); display != nullptr) {
    char* host = nullptr;
    int number = 0;
    if (xcb_parse_display(display, &host, &number, &screen) == 0) screen = 0;
    std::free(host);
  }
  const std::string name = "_NET_WM_CM_S" + std::to_string(screen);
  const std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> atom(
      xcb_intern_atom_reply(
          connection, xcb_intern_atom(connection, 1, uint16_t(name.size()), name.c_str()), nullptr),
      &std::free);
  if (!atom || atom->atom == XCB_NONE) return false;
  const std::unique_ptr<xcb_get_selection_owner_reply_t, decltype(&std::free)> owner(
      xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, atom->atom),
                                    nullptr),
      &std::free);
  return owner && owner->owner != XCB_NONE;
}

}  // namespace vexa::platform
