#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace vexa::platform {

// A serial dispatch queue: one private thread runs the submitted work items one after the other,
// in the order they were submitted. Used where a subsystem needs its own ordered background
// worker (telemetry) without blocking the main thread.
//
// Threading: async() may be called from any thread, including from work running on this queue.
// The destructor must not run on the queue's own thread; it lets every item already submitted run,
// then joins the thread. Work items must not throw: an escaping exception is swallowed, because a
// background queue has nobody to report to.
class SerialQueue {
 public:
  // `label` names the thread for debuggers (truncated to the system's 15 characters).
  explicit SerialQueue(std::string label);
  ~SerialQueue();
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  void async(std::function<void()> work);

  // True when called from work running on this queue.
  [[nodiscard]] bool isCurrent() const;

  [[nodiscard]] const std::string& label() const { return label_; }

 private:
  void run();

  const std::string label_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> pending_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace vexa::platform
