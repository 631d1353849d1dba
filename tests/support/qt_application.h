#pragma once

#include <chrono>
#include <functional>

namespace vexa::testing {

// The process's one QApplication for tests that need the Qt event loop (URL sessions, timers,
// widgets). Created on first call on the calling thread (which becomes the main thread) with the
// offscreen platform unless QT_QPA_PLATFORM says otherwise; lives until the process ends.
void ensureQtApplication();

// Runs the Qt event loop until `done()` is true or `timeout` passes; returns done().
bool runEventLoopUntil(const std::function<bool()>& done,
                       std::chrono::milliseconds timeout = std::chrono::seconds(20));

// Runs the Qt event loop for about `duration`.
void runEventLoopFor(std::chrono::milliseconds duration);

}  // namespace vexa::testing
