#pragma once

#include <QRectF>
#include <QWidget>
#include <array>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "config/install_configuration.h"
#include "flow/installer_screens.h"
#include "platform/desktop_settings.h"
#include "platform/gui_application.h"
#include "platform/main_bundle.h"

class QLabel;
class QPushButton;

namespace vexa {

class AccentButton;
class FlippedView;
class InstallerArtwork;
class InstallerProgress;
class PlainButton;
class ScreenAnnouncer;
class WindowFrame;

// What the window's controls and close events ask of the installation flow. The window knows no
// more of the flow than these calls; an action left empty does nothing (a missing close decision
// lets the window close).
struct InstallerWindowActions {
  // The primary button, and Return while the primary button is shown and enabled.
  std::function<void()> primary{};
  std::function<void()> secondary{};
  // The corner close button and the tertiary button.
  std::function<void()> close{};
  // Asked before the window closes by any other means (the window system, the quit shortcut, a
  // quit request of the application): false keeps it open.
  std::function<bool()> shouldClose{};
  // The window has closed.
  std::function<void()> willClose{};
};

// Where the brand group goes for a brand text `textWidth` points wide: the 56-point logo, an
// 8-point gap, then the label, the whole group centred in the 800-point window.
struct BrandLayout {
  QRectF logo;
  QRectF label;
};
[[nodiscard]] BrandLayout brandLayout(double textWidth);

// The installer's only window: a frameless 800 x 600 white card with rounded corners on a
// transparent background, light whatever the desktop theme, moved by dragging its background.
//
// It holds a fixed decoration (logo, brand, tagline, corner close button) and seven controls
// (artwork, heading, detail, primary, secondary, tertiary, progress) that the screen operations
// below re-arrange. Each screen operation sets every property its screen relies on; screens built
// on welcome() start from its arrangement. They only change views: which screen to show, and what
// the buttons do, is decided by the installation flow that drives this window. Texts are chosen
// for the user's language at the moment a screen is shown.
//
// Keyboard: Return presses the primary button whenever it is shown and enabled, wherever the
// keyboard focus is; Escape and the close shortcut (Ctrl+W) make the close request, the same as
// the corner close button (so Escape never approves anything); the quit shortcut asks the close
// decision. Tab goes primary, secondary, tertiary, then the corner close button; the primary is
// the default button. Focus indicators show once the keyboard is used, not after clicks.
//
// Assistive technology: every screen change moves the focus to the screen's first control
// (primary, secondary, tertiary, else the corner close button) with the heading and detail as its
// description, so a screen reader reads the new screen; failure screens raise an alert too. Names
// are in the window's language; see installer_accessibility.h for the rest of the tree.
//
// The window follows the desktop's reduce-motion and more-contrast preferences as they change
// (high-contrast colours, installer_colours.h), is centred in the screen's available area and
// kept on it as far as it fits, draws an opaque rounded shape where no compositor can make its
// corners transparent, and renders its logo for the screen's pixel ratio.
//
// The window is the flow's screen (InstallerScreens) and hands every press and close event to the
// flow through InstallerWindowActions.
//
// Main thread only. Nothing here throws after construction; a missing logo leaves the logo empty.
class InstallerWindow : public QWidget, public InstallerScreens {
  Q_OBJECT

 public:
  // Services the window reads at construction: `{}` gives the production values; tests pass fakes.
  struct Services {
    // Where the logo resource comes from.
    platform::MainBundle bundle = platform::MainBundle::current();
    // The desktop's preferences: fixed when given; absent, read from the desktop and followed.
    std::optional<platform::DesktopSettings> desktopSettings{};
    // Whether a compositor shows the window's transparent corners.
    std::function<bool()> composited = platform::windowsAreComposited;
  };

  explicit InstallerWindow(InstallConfiguration configuration, Services services);
  ~InstallerWindow() override;

  // Connects the controls and close events to the flow. Set once, before the window is shown.
  void setActions(InstallerWindowActions actions);

