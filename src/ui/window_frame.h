#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>
#include <optional>

class QMouseEvent;
class QWidget;

namespace vexa {

// What a window system's frame would do for a frameless window with 12-point rounded corners: its
// shape (transparent corners where a compositor draws them, else an opaque rounded mask, since
// transparent pixels then show black), where it goes on screen, and moving it by dragging its
// background (the window system moves it where it can, knowing about screens and snapping; by hand
// otherwise).
//
// Main thread only; nothing here throws.
class WindowFrame {
 public:
  // Gives `window` (already at its final size) its rounded shape.
  static void shape(QWidget& window, bool composited);

  // Where a window of `size` goes on a screen whose free area is `available`: centred, moved inside
  // the area as far as it fits, and with its top-left corner on the area when it cannot fit.
  [[nodiscard]] static QPoint placement(QSize size, QRect available);

  // The window's own mouse events; each returns false when the event is not part of a drag and is
  // the window's to handle as usual.
  [[nodiscard]] bool press(QWidget& window, QMouseEvent& event);
  [[nodiscard]] bool move(QWidget& window, QMouseEvent& event);
  void release();

 private:
  // Offset of the pointer from the window's origin while the background is dragged by hand.
  std::optional<QPoint> dragOffset_;
};

}  // namespace vexa
