#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vexa::testing {

// An HTTP proxy on 127.0.0.1 at an ephemeral port that carries HTTPS the way corporate proxies
// do, by CONNECT tunnels, and knows nothing else. Every tunnel leads to 127.0.0.1:`destination`
// whatever host:port was asked for, so that the deployment hosts reach a test server without a
// connect-to override (which would bypass the proxy). While refusing, it answers each CONNECT with
// 403 Forbidden. Connections are served on background threads; accessors may be called from any
// thread; the destructor stops everything. Throws std::runtime_error when it cannot listen.
class ConnectProxy {
 public:
  explicit ConnectProxy(std::uint16_t destination);
  ~ConnectProxy();
  ConnectProxy(const ConnectProxy&) = delete;
  ConnectProxy& operator=(const ConnectProxy&) = delete;

  // The proxy as https_proxy names it: "http://127.0.0.1:<port>".
  [[nodiscard]] std::string url() const;
  void setRefusing(bool refusing);
  // The target of every CONNECT received, refused ones included, e.g. "host.example:443".
  [[nodiscard]] std::vector<std::string> targets() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace vexa::testing
