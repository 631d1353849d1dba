#pragma once

#include <functional>
#include <memory>
#include <string>

namespace vexa {

// Asks the running product to quit and reports, exactly once, when it has gone. The wait never
// polls by itself: its owner calls check() repeatedly (the window from a 0.2-second timer) and
// request() again whenever the user asks once more, and cancel() when it abandons the wait. Once
// the notification has fired or the wait was cancelled, every call does nothing.
//
// Threading: main thread only; it never blocks for long and locks nothing. The notification may
// call back into the wait, cancel it or release it: the wait forgets the notification before
// calling it and touches nothing of itself afterwards.
//
// Failure: check() and request() pass on what the two operations throw (std::system_error when the
// process list cannot be read, or a process cannot be opened to be signalled); the wait stays as
// it was and may be used again.
class ApplicationQuitWait {
 public:
  ApplicationQuitWait(std::function<bool()> applicationIsRunning,
                      std::function<void()> requestTermination, std::function<void()> onExit);
  ApplicationQuitWait(const ApplicationQuitWait&) = delete;
  ApplicationQuitWait& operator=(const ApplicationQuitWait&) = delete;

  // Asks the product to quit when it runs, then checks. With nothing running the notification
  // fires within this call.
  void request();
  // Fires the notification when the product no longer runs.
  void check();
  // Drops the notification without firing it.
  void cancel();

 private:
  const std::function<bool()> applicationIsRunning_;
  const std::function<void()> requestTermination_;
  std::function<void()> onExit_;  // empty once fired or cancelled
};

namespace NativeInstaller {

// Whether at least one live process of the application with exactly `bundleIdentifier` runs, of
// any user (see platform::runningApplications). The install procedure's default running test;
// keeps no state and may be called from any thread. Throws std::system_error when /proc cannot be
// listed.
[[nodiscard]] bool applicationIsRunning(const std::string& bundleIdentifier);

// A wait for every instance of the application with `bundleIdentifier`: those running now and
// those started while the wait lasts. An instance, once seen, stays tracked until it has ended by
// itself, so one that has left the process list while still alive keeps the wait waiting. The
// request sends each live tracked instance SIGTERM, never anything stronger; the product may
// decline. Never throws for /proc: when it cannot be listed at creation, the wait starts with no
// instance and its first check() or request() looks again (and throws as they do).
[[nodiscard]] std::unique_ptr<ApplicationQuitWait> waitForApplicationExit(
    const std::string& bundleIdentifier, std::function<void()> onExit);

}  // namespace NativeInstaller
}  // namespace vexa
