#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

// The HTTPS client the installer's logic uses in place of the platform URL session: libcurl's multi
// interface driven by the Qt main loop (socket notifiers and one timer, no extra thread, no busy
// polling). Every delegate callback runs on the main thread. Redirects are never followed: the
// delegate hears of each one, and the redirect response itself then arrives as the response.
namespace vexa::platform {

// How sessions are made. Production code takes `ephemeral()`; tests change fields (connect-to
// overrides, the test authority) before handing it over.
struct UrlSessionConfiguration {
  // A transfer fails when no byte moves for this long.
  std::chrono::seconds idleTimeout{60};
  // A transfer fails when it has not finished in this time.
  std::chrono::seconds resourceTimeout{std::chrono::hours(24 * 7)};
  // Trusted authorities: the system store, plus each PEM file listed here.
  std::vector<std::filesystem::path> additionalCertificateAuthorities;
  // libcurl CURLOPT_CONNECT_TO entries, "host:port:address:port". Empty in production. Without
  // them a proxy named by the environment (https_proxy, all_proxy; no_proxy exempts hosts) carries
  // every transfer through a CONNECT tunnel, as the system's proxy settings would; with them, none.
  std::vector<std::string> connectTo;
  // No cache and no cookies are ever used; TLS peer and host verification are always on. These
  // are not settings.

  // The default: deployment-time connect-to overrides and extra authority (empty in production).
  [[nodiscard]] static UrlSessionConfiguration ephemeral();
};

struct UrlRequest {
  std::string url;
  std::string method = "GET";
  // Sent exactly as given, in order, plus what HTTP itself requires (Host, and Content-Length for
  // a body). Nothing else is added: no Accept, no User-Agent, no Accept-Encoding.
  std::vector<std::pair<std::string, std::string>> headers{};
  std::string body{};
  // The request's own idle timeout; the shorter of this and the session's governs.
  std::chrono::seconds timeout{60};
};

class UrlResponse {
 public:
  UrlResponse() = default;
  UrlResponse(int statusCode, std::string url,
              std::vector<std::pair<std::string, std::string>> headers)
      : statusCode_(statusCode), url_(std::move(url)), headers_(std::move(headers)) {}

  [[nodiscard]] int statusCode() const { return statusCode_; }
  // The address this response came from (redirects are never followed, so the request's).
  [[nodiscard]] const std::string& url() const { return url_; }
  // The field with this name (compared case-insensitively); a field that came more than once is
  // one value, its values joined with ", " in the order received, the one reading HTTP allows.
  // Checks that compare the value therefore see every occurrence, never only the first.
  [[nodiscard]] std::optional<std::string> header(std::string_view name) const;
  // The fields exactly as received, repeats and all.
  [[nodiscard]] const std::vector<std::pair<std::string, std::string>>& headers() const {
    return headers_;
  }

 private:
  int statusCode_ = 0;
  std::string url_;
  std::vector<std::pair<std::string, std::string>> headers_;
};

// libcurl transfer handles alive in this process. A task holds one only while it runs: a finished
// task, even one its owner still keeps, holds none, and its connection is left to the session's
// pool. For tests and diagnostics.
[[nodiscard]] std::size_t liveTransferHandles();

// A transfer that did not complete. what() is libcurl's description (or "cancelled").
class UrlError : public std::runtime_error {
 public:
  enum class Code { cancelled, timedOut, network, tls, other };
  UrlError(Code code, const std::string& description)
      : std::runtime_error(description), code_(code) {}
  [[nodiscard]] Code code() const { return code_; }

 private:
  Code code_;
};

class UrlSession;
class UrlDataTask;

enum class ResponseDisposition { allow, cancel };

// Receives the events of every task of one session, on the main thread, in this order per task:
// willRedirect (for a 3xx with a Location), didReceiveResponse (before any body byte), any number
// of didReceiveData (in order), then exactly one didComplete.
class UrlSessionDelegate {
 public:
  virtual ~UrlSessionDelegate() = default;
  virtual void willRedirect(UrlSession& /*session*/, UrlDataTask& /*task*/,
                            const UrlResponse& /*redirect*/, const std::string& /*location*/) {}
  [[nodiscard]] virtual ResponseDisposition didReceiveResponse(UrlSession& /*session*/,
                                                               UrlDataTask& /*task*/,
                                                               const UrlResponse& /*response*/) {
    return ResponseDisposition::allow;
  }
  virtual void didReceiveData(UrlSession& /*session*/, UrlDataTask& /*task*/,
                              std::span<const char> /*data*/) {}
  // `error` is empty on success; a cancelled task completes with UrlError(cancelled).
  virtual void didComplete(UrlSession& session, UrlDataTask& task, std::exception_ptr error) = 0;
};

// One transfer of a session. Created suspended; resume() starts it. Main thread only.
class UrlDataTask {
 public:
  virtual ~UrlDataTask() = default;
  virtual void resume() = 0;
  // Stops the transfer; the delegate then gets didComplete with UrlError(cancelled), unless the
  // task had already completed.
  virtual void cancel() = 0;
};

// A set of tasks sharing one configuration and one delegate. Main thread only. The session keeps
// its delegate (not owned) until it is invalidated and its last task has completed; after that
// no callback reaches the delegate.
class UrlSession {
 public:
  virtual ~UrlSession() = default;
  [[nodiscard]] static std::shared_ptr<UrlSession> create(UrlSessionConfiguration configuration,
                                                          UrlSessionDelegate* delegate);
  [[nodiscard]] virtual std::shared_ptr<UrlDataTask> dataTask(UrlRequest request) = 0;
  // No new tasks; running tasks finish; then the delegate is released.
  virtual void finishTasksAndInvalidate() = 0;
  // Cancels every running task, then as finishTasksAndInvalidate. The cancelled tasks' didComplete
  // calls arrive before this returns (unless it is called from inside a delegate callback, when
  // they follow as soon as that callback returns), so an owner that is going away can call it and
  // hear nothing afterwards.
  virtual void invalidateAndCancel() = 0;
};

}  // namespace vexa::platform
