#include "ui/logo_label.h"

#include <QPixmap>

namespace vexa {

LogoLabel::LogoLabel(QWidget* parent, QImage image) : QLabel(parent), image_(std::move(image)) {}

void LogoLabel::fit(qreal ratio) {
  if (image_.isNull() || (!pixmap().isNull() && pixmap().devicePixelRatio() == ratio)) return;
  QImage fitted = image_.scaled(size() * ratio, Qt::KeepAspectRatio, Qt::SmoothTransformation);
  fitted.setDevicePixelRatio(ratio);
  setPixmap(QPixmap::fromImage(fitted));
}

void LogoLabel::paintEvent(QPaintEvent* event) {
  fit(devicePixelRatioF());
  QLabel::paintEvent(event);
}

}  // namespace vexa
