#include "tests/support/https_test_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <mutex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "platform/deployment_settings.h"
#include "platform/unique_fd.h"
#include "tests/support/temporary_directory.h"

namespace vexa::testing {
namespace {

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error("HTTPS test server: " + what);
}

std::string trimmed(std::string_view text) {
  const std::size_t first = text.find_first_not_of(" \t");
  return first == text.npos
             ? ""
             : std::string(text.substr(first, text.find_last_not_of(" \t\r") + 1 - first));
}

std::optional<std::string> findHeader(const HeaderList& headers, std::string_view name) {
  for (const auto& [key, value] : headers) {
    if (::strcasecmp(key.c_str(), std::string(name).c_str()) == 0) return value;
  }
  return std::nullopt;
}

struct SslContextDeleter {
  void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
  void operator()(SSL* ssl) const { SSL_free(ssl); }
};

}  // namespace

std::optional<std::string> RecordedRequest::header(std::string_view name) const {
  return findHeader(headers, name);
}

ScriptedResponse ScriptedResponse::withStatus(int status, std::string body) {
  ScriptedResponse response;
  response.status = status;
  response.body = std::move(body);
  return response;
}

struct HttpsTestServer::State {
  TemporaryDirectory folder;
  std::filesystem::path authorityFile;
  std::unique_ptr<SSL_CTX, SslContextDeleter> context;
  platform::UniqueFd listener;
  platform::UniqueFd wakeRead, wakeWrite;  // readable once the server stops
  std::uint16_t port = 0;
  std::atomic<bool> stopping{false};

  mutable std::mutex mutex;
  std::deque<ScriptedResponse> queue;
  std::function<ScriptedResponse(const RecordedRequest&)> handler;
  std::vector<RecordedRequest> requests;
  std::set<int> openConnections;
  std::vector<std::thread> connectionThreads;
  std::thread acceptThread;

  void setUp(const TestCertificateAuthority& authority, std::uint16_t port = 0);
  void acceptLoop();
  void serve(platform::UniqueFd connection);
  // Waits up to `delay` for the server to stop; true when it is stopping.
  bool waitForStop(std::chrono::milliseconds delay) const;
  bool writeAll(SSL* ssl, std::string_view data) const;
  ScriptedResponse responseFor(const RecordedRequest& request);
};

