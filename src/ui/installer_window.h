#pragma once

#include <QRectF>
#include <QWidget>
#include <exception>
#include <functional>
#include <optional>
#include <string>

#include "config/install_configuration.h"
#include "platform/main_bundle.h"
#include "platform/reduce_motion.h"

class QLabel;
class QPushButton;

namespace vexa {

class AccentButton;
class FlippedView;
class InstallerArtwork;
class InstallerProgress;

// Services the window reads at construction; production values by default, fakes in tests.
struct InstallerWindowServices {
  // Where the logo resource comes from.
  platform::MainBundle bundle = platform::MainBundle::current();
  // The desktop's reduce-motion preference, handed to the progress bar.
  std::function<bool()> reduceMotion = platform::reduceMotion;
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
// Return presses the primary button whenever it is shown and enabled, wherever the keyboard focus
// is; the quit shortcut asks to close the window like the close button does.
//
// Main thread only. Nothing here throws after construction; a missing logo leaves the logo empty.
class InstallerWindow : public QWidget {
  Q_OBJECT

 public:
  explicit InstallerWindow(InstallConfiguration configuration, InstallerWindowServices services = {});
  ~InstallerWindow() override;

  // The welcome screen, and the base arrangement of the other fixed screens.
  void welcome();
  // The checking, downloading and installing screens: a bar under the heading, determinate at
  // `fraction` (0...1) when one is given, otherwise indeterminate and animated.
  void working(const std::string& title, const std::string& message, std::optional<double> fraction);
  // The detail line of the downloading screen for a whole percentage (absent before any progress).
  [[nodiscard]] std::string downloadDetail(std::optional<int> percent) const;
  // One download progress report (0...1): the bar's value and the detail line with the whole
  // percentage reached.
  void downloadProgress(double fraction);
  // The opening screen shown while the installed application starts; its buttons stay hidden.
  void showOpening();
  // Opening the application failed: the error in the detail line, and the primary and secondary
  // buttons shown and enabled with the titles they already have.
  void showOpeningFailed(const std::exception_ptr& error);
  // The failure screen with the error's message; the primary button resumes a paused download
  // ("Continue Download") or retries.
  void showFailure(const std::exception_ptr& error, bool paused);
  // A newer copy is installed: open it, install anyway, or cancel.
  void showNewerApplication();
  // The product is running and must quit before the installation can go on.
  void showApplicationRunning();
  // The product was asked to quit; the installation continues when it has.
  void showQuitWait();

  // The controls, for the flow that drives the window and for tests.
  [[nodiscard]] InstallerArtwork* artwork() const { return artwork_; }
  [[nodiscard]] QLabel* heading() const { return heading_; }
  [[nodiscard]] QLabel* detail() const { return detail_; }
  [[nodiscard]] AccentButton* primary() const { return primary_; }
  [[nodiscard]] QPushButton* secondary() const { return secondary_; }
  [[nodiscard]] QPushButton* tertiary() const { return tertiary_; }
  [[nodiscard]] InstallerProgress* progress() const { return progress_; }
  [[nodiscard]] const InstallConfiguration& configuration() const { return configuration_; }

 public slots:
  // The corner close button and the tertiary button: asks to close the window.
  void closePressed();

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  void buildDecoration(const platform::MainBundle& bundle);

  const InstallConfiguration configuration_;
  FlippedView* root_ = nullptr;
  InstallerArtwork* artwork_ = nullptr;
  QLabel* heading_ = nullptr;
  QLabel* detail_ = nullptr;
  AccentButton* primary_ = nullptr;
  QPushButton* secondary_ = nullptr;
  QPushButton* tertiary_ = nullptr;
  InstallerProgress* progress_ = nullptr;
  // Offset of the pointer from the window's origin while the background is dragged by hand
  // (where the window system cannot move the window itself).
  std::optional<QPoint> dragOffset_;
};

}  // namespace vexa
