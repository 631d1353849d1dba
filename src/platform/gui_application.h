#pragma once

#include <memory>

class QApplication;

namespace vexa::platform {

// The process's Qt application object, made on first use rather than at start-up, so that
// "--self-test" and other runs that never show anything need no display.
//
// When no display can be opened, Qt falls back to its display-less "minimal" platform instead of
// aborting, and hasDisplay() says so; callers then report on standard error. An explicit
// QT_QPA_PLATFORM is honoured (with the same fallback appended). Main thread only; the object must
// outlive every window and alert.
class GuiApplication {
 public:
  GuiApplication(int& argc, char** argv);
  ~GuiApplication();
  GuiApplication(const GuiApplication&) = delete;
  GuiApplication& operator=(const GuiApplication&) = delete;

  // The application object, created on the first call.
  QApplication& application();
  // Whether windows can be shown: false on the fallback platform and on "offscreen".
  [[nodiscard]] bool hasDisplay();

 private:
  int& argc_;
  char** argv_;
  std::unique_ptr<QApplication> application_;
};

// Whether the window system blends translucent windows with what lies behind them (a compositor
// runs): always on Wayland; on X11 when a compositing manager holds the screen's _NET_WM_CM_S<n>
// selection; false on other platforms and without an application object. Asked when a window is
// made; main thread only.
[[nodiscard]] bool windowsAreComposited();

}  // namespace vexa::platform
