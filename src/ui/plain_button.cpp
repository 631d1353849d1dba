#include "ui/plain_button.h"

#include <QPainter>

#include "ui/accent_button.h"

namespace vexa {

PlainButton::PlainButton(const QString& title, QWidget* parent) : QPushButton(title, parent) {
  setFocusPolicy(Qt::TabFocus);
  setAutoDefault(false);
}

void PlainButton::setColours(QColor title, QColor focusRing) {
  title_ = title;
  focusRing_ = focusRing;
  update();
}

void PlainButton::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setRenderHint(QPainter::TextAntialiasing);
  painter.setFont(font());
  painter.setPen(title_);
  painter.drawText(rect(), Qt::AlignCenter, text());
  if (showsFocus(*this)) {
    // On whole pixels at one pixel per point: the path runs through the middle of pixel 1.
    painter.setPen(QPen(focusRing_, 2));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(QRectF(rect()).adjusted(1, 1, -1, -1), 8, 8);
  }
}

}  // namespace vexa
