#pragma once

#include <QPushButton>

namespace vexa {

// The window's primary button: a blue gradient pill with a white title, and a thin white ring
// inside it while it has keyboard focus. It draws itself completely (no style bezel) and looks the
// same pressed, disabled or normal; clicking and the clicked() signal are QPushButton's.
// Main thread only.
class AccentButton : public QPushButton {
  Q_OBJECT

 public:
  explicit AccentButton(const QString& title = {}, QWidget* parent = nullptr);

 protected:
  void paintEvent(QPaintEvent* event) override;
};

}  // namespace vexa
