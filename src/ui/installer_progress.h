#pragma once

#include <QProgressBar>
#include <functional>
#include <memory>

class QTimer;

namespace vexa {

// The window's thin progress bar, drawn in code: a pale track and a blue segment. Determinate, the
// segment covers value / 100 of the width (the window sets the range to 0...100). Indeterminate,
// a segment of at most 120 points sweeps from left to right at 150 points per second while an
// animation runs; when the desktop asks to reduce motion it stays still over the first third and
// no timer runs. The style's own busy animation is never used.
//
// The animation is a 40 ms repeating timer owned by the bar, so it stops when the bar goes; it
// exists only between startAnimation() and stopAnimation(). Main thread only; nothing can fail.
class InstallerProgress : public QProgressBar {
  Q_OBJECT

 public:
  // `reduceMotion` is asked at every start and every paint (the desktop setting by default).
  explicit InstallerProgress(QWidget* parent = nullptr, std::function<bool()> reduceMotion = {});
  ~InstallerProgress() override;

  // The value on the 0...100 scale, kept as a real number; writing it requests a redraw.
  [[nodiscard]] double doubleValue() const { return value_; }
  void setDoubleValue(double value);

  [[nodiscard]] bool isIndeterminate() const { return indeterminate_; }
  void setIndeterminate(bool indeterminate);

  // Replaces any running animation. Under reduce motion only a redraw is requested; otherwise a
  // fresh timer continues the sweep from the kept position.
  void startAnimation();
  // Drops the timer; the position is kept so that the next start continues from it.
  void stopAnimation();

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

 private:
  void advance();

  std::function<bool()> reduceMotion_;
  std::unique_ptr<QTimer> animation_;
  double position_ = 0;
  double value_ = 0;
  bool indeterminate_ = false;
};

}  // namespace vexa
