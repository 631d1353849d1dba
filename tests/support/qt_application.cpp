#include "tests/support/qt_application.h"

#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <cstdlib>

namespace vexa::testing {

void ensureQtApplication() {
  if (QCoreApplication::instance() != nullptr) return;
  if (std::getenv("QT_QPA_PLATFORM") == nullptr) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  static int argc = 1;
  static char* argv[] = {const_cast<char*>("vexa-tests"), nullptr};
  new QApplication(argc, argv);  // never destroyed: see header
}

bool runEventLoopUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  ensureQtApplication();
  if (done()) return true;
  // A real loop (not processEvents in a spin), checking the condition every few milliseconds.
  QEventLoop loop;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
    if (done()) loop.quit();
  });
  poll.start(5);
  QTimer::singleShot(timeout, &loop, &QEventLoop::quit);
  loop.exec();
  return done();
}

void runEventLoopFor(std::chrono::milliseconds duration) {
  runEventLoopUntil([] { return false; }, duration);
}

}  // namespace vexa::testing
