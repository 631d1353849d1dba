#include "platform/main_thread.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

namespace vexa::platform {

void postToMainThread(std::function<void()> work) {
  QCoreApplication* application = QCoreApplication::instance();
  if (application == nullptr) return;
  QMetaObject::invokeMethod(
      application, [work = std::move(work)] { work(); }, Qt::QueuedConnection);
}

bool isMainThread() {
  QCoreApplication* application = QCoreApplication::instance();
  return application != nullptr && QThread::currentThread() == application->thread();
}

}  // namespace vexa::platform