  // The welcome screen, and the base arrangement of the other fixed screens.
  void welcome() override;
  // The checking, downloading and installing screens: a bar under the heading, determinate at
  // `fraction` (0...1) when one is given, otherwise indeterminate and animated.
  void working(const std::string& title, const std::string& message,
               std::optional<double> fraction) override;
  // The detail line of the downloading screen for a whole percentage (absent before any progress).
  [[nodiscard]] std::string downloadDetail(std::optional<int> percent) const override;
  // One download progress report (0...1): the bar's value and the detail line with the whole
  // percentage reached.
  void downloadProgress(double fraction) override;
  // The opening screen shown while the installed application starts; its buttons stay hidden.
  void showOpening() override;
  // Opening the application failed: the error in the detail line, and the primary and secondary
  // buttons shown and enabled with the titles they already have.
  void showOpeningFailed(const std::exception_ptr& error) override;
  // The failure screen with the error's message; the primary button resumes a paused download
  // ("Continue Download") or retries.
  void showFailure(const std::exception_ptr& error, bool paused) override;
  // A newer copy is installed: open it, install anyway, or cancel.
  void showNewerApplication() override;
  // The product is running and must quit before the installation can go on.
  void showApplicationRunning() override;
  // The product was asked to quit; the installation continues when it has.
  void showQuitWait() override;
  // Disables the primary and secondary buttons (while a newer copy is being opened).
  void disableButtons() override;
  void centreOnScreen() override;
  // Closes the window without asking the close decision again; the close is then reported through
  // the willClose action.
  void closeWindow() override;
  // Ends the event loop once control returns to it, so the process can leave main().
  void terminate() override;
  // A close was refused while the installer works: a beep, and the reason told to assistive
  // technology.
  void closeRefused() override;

  // Colours and motion for these desktop preferences (also called when the desktop changes them).
  void applyDesktopSettings(const platform::DesktopSettings& settings);

  // The controls, for the flow that drives the window and for tests.
  [[nodiscard]] InstallerArtwork* artwork() const { return artwork_; }
  [[nodiscard]] QLabel* heading() const { return heading_; }
  [[nodiscard]] QLabel* detail() const { return detail_; }
  [[nodiscard]] AccentButton* primary() const { return primary_; }
  [[nodiscard]] PlainButton* secondary() const { return secondary_; }
  [[nodiscard]] PlainButton* tertiary() const { return tertiary_; }
  [[nodiscard]] PlainButton* closeButton() const { return close_; }
  [[nodiscard]] InstallerProgress* progress() const { return progress_; }
  [[nodiscard]] const InstallConfiguration& configuration() const { return configuration_; }

 public slots:
  // The corner close button and the tertiary button: the flow's close request (with no flow
  // connected, the window simply closes).
  void closePressed();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  void buildDecoration(const platform::MainBundle& bundle);
  // Announces the screen once the current screen operation (and any that it builds on) is done.
  void screenChanged(bool alert = false);
  // The focusable controls in reading (and Tab) order.
  [[nodiscard]] std::array<QWidget*, 4> controls() const;

  const InstallConfiguration configuration_;
  // The window's shape, placement and dragging by its background.
  const std::unique_ptr<WindowFrame> frame_;
  FlippedView* root_ = nullptr;
  InstallerArtwork* artwork_ = nullptr;
  QLabel* heading_ = nullptr;
  QLabel* detail_ = nullptr;
  AccentButton* primary_ = nullptr;
  PlainButton* secondary_ = nullptr;
  PlainButton* tertiary_ = nullptr;
  InstallerProgress* progress_ = nullptr;
  PlainButton* close_ = nullptr;
  QLabel* tagline_ = nullptr;
  std::unique_ptr<platform::DesktopSettingsWatch> desktopWatch_;
  std::unique_ptr<ScreenAnnouncer> announcer_;
  InstallerWindowActions actions_;
  // The flow itself closes the window: its close decision is not asked again.
  bool closingByFlow_ = false;
};

}  // namespace vexa