void HttpsTestServer::State::setUp(const TestCertificateAuthority& authority, std::uint16_t port) {
  State& state = *this;
  // A client that hangs up mid-body must not kill the test process.
  ::signal(SIGPIPE, SIG_IGN);
  state.authorityFile = state.folder / "authority.pem";
  authority.writeCertificate(state.authorityFile);
  const IssuedCertificate certificate = authority.issueServerCertificate(
      {std::string(DeploymentSettings::productionDownloadHost),
       std::string(DeploymentSettings::stagingDownloadHost),
       std::string(DeploymentSettings::productionTelemetryHost),
       std::string(DeploymentSettings::stagingTelemetryHost), "localhost"},
      {"127.0.0.1"});
  certificate.writeCertificate(folder / "server.pem");
  certificate.writePrivateKey(folder / "server.key");
  state.context.reset(SSL_CTX_new(TLS_server_method()));
  if (!state.context ||
      SSL_CTX_use_certificate_file(context.get(), (folder / "server.pem").c_str(),
                                   SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_use_PrivateKey_file(context.get(), (folder / "server.key").c_str(),
                                  SSL_FILETYPE_PEM) != 1)
    fail("the server certificate cannot be used");

  state.listener = platform::UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!state.listener) fail("no socket");
  sockaddr_in address{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t length = sizeof address;
  // A fixed port is taken again by the next test at once, whatever its last connections left.
  const int reuse = 1;
  ::setsockopt(state.listener.get(), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
  if (::bind(state.listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(state.listener.get(), 64) != 0 ||
      ::getsockname(state.listener.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    fail("cannot listen on loopback");
  }
  state.port = ntohs(address.sin_port);
  int pipe[2];
  if (::pipe2(pipe, O_CLOEXEC) != 0) fail("no pipe");
  state.wakeRead = platform::UniqueFd(pipe[0]);
  state.wakeWrite = platform::UniqueFd(pipe[1]);
  state.acceptThread = std::thread([&state] { state.acceptLoop(); });
}

bool HttpsTestServer::State::waitForStop(std::chrono::milliseconds delay) const {
  pollfd wake{wakeRead.get(), POLLIN, 0};
  return ::poll(&wake, 1, static_cast<int>(delay.count())) > 0 || stopping;
}

void HttpsTestServer::State::acceptLoop() {
  while (!stopping) {
    pollfd fds[2] = {{listener.get(), POLLIN, 0}, {wakeRead.get(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (stopping || (fds[1].revents & POLLIN) != 0) return;
    platform::UniqueFd connection(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!connection) continue;
    std::lock_guard lock(mutex);
    openConnections.insert(connection.get());
    connectionThreads.emplace_back(
        [this, fd = connection.release()] { serve(platform::UniqueFd(fd)); });
  }
}

bool HttpsTestServer::State::writeAll(SSL* ssl, std::string_view data) const {
  while (!data.empty()) {
    const int written =
        SSL_write(ssl, data.data(), static_cast<int>(std::min<std::size_t>(data.size(), 1 << 20)));
    if (written <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

ScriptedResponse HttpsTestServer::State::responseFor(const RecordedRequest& request) {
  std::function<ScriptedResponse(const RecordedRequest&)> answer;
  {
    std::lock_guard lock(mutex);
    requests.push_back(request);
    if (!queue.empty()) {
      ScriptedResponse response = std::move(queue.front());
      queue.pop_front();
      return response;
    }
    answer = handler;
  }
  return answer ? answer(request) : ScriptedResponse::withStatus(404);
}

void HttpsTestServer::State::serve(platform::UniqueFd connection) {
  const int fd = connection.get();
  timeval timeout{30, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  std::unique_ptr<SSL, SslContextDeleter> ssl(SSL_new(context.get()));
  const auto forget = [&] {
    std::lock_guard lock(mutex);
    openConnections.erase(fd);
  };
  if (!ssl || SSL_set_fd(ssl.get(), fd) != 1 || SSL_accept(ssl.get()) != 1) {
    ERR_clear_error();
    forget();
    return;
  }

  // The request: head up to the blank line, then a body of Content-Length bytes.
  std::string received;
  std::size_t headEnd = std::string::npos;
  char buffer[16384];
  while ((headEnd = received.find("\r\n\r\n")) == std::string::npos) {
    const int count = SSL_read(ssl.get(), buffer, sizeof buffer);
    if (count <= 0) {
      forget();
      return;
    }
    received.append(buffer, static_cast<std::size_t>(count));
  }
  RecordedRequest request;
  std::istringstream head(received.substr(0, headEnd + 2));
  head >> request.method >> request.path;
  head.ignore(received.size(), '\n');
  for (std::string line; std::getline(head, line, '\n');) {
    const std::size_t colon = line.find(':');
    if (colon != std::string::npos)
      request.headers.emplace_back(trimmed(line.substr(0, colon)), trimmed(line.substr(colon + 1)));
  }
  request.body = received.substr(headEnd + 4);
  if (const auto length = request.header("Content-Length")) {
    const std::size_t wanted = std::stoull(*length);
    while (request.body.size() < wanted) {
      const int count = SSL_read(ssl.get(), buffer, sizeof buffer);
      if (count <= 0) break;
      request.body.append(buffer, static_cast<std::size_t>(count));
    }
  }

  const ScriptedResponse response = responseFor(request);
  std::string out = "HTTP/1.1 " + std::to_string(response.status) + " Scripted\r\n";
  for (const auto& [name, value] : response.headers) out += name + ": " + value + "\r\n";
  if (response.declareLength && !findHeader(response.headers, "Content-Length")) {
    out += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
  }
  out += "Connection: close\r\n\r\n";
  const std::size_t bodyBytes = response.ending == ScriptedResponse::Ending::finish
                                    ? response.body.size()
                                    : std::min(response.sendBytes, response.body.size());
  const std::size_t headBytes = out.size();
  out += std::string_view(response.body).substr(0, bodyBytes);
  const std::size_t piece =
      response.dripBytes > 0 ? response.dripBytes : std::max<std::size_t>(out.size(), 1);
  const std::size_t first = response.dripHead ? 0 : headBytes;
  bool alive = response.dripHead || writeAll(ssl.get(), std::string_view(out).substr(0, headBytes));
  for (std::size_t offset = first; alive && offset < out.size(); offset += piece) {
    if (offset > first && response.dripDelay.count() > 0 && waitForStop(response.dripDelay))
      alive = false;
    if (alive)
      alive = writeAll(ssl.get(),
                       std::string_view(out).substr(offset, std::min(piece, out.size() - offset)));
  }

  if (alive && response.ending == ScriptedResponse::Ending::stall) {
    // Silent until the client hangs up (read returns nothing) or the server stops.
    for (;;) {
      pollfd fds[2] = {{fd, POLLIN, 0}, {wakeRead.get(), POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0 && errno != EINTR) break;
      if ((fds[1].revents & POLLIN) != 0) break;
      if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0 &&
          SSL_read(ssl.get(), buffer, sizeof buffer) <= 0)
        break;
    }
  } else if (alive && response.ending == ScriptedResponse::Ending::reset) {
    linger abort{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  } else if (alive) {
    SSL_shutdown(ssl.get());
  }
  ERR_clear_error();
  forget();
}

HttpsTestServer::HttpsTestServer()
    : ownAuthority_(std::make_unique<TestCertificateAuthority>("Vexa HTTPS Test Authority")),
      state_(std::make_shared<State>()) {
  state_->setUp(*ownAuthority_);
}

HttpsTestServer::HttpsTestServer(const TestCertificateAuthority& authority, std::uint16_t port)
    : state_(std::make_shared<State>()) {
  state_->setUp(authority, port);
}

HttpsTestServer::~HttpsTestServer() {
  State& state = *state_;
  state.stopping = true;
  const char wake = 1;
  (void)!::write(state.wakeWrite.get(), &wake, 1);
  if (state.acceptThread.joinable()) state.acceptThread.join();
  std::vector<std::thread> threads;
  {
    std::lock_guard lock(state.mutex);
    // Unblocks connections waiting in a read or a write.
    for (const int fd : state.openConnections) ::shutdown(fd, SHUT_RDWR);
    threads = std::move(state.connectionThreads);
  }
  for (auto& thread : threads) thread.join();
}

std::uint16_t HttpsTestServer::port() const { return state_->port; }

const std::filesystem::path& HttpsTestServer::authorityFile() const {
  return state_->authorityFile;
}

void HttpsTestServer::enqueue(ScriptedResponse response) {
  std::lock_guard lock(state_->mutex);
  state_->queue.push_back(std::move(response));
}

void HttpsTestServer::setHandler(std::function<ScriptedResponse(const RecordedRequest&)> handler) {
  std::lock_guard lock(state_->mutex);
  state_->handler = std::move(handler);
}

std::vector<RecordedRequest> HttpsTestServer::requests() const {
  std::lock_guard lock(state_->mutex);
  return state_->requests;
}

std::string HttpsTestServer::connectTo(std::string_view host) const {
  return std::string(host) + ":443:127.0.0.1:" + std::to_string(state_->port);
}

platform::UrlSessionConfiguration HttpsTestServer::sessionConfiguration() const {
  platform::UrlSessionConfiguration configuration;
  for (std::string_view host :
       {DeploymentSettings::productionDownloadHost, DeploymentSettings::stagingDownloadHost,
        DeploymentSettings::productionTelemetryHost, DeploymentSettings::stagingTelemetryHost,
        std::string_view("localhost")}) {
    configuration.connectTo.push_back(connectTo(host));
  }
  configuration.additionalCertificateAuthorities.push_back(state_->authorityFile);
  return configuration;
}

}  // namespace vexa::testing
