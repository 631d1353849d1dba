#include "platform/repeating_timer.h"

#include <QTimer>

namespace vexa::platform {
namespace {

class QtRepeatingTimer final : public RepeatingTimer {
 public:
  QtRepeatingTimer(std::chrono::milliseconds interval, std::function<void()> tick)
      : timer_(new QTimer) {
    // The slot holds the only copy of the tick. Qt keeps a slot alive while it is being called, so
    // disconnecting it from inside the tick is safe.
    QObject::connect(timer_, &QTimer::timeout, timer_, [tick = std::move(tick)] { tick(); });
    timer_->start(interval);
  }

  ~QtRepeatingTimer() override {
    stop();
    // The timer may be in the middle of emitting its timeout (destroyed from the tick): let the
    // loop delete it once the emission has returned.
    timer_->deleteLater();
  }

  void stop() override {
    timer_->stop();
    QObject::disconnect(timer_, &QTimer::timeout, nullptr, nullptr);
  }

 private:
  QTimer* timer_;
};

}  // namespace

std::unique_ptr<RepeatingTimer> startRepeatingTimer(std::chrono::milliseconds interval,
                                                    std::function<void()> tick) {
  return std::make_unique<QtRepeatingTimer>(interval, std::move(tick));
}

}  // namespace vexa::platform
