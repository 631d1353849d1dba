#include "install/application_quit_wait.h"

#include <algorithm>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/running_applications.h"

namespace vexa {

ApplicationQuitWait::ApplicationQuitWait(std::function<bool()> applicationIsRunning,
                                         std::function<void()> requestTermination,
                                         std::function<void()> onExit)
    : applicationIsRunning_(std::move(applicationIsRunning)),
      requestTermination_(std::move(requestTermination)),
      onExit_(std::move(onExit)) {}

void ApplicationQuitWait::request() {
  if (!onExit_) return;
  if (applicationIsRunning_()) requestTermination_();
  check();
}

void ApplicationQuitWait::check() {
  if (!onExit_ || applicationIsRunning_()) return;
  // Taken out before the call: a check() or request() from inside the notification finds nothing
  // to fire, and the notification may release this wait, so nothing of it is touched afterwards.
  const std::function<void()> notification = std::exchange(onExit_, nullptr);
  if (notification) notification();  // empty when the running test itself cancelled the wait
}

void ApplicationQuitWait::cancel() { onExit_ = nullptr; }

namespace {

using platform::RunningApplicationInstance;

// The instances a wait is responsible for, shared by its two operations.
class TrackedInstances {
 public:
  explicit TrackedInstances(std::string bundleIdentifier)
      : bundleIdentifier_(std::move(bundleIdentifier)) {
    // A first look that fails is like a later one that fails: the wait goes on, and every refresh
    // looks again and adds what it finds.
    try {
      instances_ = platform::runningApplications(bundleIdentifier_);
    } catch (const std::system_error&) {
    }
  }

  // Adds the instances running now that are not tracked yet (one started after the wait began must
  // quit too) and returns the tracked ones still alive, in the order they were first seen. An
  // instance is never dropped from the list; whether it still runs is its own state.
  [[nodiscard]] std::vector<RunningApplicationInstance> refresh() {
    const std::vector<RunningApplicationInstance> listed =
        platform::runningApplications(bundleIdentifier_);
    for (const RunningApplicationInstance& instance : listed) {
      if (std::find(instances_.begin(), instances_.end(), instance) == instances_.end()) {
        instances_.push_back(instance);
      }
    }
    std::vector<RunningApplicationInstance> live;
    for (const RunningApplicationInstance& instance : instances_) {
      const bool justListed = std::find(listed.begin(), listed.end(), instance) != listed.end();
      if (justListed || !platform::isTerminated(instance)) live.push_back(instance);
    }
    return live;
  }

 private:
  const std::string bundleIdentifier_;
  std::vector<RunningApplicationInstance> instances_;
};

}  // namespace

namespace NativeInstaller {

bool applicationIsRunning(const std::string& bundleIdentifier) {
  return !platform::runningApplications(bundleIdentifier).empty();
}

std::unique_ptr<ApplicationQuitWait> waitForApplicationExit(const std::string& bundleIdentifier,
                                                            std::function<void()> onExit) {
  auto tracked = std::make_shared<TrackedInstances>(bundleIdentifier);
  auto isRunning = [tracked] { return !tracked->refresh().empty(); };
  auto requestTermination = [tracked] {
    // Bringing the instance's windows forward first is the desktop's business; there is no portable
    // way to do it here, so the request is the polite signal alone.
    for (const RunningApplicationInstance& instance : tracked->refresh())
      platform::requestTermination(instance);
  };
  return std::make_unique<ApplicationQuitWait>(std::move(isRunning), std::move(requestTermination),
                                               std::move(onExit));
}

}  // namespace NativeInstaller
}  // namespace vexa
