#pragma once

#include <functional>

// The main queue: work posted here runs on the thread that runs the Qt event loop (the thread that
// created the QCoreApplication), in the order posted. Needs a QCoreApplication; posting before one
// exists, or after it is gone, drops the work.
namespace vexa::platform {

// Runs `work` asynchronously on the main thread. Callable from any thread.
void postToMainThread(std::function<void()> work);

// True on the thread that runs the Qt event loop.
[[nodiscard]] bool isMainThread();

}  // namespace vexa::platform
