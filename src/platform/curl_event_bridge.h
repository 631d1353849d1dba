#pragma once

#include <curl/curl.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>

class QSocketNotifier;
class QTimer;

// Private to the URL session (only src/platform .cpp files include it, hence libcurl's header).
namespace vexa::platform {

// Drives one libcurl multi handle from the Qt main loop: a socket notifier per direction for each
// socket libcurl asks to have watched, and one single-shot timer for libcurl's own timeouts, so
// there is no extra thread and no busy polling. A second single-shot timer serves the owner's own
// deadline. Main thread only; the callbacks run from the event loop. Owns the multi handle. The
// socket pairs libcurl makes for it are close-on-exec from birth (see socketpair in the .cpp file;
// its connections are opened so by CurlTransfer). Making one throws std::bad_alloc when libcurl
// cannot make a multi handle.
class CurlEventBridge {
 public:
  struct Callbacks {
    // libcurl has work: `fd` became ready for `events` (CURL_CSELECT_IN or CURL_CSELECT_OUT), or
    // libcurl's timeout passed (`fd` is CURL_SOCKET_TIMEOUT and `events` 0).
    std::function<void(curl_socket_t fd, int events)> drive;
    // The deadline set with startDeadline passed.
    std::function<void()> deadlinePassed;
  };

  explicit CurlEventBridge(Callbacks callbacks);
  // Releases the multi handle first (libcurl may still report sockets gone), then the notifiers
  // and timers. Transfers must have been removed from the multi handle before.
  ~CurlEventBridge();
  CurlEventBridge(const CurlEventBridge&) = delete;
  CurlEventBridge& operator=(const CurlEventBridge&) = delete;

  [[nodiscard]] CURLM* multi() const { return multi_.get(); }
  // The transfer libcurl last named for `fd`, or nullptr.
  [[nodiscard]] CURL* transferOn(curl_socket_t fd) const;
  // libcurl's timeout fires again right away (when it came while libcurl could not be entered).
  void retryTimeout();
  void startDeadline(std::chrono::milliseconds wait);
  void stopDeadline();

 private:
  struct MultiDeleter {
    void operator()(CURLM* multi) const;
  };
  struct SocketWatch {
    QSocketNotifier* read = nullptr;
    QSocketNotifier* write = nullptr;
    // The transfer libcurl last named for this socket.
    CURL* easy = nullptr;
  };

  static int onSocket(CURL* easy, curl_socket_t fd, int what, void* self, void* socketData);
  static int onTimer(CURLM* multi, long timeoutMs, void* self);
  void watchSocket(CURL* easy, curl_socket_t fd, int what);

  const Callbacks callbacks_;
  std::map<curl_socket_t, SocketWatch> sockets_;
  QTimer* timer_ = nullptr;
  QTimer* deadline_ = nullptr;
  std::unique_ptr<CURLM, MultiDeleter> multi_;
};

}  // namespace vexa::platform
