#pragma once

#include <exception>
#include <optional>
#include <string>

namespace vexa {

// The screen operations the installation flow drives, implemented by the installer window. Each
// operation arranges the views of one screen, or changes the few controls named below; it decides
// nothing. Which screen follows which, and what the buttons do, is the flow's business.
//
// Main thread only. No operation throws.
class InstallerScreens {
 public:
  virtual ~InstallerScreens() = default;

  // The welcome screen ("Install Now"), also the base arrangement of the other fixed screens.
  virtual void welcome() = 0;
  // The checking, downloading and installing screens: a bar under `title`, determinate at
  // `fraction` (0...1) when one is given, otherwise indeterminate and animated.
  virtual void working(const std::string& title, const std::string& message,
                       std::optional<double> fraction) = 0;
  // The detail line of the downloading screen for a whole percentage; absent before any progress.
  [[nodiscard]] virtual std::string downloadDetail(std::optional<int> percent) const = 0;
  // One progress report of the download (0...1): the bar's value and the detail line.
  virtual void downloadProgress(double fraction) = 0;
  // The opening screen, shown while the installed application starts; its buttons stay hidden.
  virtual void showOpening() = 0;
  // Opening the application failed: the error's description in the detail line, and the primary
  // and secondary buttons shown and enabled with the titles they already have.
  virtual void showOpeningFailed(const std::exception_ptr& error) = 0;
  // The failure screen with the error's description; the primary button reads "Continue Download"
  // after a pause and "Retry" otherwise.
  virtual void showFailure(const std::exception_ptr& error, bool paused) = 0;
  // A newer copy is installed: "Open Vexa", "Install Anyway", "Cancel".
  virtual void showNewerApplication() = 0;
  // The product is running and must quit first: "Quit Now", "Cancel".
  virtual void showApplicationRunning() = 0;
  // The product was asked to quit; the installation continues when it has: "Quit Vexa", "Cancel".
  virtual void showQuitWait() = 0;
  // Disables the primary and secondary buttons, leaving everything else as it is (while a newer
  // copy is being opened).
  virtual void disableButtons() = 0;
  // Centres the window on its screen.
  virtual void centreOnScreen() = 0;
  // Closes the window at once, without asking the flow's close decision again. The window then
  // reports the closing back to the flow (InstallerFlow::windowWillClose).
  virtual void closeWindow() = 0;
  // Ends the installer: asks the application to quit its event loop.
  virtual void terminate() = 0;
  // A request to close was refused because the installer is working (checking, installing,
  // opening): tells the user why. Nothing by default.
  virtual void closeRefused() {}
};

}  // namespace vexa
