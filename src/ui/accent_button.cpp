#include "ui/accent_button.h"

#include <QFontDatabase>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace vexa {

AccentButton::AccentButton(const QString& title, QWidget* parent) : QPushButton(title, parent) {}

void AccentButton::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setRenderHint(QPainter::TextAntialiasing);

  const QRectF body = QRectF(rect()).adjusted(1, 1, -1, -1);
  QLinearGradient gradient(body.topLeft(), body.topRight());
  gradient.setColorAt(0, QColor(86, 134, 254));
  gradient.setColorAt(1, QColor(65, 118, 230));
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

  if (hasFocus()) {
    painter.setPen(QPen(Qt::white, 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(QRectF(rect()).adjusted(5, 5, -5, -5), 8, 8);
  }
}

}  // namespace vexa
