#include "platform/quit_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <array>
#include <cerrno>
#include <system_error>

#include "platform/unique_fd.h"

namespace vexa::platform {
namespace {

constexpr std::array<int, 3> quitSignals{SIGTERM, SIGINT, SIGHUP};

// The write end the handler uses; -1 while no watcher exists. Only the main thread changes it, and
// only while the handlers that read it are not installed.
volatile sig_atomic_t writeEnd = -1;

extern "C" void noteQuitSignal(int) {
  const int savedErrno = errno;
  const char byte = 1;
  // A full pipe already holds a pending request; losing this byte loses nothing.
  [[maybe_unused]] const ssize_t written = ::write(writeEnd, &byte, 1);
  errno = savedErrno;
}

}  // namespace

struct QuitSignalWatcher::State {
  std::function<void()> onQuitRequest;
  UniqueFd readEnd;
  UniqueFd writeEnd;
  std::unique_ptr<QSocketNotifier> notifier;
  std::array<struct sigaction, quitSignals.size()> previous{};
  std::size_t installed = 0;

  ~State() {
    for (std::size_t index = 0; index < installed; ++index)
      ::sigaction(quitSignals[index], &previous[index], nullptr);
    vexa::platform::writeEnd = -1;
  }
};

QuitSignalWatcher::QuitSignalWatcher(std::function<void()> onQuitRequest)
    : state_(std::make_unique<State>()) {
  state_->onQuitRequest = std::move(onQuitRequest);
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
    throw std::system_error(errno, std::generic_category(), "pipe2");
  state_->readEnd.reset(ends[0]);
  state_->writeEnd.reset(ends[1]);
  writeEnd = ends[1];

  state_->notifier = std::make_unique<QSocketNotifier>(ends[0], QSocketNotifier::Read);
  State* state = state_.get();
  QObject::connect(state_->notifier.get(), &QSocketNotifier::activated, [state] {
    char buffer[64];
    bool requested = false;
    while (::read(state->readEnd.get(), buffer, sizeof buffer) > 0) requested = true;
    // Several signals that arrived together are one request.
    if (requested && state->onQuitRequest) state->onQuitRequest();
  });

  struct sigaction action {};
  action.sa_handler = noteQuitSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signal : quitSignals) {
    if (::sigaction(signal, &action, &state_->previous[state_->installed]) != 0) {
      throw std::system_error(errno, std::generic_category(), "sigaction");
    }
    ++state_->installed;
  }
  // A quit signal must reach this thread's handler even when the caller's mask blocked it.
  sigset_t unblock;
  sigemptyset(&unblock);
  for (int signal : quitSignals) sigaddset(&unblock, signal);
  ::pthread_sigmask(SIG_UNBLOCK, &unblock, nullptr);
}

QuitSignalWatcher::~QuitSignalWatcher() = default;

}  // namespace vexa::platform
