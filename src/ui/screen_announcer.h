#pragma once

#include <QLabel>
#include <QString>
#include <QWidget>
#include <array>

namespace vexa {

// Tells assistive technology what a window's screen now shows. After each screen change the focus
// moves to the screen's first shown and enabled control (in reading order, the last control when
// none is), with the heading and detail as that control's description, so a screen reader reads the
// new screen; the card's children are announced as reordered, and a failure screen raises an
// alert too. The focus indicators follow the input device in use. Several changes made by one
// operation (and those it builds on) are announced once, when control returns to the event loop.
//
// Main thread only. The widgets given belong to `window`, which owns this object; nothing here
// throws.
class ScreenAnnouncer {
 public:
  // `controls` in reading order; the last one is always there (the corner close button).
  ScreenAnnouncer(QWidget& window, QWidget& card, QLabel& heading, QLabel& detail,
                  std::array<QWidget*, 4> controls);

  // The screen changed; `alert` when the new screen reports a failure.
  void screenChanged(bool alert = false);

  // Every input event the window sees (its own and its controls'): focus indicators show once the
  // keyboard is used and hide again on a click.
  void noteInput(const QEvent& event);

  // Tells assistive technology `reason` as an alert, on the focused control of the window (else
  // on the last control).
  void alert(const QString& reason);

 private:
  void announce();

  QWidget& window_;
  QWidget& card_;
  QLabel& heading_;
  QLabel& detail_;
  const std::array<QWidget*, 4> controls_;
  bool announcementDue_ = false;
  bool alertDue_ = false;
};

}  // namespace vexa
