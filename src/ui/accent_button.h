#pragma once

#include <QColor>
#include <QPushButton>

namespace vexa {

// The window's primary button: a blue gradient pill with a white title, and a thin white ring
// inside it while it has keyboard focus that the user can see (focus moved by the keyboard; see
// showsFocus()). It draws itself completely (no style bezel) and looks the same pressed, disabled
// or normal; clicking and the clicked() signal are QPushButton's. Main thread only.
class AccentButton : public QPushButton {
  Q_OBJECT

 public:
  explicit AccentButton(const QString& title = {}, QWidget* parent = nullptr);

  // The gradient's two ends, left to right.
  void setAccent(QColor start, QColor end);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QColor start_{86, 134, 254};
  QColor end_{65, 118, 230};
};

// Whether `button` should draw its focus indicator: it has the focus and its window last took a
// key rather than a click (Qt's keyboard-focus-change flag, which the installer window maintains),
// so a mouse user sees no ring while a keyboard user always does.
[[nodiscard]] bool showsFocus(const QWidget& button);

}  // namespace vexa
