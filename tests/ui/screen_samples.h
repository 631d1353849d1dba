#pragma once

#include <QImage>
#include <QWidget>

namespace vexa::testing {

// `widget` and its children drawn at device pixel ratio 1 into a transparent ARGB image; nothing
// outside what the widgets paint themselves (a window's translucent background stays clear).
inline QImage renderWidget(QWidget& widget) {
  QImage image(widget.size(), QImage::Format_ARGB32_Premultiplied);
  image.setDevicePixelRatio(1);
  image.fill(Qt::transparent);
  widget.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
  return image;
}

}  // namespace vexa::testing
