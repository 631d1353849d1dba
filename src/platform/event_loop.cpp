#include "platform/event_loop.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

namespace vexa::platform {

void ensureEventLoop() {
  if (QCoreApplication::instance() != nullptr) return;
  static int argc = 1;
  static char name[] = "vexa";
  static char* argv[] = {name, nullptr};
  new QCoreApplication(argc, argv);  // never destroyed: sessions may outlive any scope here
}

bool runEventLoopUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  ensureEventLoop();
  if (done()) return true;
  QEventLoop loop;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
    if (done()) loop.quit();
  });
  poll.start(5);
  QTimer::singleShot(limit, &loop, &QEventLoop::quit);
  loop.exec();
  return done();
}

}  // namespace vexa::platform
