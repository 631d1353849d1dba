#pragma once

#include <QWidget>

namespace vexa {

// A plain container that paints its whole area white. Coordinates have their origin at the top
// left with y growing downwards, which is Qt's native system, so the window's frames can be used
// as they are. Main thread only; painting cannot fail.
class FlippedView : public QWidget {
  Q_OBJECT

 public:
  explicit FlippedView(QWidget* parent = nullptr);

 protected:
  void paintEvent(QPaintEvent* event) override;
};

}  // namespace vexa
