#include "platform/signal_dispositions.h"

#include <signal.h>

#include <cerrno>
#include <system_error>

namespace vexa::platform {
namespace {

void setDisposition(int signal, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  if (::sigaction(signal, &action, nullptr) != 0) {
    throw std::system_error(errno, std::generic_category(), "sigaction");
  }
}

}  // namespace

void resetSignalDispositions() {
  for (int signal : {SIGCHLD, SIGTERM, SIGINT, SIGHUP, SIGQUIT}) setDisposition(signal, SIG_DFL);
  setDisposition(SIGPIPE, SIG_IGN);
  sigset_t none;
  sigemptyset(&none);
  if (int error = ::pthread_sigmask(SIG_SETMASK, &none, nullptr); error != 0) {
    throw std::system_error(error, std::generic_category(), "pthread_sigmask");
  }
}

}  // namespace vexa::platform
