#include "ui/installer_progress.h"

#include <QAccessible>
#include <QPainter>
#include <QPainterPath>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cmath>

namespace vexa {
namespace {

constexpr double kSegmentLength = 120;
constexpr double kStep = 6;  // points per tick: 150 points per second at 25 ticks per second
constexpr std::chrono::milliseconds kTickInterval{40};

}  // namespace

InstallerProgress::InstallerProgress(QWidget* parent) : QProgressBar(parent) {
  setTextVisible(false);
  // The bar paints its whole rectangle (the card's white behind the rounded track), so a frame of
  // the animation repaints the bar alone, not the card beneath it.
  setAttribute(Qt::WA_OpaquePaintEvent);
}

InstallerProgress::~InstallerProgress() { animation_.reset(); }

void InstallerProgress::setDoubleValue(double value) {
  value_ = value;
  // The integer value keeps QProgressBar's own state (and its value-change events) in step.
  if (std::isfinite(value)) {
    setValue(static_cast<int>(std::clamp(std::round(value), double(minimum()), double(maximum()))));
  }
  update();
}

void InstallerProgress::setIndeterminate(bool indeterminate) {
  if (indeterminate_ == indeterminate) return;
  indeterminate_ = indeterminate;
  // A busy bar has no value, a determinate one has: assistive technology keeps the interfaces of
  // an object once read, so the bar becomes a new accessible object (its parent then lists it).
  if (QAccessible::isActive()) {
    if (QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(this)) {
      QAccessibleEvent gone(accessible, QAccessible::ObjectDestroyed);
      QAccessible::updateAccessibility(&gone);
      QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(accessible));
    }
  }
  update();
}

void InstallerProgress::setReduceMotion(bool reduceMotion) {
  reduceMotion_ = reduceMotion;
  refreshAnimation();
  update();
}

void InstallerProgress::setColours(QColor track, QColor fill) {
  track_ = track;
  fill_ = fill;
  update();
}

void InstallerProgress::startAnimation() {
  animating_ = true;
  refreshAnimation();
  update();
}

void InstallerProgress::stopAnimation() {
  animating_ = false;
  animation_.reset();
}

void InstallerProgress::refreshAnimation() {
  const bool seen = isVisible() && !(window()->windowState() & Qt::WindowMinimized);
  if (!animating_ || reduceMotion_ || !seen) {
    animation_.reset();
    return;
  }
  if (animation_) return;
  animation_ = std::make_unique<QTimer>();
  animation_->setInterval(kTickInterval);
  // The bar is the connection's context: once it is gone the tick can no longer reach it.
  connect(animation_.get(), &QTimer::timeout, this, &InstallerProgress::advance);
  animation_->start();
}

void InstallerProgress::showEvent(QShowEvent* event) {
  QProgressBar::showEvent(event);
  // The window's minimizing and restoring arrive as its state changes.
  window()->installEventFilter(this);
  refreshAnimation();
}

bool InstallerProgress::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::WindowStateChange) refreshAnimation();
  return QProgressBar::eventFilter(watched, event);
}

void InstallerProgress::hideEvent(QHideEvent* event) {
  QProgressBar::hideEvent(event);
  // Spontaneous hide events (the window minimized or unmapped) leave isVisible() true.
  if (event->spontaneous()) {
    animation_.reset();
  } else {
    refreshAnimation();
  }
}

void InstallerProgress::advance() {
  // Only where the segment was and is now changes: the rest of the track stays as painted.
  const auto area = [this](Segment segment) {
    return QRectF(segment.start, 0, segment.end - segment.start, height()).toAlignedRect();
  };
  const QRect before = area(segment());
  position_ = std::fmod(position_ + kStep, width() + kSegmentLength);
  update((before | area(segment())).adjusted(-1, 0, 1, 0));
}

InstallerProgress::Segment InstallerProgress::segment() const {
  const double w = width();
  if (!indeterminate_) return {0, value_ / 100 * w};
  if (reduceMotion_) return {0, w / 3};
  return {std::max(position_ - kSegmentLength, 0.0), std::min(position_, w)};
}

void InstallerProgress::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const qreal radius = height() / 2.0;
  painter.fillRect(rect(), Qt::white);

  QPainterPath track;
  track.addRoundedRect(QRectF(rect()), radius, radius);
  painter.fillPath(track, track_);

  const Segment filled = segment();
  if (filled.end > filled.start) {
    QPainterPath bar;
    bar.addRoundedRect(QRectF(filled.start, 0, filled.end - filled.start, height()), radius,
                       radius);
    painter.fillPath(bar, fill_);
  }
}

}  // namespace vexa
