#pragma once

#include <functional>
#include <memory>

namespace vexa::platform {

// The desktop's accessibility preferences the window follows.
struct DesktopSettings {
  // The user asked for fewer animations.
  bool reduceMotion = false;
  // The user asked for more contrast (a high-contrast theme).
  bool increaseContrast = false;

  friend bool operator==(const DesktopSettings&, const DesktopSettings&) = default;
};

// Reads the preferences from the files the user's desktop session writes, under $XDG_CONFIG_HOME
// (default ~/.config):
//   reduce motion: gtk-4.0/settings.ini, else gtk-3.0/settings.ini, [Settings]
//     gtk-enable-animations false or 0; else kdeglobals [KDE] AnimationDurationFactor 0;
//   more contrast: the same GTK files' [Settings] gtk-theme-name naming a high-contrast theme
//     ("HighContrast", "HighContrastInverse", ...), else kdeglobals [General] ColorScheme naming
//     one.
// A preference no desktop states is off; unreadable files count as absent. Never throws; any
// thread.
[[nodiscard]] DesktopSettings readDesktopSettings();

// Keeps the preferences read once and follows the desktop's changes to them, so that callers that
// ask often (every paint) touch no file. Watches the configuration folder and the settings files
// (inotify through Qt's file system watcher); only a change there reads the files again, and
// `onChange` is called when the preferences differ from the last ones read.
//
// Main thread only (the watch is driven by the Qt event loop); the callback runs there too. When
// the folder cannot be watched the first reading is kept.
class DesktopSettingsWatch {
 public:
  explicit DesktopSettingsWatch(std::function<void(const DesktopSettings&)> onChange = {});
  ~DesktopSettingsWatch();
  DesktopSettingsWatch(const DesktopSettingsWatch&) = delete;
  DesktopSettingsWatch& operator=(const DesktopSettingsWatch&) = delete;

  [[nodiscard]] const DesktopSettings& current() const;

 private:
  class Watcher;
  std::unique_ptr<Watcher> watcher_;
};

}  // namespace vexa::platform
