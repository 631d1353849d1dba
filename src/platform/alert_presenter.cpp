#include "platform/alert_presenter.h"

#include <QApplication>
#include <QMessageBox>
#include <ostream>

#include "platform/gui_application.h"

namespace vexa::platform {

SystemAlertPresenter::SystemAlertPresenter(GuiApplication& gui, std::ostream& fallback)
    : gui_(gui), fallback_(fallback) {}

void SystemAlertPresenter::present(const std::string& title, const std::string& informativeText) {
  if (!gui_.hasDisplay()) {
    fallback_ << title << '\n' << informativeText << std::endl;
    return;
  }
  QMessageBox box;
  box.setIcon(QMessageBox::Warning);
  box.setWindowTitle(QString::fromStdString(title));
  box.setText(QString::fromStdString(title));
  box.setInformativeText(QString::fromStdString(informativeText));
  box.setStandardButtons(QMessageBox::Ok);
  box.setDefaultButton(QMessageBox::Ok);
  box.exec();
}

}  // namespace vexa::platform
