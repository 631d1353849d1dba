#include "tests/support/qt_application.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <cstdlib>

namespace vexa::testing {

void ensureQtApplication() {
  if (QCoreApplication::instance() != nullptr) return;
  if (std::getenv("QT_QPA_PLATFORM") == nullptr) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  static int argc = 1;
  static char name[] = "vexa-tests";
  static char* argv[] = {name, nullptr};
  static QApplication* application = new QApplication(argc, argv);  // never destroyed: see header
  (void)application;
}

bool runEventLoopUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  ensureQtApplication();
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() >= timeout.count()) return done();
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
  }
  return true;
}

void runEventLoopFor(std::chrono::milliseconds duration) {
  ensureQtApplication();
  QElapsedTimer clock;
  clock.start();
  while (clock.elapsed() < duration.count()) {
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents,
                                    static_cast<int>(duration.count() - clock.elapsed()));
  }
}

}  // namespace vexa::testing
