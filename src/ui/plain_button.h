#pragma once

#include <QColor>
#include <QPushButton>

namespace vexa {

// A borderless text button (the secondary, tertiary and corner close buttons): only its title is
// drawn, centred, in its title colour; while it shows keyboard focus (showsFocus()) a 2-point
// rounded outline in the focus colour surrounds it. Clicking and clicked() are QPushButton's.
// Main thread only.
class PlainButton : public QPushButton {
  Q_OBJECT

 public:
  explicit PlainButton(const QString& title, QWidget* parent = nullptr);

  void setColours(QColor title, QColor focusRing);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QColor title_;
  QColor focusRing_;
};

}  // namespace vexa
