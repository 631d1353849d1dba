#include "ui/flipped_view.h"

#include <QPainter>

namespace vexa {

FlippedView::FlippedView(QWidget* parent) : QWidget(parent) {}

void FlippedView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), Qt::white);
}

}  // namespace vexa
