#include "ui/accent_button.h"

#include <QFontDatabase>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace vexa {

AccentButton::AccentButton(const QString& title, QWidget* parent) : QPushButton(title, parent) {}

void AccentButton::setAccent(QColor start, QColor end) {
  start_ = start;
  end_ = end;
  update();
}

bool showsFocus(const QWidget& button) {
  return button.hasFocus() && button.window()->testAttribute(Qt::WA_KeyboardFocusChange);
}

void AccentButton::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setRenderHint(QPainter::TextAntialiasing);

  const QRectF body = QRectF(rect()).adjusted(1, 1, -1, -1);
  QLinearGradient gradient(body.topLeft(), body.topRight());
  gradient.setColorAt(0, start_);
  gradient.setColorAt(1, end_);
  QPainterPath pill;
  pill.addRoundedRect(body, 12, 12);
  painter.fillPath(pill, gradient);

  QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
  font.setPixelSize(15);
  font.setWeight(QFont::DemiBold);
  painter.setFont(font);
  painter.setPen(Qt::white);
  const qreal w = width();
  const qreal h = height();
  painter.drawText(QRectF(0, (h - 21) / 2, w, 23), Qt::AlignHCenter | Qt::AlignTop, text());

  if (showsFocus(*this)) {
    // The ring's path runs half a point inside the 5-point inset, so that at one pixel per point
    // its 1-point line covers whole pixels instead of smearing over two half-lit rows.
    painter.setPen(QPen(Qt::white, 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(QRectF(rect()).adjusted(5.5, 5.5, -5.5, -5.5), 7.5, 7.5);
  }
}

}  // namespace vexa
