#pragma once

#include <QColor>
#include <QProgressBar>
#include <memory>

class QTimer;

namespace vexa {

// The window's thin progress bar, drawn in code: a pale track and a blue segment. Determinate, the
// segment covers value / 100 of the width (the window sets the range to 0...100). Indeterminate,
// a segment of at most 120 points sweeps from left to right at 150 points per second while an
// animation runs; when the desktop asks to reduce motion it stays still over the first third. The
// style's own busy animation is never used.
//
// The animation is a 40 ms repeating timer owned by the bar. It runs only between startAnimation()
// and stopAnimation(), and within that only while the bar can be seen: not under reduce motion,
// not while the bar or its window is hidden or minimized; it resumes by itself when that ends.
// Painting reads only the bar's own fields. Main thread only; nothing can fail.
class InstallerProgress : public QProgressBar {
  Q_OBJECT

 public:
  explicit InstallerProgress(QWidget* parent = nullptr);
  ~InstallerProgress() override;

  // The value on the 0...100 scale, kept as a real number; writing it requests a redraw.
  [[nodiscard]] double doubleValue() const { return value_; }
  void setDoubleValue(double value);

  [[nodiscard]] bool isIndeterminate() const { return indeterminate_; }
  void setIndeterminate(bool indeterminate);

  // The desktop's reduce-motion preference, as last told (the window follows the desktop).
  void setReduceMotion(bool reduceMotion);
  void setColours(QColor track, QColor fill);

  // Asks for the sweep, continuing from the kept position; the timer runs whenever the bar can be
  // seen (above), and under reduce motion only a redraw happens.
  void startAnimation();
  // Ends the sweep and drops the timer; the position is kept so that the next start continues.
  void stopAnimation();
  // Starts or stops the timer to match what can be seen now.
  void refreshAnimation();

  // The running animation timer, or null when still.
  [[nodiscard]] const QTimer* animation() const { return animation_.get(); }
  // Right edge of the moving segment, in points from the left edge of the bar.
  [[nodiscard]] double position() const { return position_; }

  // The moving segment as it is drawn now: from `start` to `end` points (empty when end <= start).
  struct Segment {
    double start = 0;
    double end = 0;
  };
  [[nodiscard]] Segment segment() const;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void advance();

  std::unique_ptr<QTimer> animation_;
  bool animating_ = false;
  bool reduceMotion_ = false;
  double position_ = 0;
  double value_ = 0;
  bool indeterminate_ = false;
  QColor track_{233, 238, 247};
  QColor fill_{65, 118, 230};
};

}  // namespace vexa
