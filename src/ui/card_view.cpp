#include "ui/card_view.h"

#include <QColor>
#include <QPainter>
#include <QPainterPath>

namespace vexa {

void CardView::paintEvent(QPaintEvent*) {
  const QColor border(217, 225, 232);
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  QPainterPath card;
  card.addRoundedRect(QRectF(rect()), 12, 12);
  painter.fillPath(card, Qt::white);
  // The outline lies inside the card, centred half a point in from its edge.
  painter.setPen(QPen(border, 1));
  painter.setBrush(Qt::NoBrush);
  painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 11.5, 11.5);
}

}  // namespace vexa
