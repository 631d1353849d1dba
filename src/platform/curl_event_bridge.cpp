#include "platform/curl_event_bridge.h"

#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <new>

// libcurl makes the multi handle's wake-up pair and each name resolution's pair with a plain
// socketpair(2), offers no hook for either, and never says which descriptors they are; finding them
// afterwards meant scanning the process's descriptors while other threads open and close theirs.
// So the process's socketpair is this one: every pair is close-on-exec from birth, whoever asks,
// which is the rule for every descriptor here anyway. (A child is handed its descriptors by dup2,
// which clears the flag on the copy.) Defined next to the bridge so that it is linked wherever
// libcurl is driven.
extern "C" int socketpair(int domain, int type, int protocol, int fds[2]) noexcept {
  return static_cast<int>(::syscall(SYS_socketpair, domain, type | SOCK_CLOEXEC, protocol, fds));
}

namespace vexa::platform {
namespace {

// Often called while the object itself is emitting, so the event loop deletes it afterwards. While
// the application object is being destroyed, though, posting a deferred delete blocks on the event
// queue Qt is clearing; then (and with no application at all) nothing emits any more and the
// object is deleted at once.
void disposeQObject(QObject* object) {
  QObject::disconnect(object, nullptr, nullptr, nullptr);
  if (QCoreApplication::instance() == nullptr || QCoreApplication::closingDown()) {
    delete object;
  } else {
    object->deleteLater();
  }
}

void disposeNotifier(QSocketNotifier*& notifier) {
  if (notifier == nullptr) return;
  notifier->setEnabled(false);
  disposeQObject(notifier);
  notifier = nullptr;
}

}  // namespace

void CurlEventBridge::MultiDeleter::operator()(CURLM* multi) const {
  // The timer callback reaches into the bridge, which is going.
  curl_multi_setopt(multi, CURLMOPT_TIMERFUNCTION, nullptr);
  curl_multi_cleanup(multi);
}

CurlEventBridge::CurlEventBridge(Callbacks callbacks) : callbacks_(std::move(callbacks)) {
  multi_.reset(curl_multi_init());
  if (!multi_) throw std::bad_alloc();
  curl_multi_setopt(multi_.get(), CURLMOPT_SOCKETFUNCTION, &CurlEventBridge::onSocket);
  curl_multi_setopt(multi_.get(), CURLMOPT_SOCKETDATA, this);
  curl_multi_setopt(multi_.get(), CURLMOPT_TIMERFUNCTION, &CurlEventBridge::onTimer);
  curl_multi_setopt(multi_.get(), CURLMOPT_TIMERDATA, this);
  timer_ = new QTimer();
  timer_->setSingleShot(true);
  QObject::connect(timer_, &QTimer::timeout, [this] { callbacks_.drive(CURL_SOCKET_TIMEOUT, 0); });
  deadline_ = new QTimer();
  deadline_->setSingleShot(true);
  QObject::connect(deadline_, &QTimer::timeout, [this] { callbacks_.deadlinePassed(); });
}

CurlEventBridge::~CurlEventBridge() {
  multi_.reset();
  for (auto& [fd, watch] : sockets_) {
    disposeNotifier(watch.read);
    disposeNotifier(watch.write);
  }
  for (QTimer* timer : {timer_, deadline_}) {
    if (timer == nullptr) continue;
    timer->stop();
    disposeQObject(timer);
  }
}

CURL* CurlEventBridge::transferOn(curl_socket_t fd) const {
  const auto watch = sockets_.find(fd);
  return watch == sockets_.end() ? nullptr : watch->second.easy;
}

void CurlEventBridge::retryTimeout() { timer_->start(1); }

void CurlEventBridge::startDeadline(std::chrono::milliseconds wait) {
  deadline_->start(static_cast<int>(wait.count()));
}

void CurlEventBridge::stopDeadline() { deadline_->stop(); }

int CurlEventBridge::onSocket(CURL* easy, curl_socket_t fd, int what, void* self, void*) {
  static_cast<CurlEventBridge*>(self)->watchSocket(easy, fd, what);
  return 0;
}

int CurlEventBridge::onTimer(CURLM*, long timeoutMs, void* self) {
  QTimer* timer = static_cast<CurlEventBridge*>(self)->timer_;
  if (timeoutMs < 0) {
    timer->stop();
  } else {
    timer->start(static_cast<int>(std::min<long>(timeoutMs, 24L * 3600 * 1000)));
  }
  return 0;
}

void CurlEventBridge::watchSocket(CURL* easy, curl_socket_t fd, int what) {
  if (what == CURL_POLL_REMOVE) {
    const auto found = sockets_.find(fd);
    if (found == sockets_.end()) return;
    disposeNotifier(found->second.read);
    disposeNotifier(found->second.write);
    sockets_.erase(found);
    return;
  }
  SocketWatch& watch = sockets_[fd];
  watch.easy = easy;
  const bool wantRead = what == CURL_POLL_IN || what == CURL_POLL_INOUT;
  const bool wantWrite = what == CURL_POLL_OUT || what == CURL_POLL_INOUT;
  if (wantRead && watch.read == nullptr) {
    watch.read = new QSocketNotifier(fd, QSocketNotifier::Read);
    QObject::connect(watch.read, &QSocketNotifier::activated,
                     [this, fd] { callbacks_.drive(fd, CURL_CSELECT_IN); });
  }
  if (wantWrite && watch.write == nullptr) {
    watch.write = new QSocketNotifier(fd, QSocketNotifier::Write);
    QObject::connect(watch.write, &QSocketNotifier::activated,
                     [this, fd] { callbacks_.drive(fd, CURL_CSELECT_OUT); });
  }
  if (watch.read != nullptr) watch.read->setEnabled(wantRead);
  if (watch.write != nullptr) watch.write->setEnabled(wantWrite);
}

}  // namespace vexa::platform
