#pragma once

#include <functional>
#include <memory>

namespace vexa::platform {

// Turns the quit signals a desktop session or a terminal sends (SIGTERM, SIGINT, SIGHUP) into calls
// of `onQuitRequest` on the main thread, through the event loop: the handler only writes one byte
// to a close-on-exec pipe, which the loop watches. The callback decides what a quit request means
// (the installer asks its close decision, which may refuse); the process is never ended by the
// signal itself while a watcher exists.
//
// One watcher at a time per process; construct and destroy it on the main thread while a
// QCoreApplication exists. Destruction restores the previous dispositions. Construction throws
// std::system_error when the pipe or a handler cannot be set up.
class QuitSignalWatcher {
 public:
  explicit QuitSignalWatcher(std::function<void()> onQuitRequest);
  ~QuitSignalWatcher();
  QuitSignalWatcher(const QuitSignalWatcher&) = delete;
  QuitSignalWatcher& operator=(const QuitSignalWatcher&) = delete;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace vexa::platform
