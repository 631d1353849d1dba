#include "ui/installer_progress.h"

#include <QPainter>
#include <QPainterPath>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cmath>

#include "platform/reduce_motion.h"

namespace vexa {
namespace {

constexpr double kSegmentLength = 120;
constexpr double kStep = 6;  // points per tick: 150 points per second at 25 ticks per second
constexpr std::chrono::milliseconds kTickInterval{40};

}  // namespace

InstallerProgress::InstallerProgress(QWidget* parent, std::function<bool()> reduceMotion)
    : QProgressBar(parent),
      reduceMotion_(reduceMotion ? std::move(reduceMotion)
                                 : std::function<bool()>(platform::reduceMotion)) {
  setTextVisible(false);
}

InstallerProgress::~InstallerProgress() { stopAnimation(); }

void InstallerProgress::setDoubleValue(double value) {
  value_ = value;
  // The integer value keeps the accessibility interface (which reads QProgressBar) informed.
  if (std::isfinite(value)) {
    setValue(static_cast<int>(std::clamp(std::round(value), double(minimum()), double(maximum()))));
  }
  update();
}

void InstallerProgress::setIndeterminate(bool indeterminate) {
  indeterminate_ = indeterminate;
  update();
}

void InstallerProgress::startAnimation() {
  stopAnimation();
  if (reduceMotion_()) {
    update();
    return;
  }
  animation_ = std::make_unique<QTimer>();
  animation_->setInterval(kTickInterval);
  // The bar is the connection's context: once it is gone the tick can no longer reach it.
  connect(animation_.get(), &QTimer::timeout, this, &InstallerProgress::advance);
  animation_->start();
}

void InstallerProgress::stopAnimation() {
  if (animation_) animation_->stop();
  animation_.reset();
}

void InstallerProgress::advance() {
  position_ = std::fmod(position_ + kStep, width() + kSegmentLength);
  update();
}

InstallerProgress::Segment InstallerProgress::segment() const {
  const double w = width();
  if (!indeterminate_) return {0, value_ / 100 * w};
  if (reduceMotion_()) return {0, w / 3};
  return {std::max(position_ - kSegmentLength, 0.0), std::min(position_, w)};
}

void InstallerProgress::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const qreal radius = height() / 2.0;

  QPainterPath track;
  track.addRoundedRect(QRectF(rect()), radius, radius);
  painter.fillPath(track, QColor(233, 238, 247));

  const Segment filled = segment();
  if (filled.end > filled.start) {
    QPainterPath bar;
    bar.addRoundedRect(QRectF(filled.start, 0, filled.end - filled.start, height()), radius,
                       radius);
    painter.fillPath(bar, QColor(65, 118, 230));
  }
}

}  // namespace vexa
