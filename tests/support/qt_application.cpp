#include "tests/support/qt_application.h"

#include <QApplication>
#include <cstdlib>

#include "platform/event_loop.h"

namespace vexa::testing {

void ensureQtApplication() {
  if (QCoreApplication::instance() != nullptr) return;
  if (std::getenv("QT_QPA_PLATFORM") == nullptr) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  static int argc = 1;
  static char* argv[] = {const_cast<char*>("vexa-tests"), nullptr};
  new QApplication(argc, argv);  // never destroyed: see header
}

bool runEventLoopUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  ensureQtApplication();  // a widget application, before the platform would make a core one
  return platform::runEventLoopUntil(done, timeout);
}

void runEventLoopFor(std::chrono::milliseconds duration) {
  runEventLoopUntil([] { return false; }, duration);
}

}  // namespace vexa::testing
