#include "platform/background_runner.h"

#include <QThreadPool>

namespace vexa::platform {

void runInBackground(std::function<void()> work) {
  QThreadPool::globalInstance()->start([work = std::move(work)] {
    try {
      work();
    } catch (...) {
      // Nobody to report to; see the header.
    }
  });
}

}  // namespace vexa::platform
