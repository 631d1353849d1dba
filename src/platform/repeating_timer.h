#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace vexa::platform {

// A timer that calls its tick on the main thread at a fixed interval until it is stopped or
// destroyed. Used for polling that must not block, such as waiting for another process to quit.
//
// Main thread only. Stopping or destroying the timer from inside its own tick is safe: no further
// tick runs, and the tick that is running finishes normally.
class RepeatingTimer {
 public:
  virtual ~RepeatingTimer() = default;
  // No tick starts after this returns. Calling it again does nothing.
  virtual void stop() = 0;
};

// Starts a repeating timer on the main loop; the first tick comes one interval after the start.
// Needs the application's event loop to be running for ticks to arrive.
[[nodiscard]] std::unique_ptr<RepeatingTimer> startRepeatingTimer(
    std::chrono::milliseconds interval, std::function<void()> tick);

}  // namespace vexa::platform
