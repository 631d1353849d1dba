#include "platform/serial_queue.h"

#include <pthread.h>

#include <utility>

namespace vexa::platform {

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)) {
  thread_ = std::thread([this] { run(); });
}

SerialQueue::~SerialQueue() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

void SerialQueue::async(std::function<void()> work) {
  {
    std::lock_guard lock(mutex_);
    pending_.push_back(std::move(work));
  }
  wake_.notify_one();
}

bool SerialQueue::isCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }

void SerialQueue::run() {
  ::pthread_setname_np(::pthread_self(),
                       label_.substr(label_.size() > 15 ? label_.size() - 15 : 0).c_str());
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || !pending_.empty(); });
    // Stopping still drains: work submitted before destruction (or by draining work) runs.
    if (pending_.empty()) return;
    std::function<void()> work = std::move(pending_.front());
    pending_.pop_front();
    lock.unlock();
    try {
      work();
    } catch (...) {
    }
    work = nullptr;  // captured state is released outside the lock, before the next item
    lock.lock();
  }
}

}  // namespace vexa::platform
