#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/url_session.h"
#include "tests/support/test_certificate_authority.h"

namespace vexa::testing {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// One request as the server read it.
struct RecordedRequest {
  std::string method;
  std::string path;    // the request target as sent, e.g. "/v2/telemetry/events"
  HeaderList headers;  // in the order received, names as sent
  std::string body;

  // The first header with this name, compared case-insensitively.
  [[nodiscard]] std::optional<std::string> header(std::string_view name) const;
};

// What the server answers to one request, and how it misbehaves while doing so.
struct ScriptedResponse {
  enum class Ending {
    finish,  // the whole body, then a clean TLS close
    close,   // after `sendBytes` body bytes: a clean TLS close (close_notify)
    stall,   // after `sendBytes` body bytes: silence until the client gives up or the server stops
  };

  int status = 200;
  HeaderList headers{};  // sent exactly, in order; "Connection: close" is always added
  std::string body{};
  // Adds "Content-Length: <body size>" unless the headers already carry one. Turn off for a
  // body delimited by the end of the connection (or to declare less than is sent, set the header).
  bool declareLength = true;
  // Sends the response, head included, in pieces of this many bytes with `dripDelay` in between
  // (0: in one go).
  std::size_t dripBytes = 0;
  std::chrono::milliseconds dripDelay{0};
  Ending ending = Ending::finish;
  std::size_t sendBytes = 0;  // for every ending but `finish`

  [[nodiscard]] static ScriptedResponse withStatus(int status, std::string body = {});
};

// An HTTPS/1.1 server on 127.0.0.1 at an ephemeral port, for tests of code that talks to the
// download and telemetry hosts. Its certificate comes from a test authority and names the
// deployment's four hosts, "localhost" and 127.0.0.1; clients reach it through connect-to
// overrides (see sessionConfiguration) with full TLS verification against that authority.
//
// Each connection carries one request. Requests are answered in arrival order from the queue of
// scripted responses; once it is empty, by the handler if one is set, else with 404. Connections
// are served on background threads: the handler must be thread-safe, and every accessor here may
// be called from any thread. The destructor stops everything, including stalled connections.
// Failures to set up (no port, bad certificate) throw std::runtime_error.
class HttpsTestServer {
 public:
  HttpsTestServer();  // with an authority of its own
  // With `port` 0 the system picks a free one; the end-to-end scenarios listen on the fixed port
  // their installer build routes the deployment hosts to.
  explicit HttpsTestServer(const TestCertificateAuthority& authority, std::uint16_t port = 0);
  ~HttpsTestServer();
  HttpsTestServer(const HttpsTestServer&) = delete;
  HttpsTestServer& operator=(const HttpsTestServer&) = delete;

  void enqueue(ScriptedResponse response);
  void setHandler(std::function<ScriptedResponse(const RecordedRequest&)> handler);

  [[nodiscard]] std::vector<RecordedRequest> requests() const;
  [[nodiscard]] std::uint16_t port() const;

  // No deployment settings; the four deployment hosts and "localhost" (port 443) routed here; the
  // authority trusted. Timeouts are the defaults.
  [[nodiscard]] platform::UrlSessionConfiguration sessionConfiguration() const;

 private:
  struct State;
  std::unique_ptr<TestCertificateAuthority> ownAuthority_;
  std::shared_ptr<State> state_;
};

}  // namespace vexa::testing
