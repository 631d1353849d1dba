#include "ui/window_frame.h"

#include <QBitmap>
#include <QMouseEvent>
#include <QPainter>
#include <QWidget>
#include <QWindow>
#include <algorithm>

namespace vexa {

void WindowFrame::shape(QWidget& window, bool composited) {
  if (composited) {
    window.setAttribute(Qt::WA_TranslucentBackground);
    return;
  }
  // Without a compositor transparent pixels show as black: cut the corners off instead.
  QBitmap shape(window.size());
  shape.fill(Qt::color0);
  QPainter painter(&shape);
  painter.setBrush(Qt::color1);
  painter.setPen(Qt::NoPen);
  painter.drawRoundedRect(window.rect(), 12, 12);
  painter.end();
  window.setMask(shape);
}

QPoint WindowFrame::placement(QSize size, QRect available) {
  const auto axis = [](int start, int length, int space) {
    return start + std::max(0, (space - length) / 2);
  };
  return {axis(available.left(), size.width(), available.width()),
          axis(available.top(), size.height(), available.height())};
}

bool WindowFrame::press(QWidget& window, QMouseEvent& event) {
  if (event.button() != Qt::LeftButton) return false;
  event.accept();
  // The window system moves the window where it can (it knows about screens and snapping).
  if (QWindow* handle = window.windowHandle(); handle != nullptr && handle->startSystemMove())
    return true;
  dragOffset_ = event.globalPosition().toPoint() - window.pos();
  return true;
}

bool WindowFrame::move(QWidget& window, QMouseEvent& event) {
  if (!dragOffset_ || !(event.buttons() & Qt::LeftButton)) return false;
  event.accept();
  window.move(event.globalPosition().toPoint() - *dragOffset_);
  return true;
}

void WindowFrame::release() { dragOffset_.reset(); }

}  // namespace vexa
