#pragma once

#include <chrono>
#include <functional>

// The main loop for programs without a window (the release tool): URL sessions, timers and posted
// work need a running Qt event loop, and this is the only way such a program reaches one.
namespace vexa::platform {

// Creates the process's QCoreApplication when none exists yet: the calling thread becomes the main
// thread, and the object lives until the process ends. Call it before making a URL session, whose
// timers and socket watchers belong to the main thread.
void ensureEventLoop();

// Runs the event loop (ensureEventLoop() first) until `done()` holds, checking it every few
// milliseconds, or until `limit` has passed. Returns done(). Main thread only; callbacks of
// sessions and posted work run inside this call.
bool runEventLoopUntil(const std::function<bool()>& done, std::chrono::milliseconds limit);

}  // namespace vexa::platform
