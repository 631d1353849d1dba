#include "ui/screen_announcer.h"

#include <QAccessible>
#include <QApplication>
#include <utility>

namespace vexa {

ScreenAnnouncer::ScreenAnnouncer(QWidget& window, QWidget& card, QLabel& heading, QLabel& detail,
                                 std::array<QWidget*, 4> controls)
    : window_(window), card_(card), heading_(heading), detail_(detail), controls_(controls) {}

void ScreenAnnouncer::screenChanged(bool alert) {
  alertDue_ = alertDue_ || alert;
  if (announcementDue_) return;
  announcementDue_ = true;
  // After the operation that changed the screen (and those it builds on) has finished; the window
  // owns this object, so the call goes with it.
  QMetaObject::invokeMethod(
      &window_, [this] { announce(); }, Qt::QueuedConnection);
}

void ScreenAnnouncer::noteInput(const QEvent& event) {
  // Qt's own flag for this, read by the buttons when they paint.
  const bool key = event.type() == QEvent::KeyPress;
  if (key || event.type() == QEvent::MouseButtonPress) {
    if (window_.testAttribute(Qt::WA_KeyboardFocusChange) != key) {
      window_.setAttribute(Qt::WA_KeyboardFocusChange, key);
      if (QWidget* focused = window_.focusWidget()) focused->update();
    }
  }
}

void ScreenAnnouncer::alert(const QString& reason) {
  QWidget* told = QApplication::focusWidget();
  if (told == nullptr || told->window() != &window_) told = controls_.back();
  told->setAccessibleDescription(reason);
  QAccessibleEvent alert(&window_, QAccessible::Alert);
  QAccessible::updateAccessibility(&alert);
}

void ScreenAnnouncer::announce() {
  announcementDue_ = false;
  // The first control in reading order; the corner close button is always there.
  QWidget* target = controls_.back();
  for (QWidget* control : controls_) {
    if (!control->isHidden() && control->isEnabled()) {
      target = control;
      break;
    }
  }
  QString description = heading_.text();
  if (!detail_.isHidden() && !detail_.text().isEmpty()) description += '\n' + detail_.text();
  for (QWidget* control : controls_) {
    if (control != target && !control->accessibleDescription().isEmpty())
      control->setAccessibleDescription({});
  }
  // Views came and went: the card's list of children is read again.
  QAccessibleEvent reorder(&card_, QAccessible::ObjectReorder);
  QAccessible::updateAccessibility(&reorder);
  // A focus change makes a screen reader read the control with its description; a control that
  // already has the focus reads out its new description.
  target->setAccessibleDescription(description);
  if (!target->hasFocus()) target->setFocus(Qt::OtherFocusReason);
  if (std::exchange(alertDue_, false)) {
    QAccessibleEvent alert(&window_, QAccessible::Alert);
    QAccessible::updateAccessibility(&alert);
  }
}

}  // namespace vexa
