#include "ui/installer_artwork.h"

#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

namespace vexa {
namespace {

// A radial glow filling the ellipse inscribed in `bounds`: `colour` opaque at the centre, fading
// linearly to transparent on the ellipse. The gradient is drawn in a unit circle scaled to the
// ellipse, which gives the elliptical falloff a circular gradient cannot.
void fillGlow(QPainter& painter, const QRectF& bounds, QColor colour) {
  painter.save();
  painter.translate(bounds.center());
  painter.scale(bounds.width() / 2, bounds.height() / 2);
  QRadialGradient gradient(QPointF(0, 0), 1);
  QColor clear = colour;
  clear.setAlphaF(0);
  gradient.setColorAt(0, colour);
  gradient.setColorAt(1, clear);
  painter.setPen(Qt::NoPen);
  painter.setBrush(gradient);
  painter.drawEllipse(QPointF(0, 0), 1.0, 1.0);
  painter.restore();
}

void fillRounded(QPainter& painter, const QRectF& rect, qreal radius, QColor colour) {
  QPainterPath path;
  path.addRoundedRect(rect, radius, radius);
  painter.fillPath(path, colour);
}

QColor withOpacity(int red, int green, int blue, qreal opacity) {
  QColor colour(red, green, blue);
  colour.setAlphaF(opacity);
  return colour;
}

}  // namespace

InstallerArtwork::InstallerArtwork(QWidget* parent) : FlippedView(parent) {}

void InstallerArtwork::setCompact(bool compact) {
  compact_ = compact;
  update();
}

QRectF InstallerArtwork::cardRect() const {
  return compact_ ? QRectF(256, 30, 286, 144) : QRectF(178, 28, 444, 176);
}

void InstallerArtwork::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setClipRect(rect());
  painter.fillRect(rect(), Qt::white);

  fillGlow(painter, QRectF(-180, 0, 800, 290), QColor(228, 237, 253));
  fillGlow(painter, QRectF(350, -20, 650, 290), QColor(237, 243, 254));

  const QRectF card = cardRect();
  const qreal x = card.x();
  const qreal y = card.y();
  const qreal w = card.width();
  fillRounded(painter, card.translated(8, 10), 28, withOpacity(166, 188, 222, 0.14));
  fillRounded(painter, card, 26, withOpacity(255, 255, 255, 0.94));
  fillRounded(painter, QRectF(x + 24, y + 22, 46, 46), 14, QColor(237, 243, 254));
  fillRounded(painter, QRectF(x + 35, y + 33, 24, 24), 9, withOpacity(86, 134, 254, 0.16));
  fillRounded(painter, QRectF(x + 43, y + 41, 8, 8), 4, QColor(65, 118, 230));
  fillRounded(painter, QRectF(x + 92, y + 28, w - 132, 12), 6, withOpacity(25, 36, 59, 0.16));
  fillRounded(painter, QRectF(x + 92, y + 52, w - 178, 9), 5, withOpacity(25, 36, 59, 0.09));
  for (int i = 0; i < 3; ++i) {
    const QRectF tile(x + 24 + i * (w - 64) / 3, y + 92, (w - 92) / 3, 44);
    fillRounded(painter, tile, 14, QColor(238, 243, 250));
  }

  if (!compact_) {
    // The lower part of the picture fades into the white window below it.
    const QRectF fade(0, 170, 800, 71);
    QLinearGradient gradient(fade.topLeft(), fade.bottomLeft());
    gradient.setColorAt(0, withOpacity(255, 255, 255, 0));
    gradient.setColorAt(1, Qt::white);
    painter.fillRect(fade, gradient);
  }
}

}  // namespace vexa
