#pragma once

#include <functional>

// The process's shared pool of worker threads, for blocking work that must not hold up the main
// thread (file checks, verification, installation). Results go back with postToMainThread.
namespace vexa::platform {

// Runs `work` on a thread of the shared pool and returns at once; work items may run at the same
// time as each other. Callable from any thread. An exception escaping `work` is swallowed, since a
// pool thread has nobody to report to: work that can fail catches its error and posts it on.
// Work still queued when the process ends is run before the pool is torn down.
void runInBackground(std::function<void()> work);

}  // namespace vexa::platform
