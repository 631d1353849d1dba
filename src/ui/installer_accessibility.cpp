#include "ui/installer_accessibility.h"

#include <QAccessibleWidget>
#include <cmath>

#include "ui/installer_artwork.h"
#include "ui/installer_progress.h"
#include "ui/installer_window.h"

namespace vexa {
namespace {

const char* const kCardProperty = "vexaCard";

class WindowInterface final : public QAccessibleWidget {
 public:
  explicit WindowInterface(QWidget* window) : QAccessibleWidget(window, QAccessible::Window) {}
};

// The card: its shown views in drawing order, without the artwork.
class CardInterface final : public QAccessibleWidget {
 public:
  explicit CardInterface(QWidget* card) : QAccessibleWidget(card, QAccessible::Pane) {}

  int childCount() const override { return int(children().size()); }
  QAccessibleInterface* child(int index) const override {
    const QList<QWidget*> list = children();
    return index >= 0 && index < list.size() ? QAccessible::queryAccessibleInterface(list[index])
                                             : nullptr;
  }
  int indexOfChild(const QAccessibleInterface* child) const override {
    return child != nullptr && child->object() != nullptr && child->object()->isWidgetType()
               ? int(children().indexOf(static_cast<QWidget*>(child->object())))
               : -1;
  }

 private:
  QList<QWidget*> children() const {
    QList<QWidget*> shown;
    for (QObject* object : widget()->children()) {
      auto* view = qobject_cast<QWidget*>(object);
      if (view != nullptr && !view->isHidden() && qobject_cast<InstallerArtwork*>(view) == nullptr)
        shown << view;
    }
    return shown;
  }
};

class ProgressInterface final : public QAccessibleWidget, public QAccessibleValueInterface {
 public:
  explicit ProgressInterface(InstallerProgress* bar)
      : QAccessibleWidget(bar, QAccessible::ProgressBar) {}

  void* interface_cast(QAccessible::InterfaceType type) override {
    // An indeterminate bar has no value to report.
    if (type == QAccessible::ValueInterface && !bar()->isIndeterminate())
      return static_cast<QAccessibleValueInterface*>(this);
    return QAccessibleWidget::interface_cast(type);
  }
  QAccessible::State state() const override {
    QAccessible::State state = QAccessibleWidget::state();
    state.busy = bar()->isIndeterminate();
    return state;
  }

  // The whole percentage the window shows beside the bar.
  QVariant currentValue() const override {
    return std::floor(std::clamp(bar()->doubleValue(), 0.0, 100.0) + 1e-9);
  }
  void setCurrentValue(const QVariant&) override {}
  QVariant maximumValue() const override { return 100.0; }
  QVariant minimumValue() const override { return 0.0; }
  QVariant minimumStepSize() const override { return 0.0; }

 private:
  InstallerProgress* bar() const { return static_cast<InstallerProgress*>(widget()); }
};

QAccessibleInterface* factory(const QString&, QObject* object) {
  if (auto* bar = qobject_cast<InstallerProgress*>(object)) return new ProgressInterface(bar);
  if (auto* window = qobject_cast<InstallerWindow*>(object)) return new WindowInterface(window);
  if (object->isWidgetType() && object->property(kCardProperty).toBool())
    return new CardInterface(static_cast<QWidget*>(object));
  return nullptr;
}

}  // namespace

void installInstallerAccessibility() {
  static const bool installed = (QAccessible::installFactory(factory), true);
  (void)installed;
}

void markAsCard(QWidget& widget) { widget.setProperty(kCardProperty, true); }

}  // namespace vexa
