#pragma once

#include <QImage>
#include <QLabel>

namespace vexa {

// The window's logo image, fitted to the label at the pixel ratio of the screen it is painted on:
// moving to a screen with another ratio re-renders it from the image kept in memory. A null image
// leaves the label empty. Main thread only; nothing here throws.
class LogoLabel final : public QLabel {
 public:
  LogoLabel(QWidget* parent, QImage image);

  // Renders the image for `ratio` unless it already is.
  void fit(qreal ratio);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  const QImage image_;
};

}  // namespace vexa
