#include "tests/support/https_test_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#include "platform/deployment_settings.h"
#include "platform/unique_fd.h"
#include "tests/support/temporary_directory.h"

namespace vexa::testing {
namespace {

const std::vector<std::string> kHosts = {std::string(DeploymentSettings::productionDownloadHost),
                                         std::string(DeploymentSettings::stagingDownloadHost),
                                         std::string(DeploymentSettings::productionTelemetryHost),
                                         std::string(DeploymentSettings::stagingTelemetryHost),
                                         "localhost"};

std::optional<std::string> findHeader(const HeaderList& headers, std::string_view name) {
  for (const auto& [key, value] : headers) {
    if (::strcasecmp(key.c_str(), std::string(name).c_str()) == 0) return value;
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> RecordedRequest::header(std::string_view name) const {
  return findHeader(headers, name);
}

ScriptedResponse ScriptedResponse::withStatus(int status, std::string body) {
  return {.status = status, .body = std::move(body)};
}

// Stopping shuts the listener and every open connection down, which wakes whatever thread is
// blocked on them; a dripping connection notices at its next write.
struct HttpsTestServer::State {
  TemporaryDirectory folder;
  std::filesystem::path authorityFile;
  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context{nullptr, &SSL_CTX_free};
  platform::UniqueFd listener;
  std::uint16_t port = 0;
  std::atomic<bool> stopping{false};

  mutable std::mutex mutex;
  std::deque<ScriptedResponse> queue;
  std::function<ScriptedResponse(const RecordedRequest&)> handler;
  std::vector<RecordedRequest> requests;
  std::set<int> openConnections;
  std::vector<std::thread> connectionThreads;
  std::thread acceptThread;

  void setUp(const TestCertificateAuthority& authority, std::uint16_t wantedPort);
  void serve(int fd);
};

void HttpsTestServer::State::setUp(const TestCertificateAuthority& authority,
                                   std::uint16_t wantedPort) {
  // A client that hangs up mid-body must not kill the test process.
  ::signal(SIGPIPE, SIG_IGN);
  authorityFile = folder / "authority.pem";
  authority.writeCertificate(authorityFile);
  const IssuedCertificate certificate = authority.issueServerCertificate(kHosts, {"127.0.0.1"});
  certificate.writeCertificate(folder / "server.pem");
  certificate.writePrivateKey(folder / "server.key");
  context.reset(SSL_CTX_new(TLS_server_method()));
  if (!context ||
      SSL_CTX_use_certificate_file(context.get(), (folder / "server.pem").c_str(),
                                   SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_use_PrivateKey_file(context.get(), (folder / "server.key").c_str(),
                                  SSL_FILETYPE_PEM) != 1)
    throw std::runtime_error("HTTPS test server: the server certificate cannot be used");

  listener = platform::UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{AF_INET, htons(wantedPort), {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t length = sizeof address;
  // A fixed port is taken again by the next test at once, whatever its last connections left.
  const int reuse = 1;
  ::setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
  if (!listener ||
      ::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener.get(), 64) != 0 ||
      ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
    throw std::runtime_error("HTTPS test server: cannot listen on loopback");
  port = ntohs(address.sin_port);
  acceptThread = std::thread([this] {
    for (;;) {
      const int fd = ::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC);
      if (stopping) {
        if (fd >= 0) ::close(fd);
        return;
      }
      if (fd < 0) continue;
      std::lock_guard lock(mutex);
      openConnections.insert(fd);
      connectionThreads.emplace_back([this, fd] { serve(fd); });
    }
  });
}

void HttpsTestServer::State::serve(int fd) {
  const platform::UniqueFd connection(fd);
  timeval timeout{30, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  const std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(context.get()), &SSL_free);
  char buffer[16384];
  const auto read = [&](std::string& into) {
    const int count = SSL_read(ssl.get(), buffer, sizeof buffer);
    if (count > 0) into.append(buffer, static_cast<std::size_t>(count));
    return count > 0;
  };
  const auto write = [&](std::string_view data) {
    for (int written = 0; !data.empty(); data.remove_prefix(static_cast<std::size_t>(written))) {
      written = SSL_write(ssl.get(), data.data(), static_cast<int>(data.size()));
      if (written <= 0) return false;
    }
    return true;
  };

  // The request: head up to the blank line, then a body of Content-Length bytes.
  std::string received;
  std::size_t headEnd = std::string::npos;
  bool alive = ssl && SSL_set_fd(ssl.get(), fd) == 1 && SSL_accept(ssl.get()) == 1;
  while (alive && (headEnd = received.find("\r\n\r\n")) == std::string::npos)
    alive = read(received);
  if (alive) {
    RecordedRequest request;
    std::size_t lineEnd = received.find("\r\n");
    const std::size_t space = received.find(' ');
    request.method = received.substr(0, space);
    request.path = received.substr(space + 1, received.find(' ', space + 1) - space - 1);
    for (std::size_t at = lineEnd + 2; at < headEnd; at = lineEnd + 2) {
      lineEnd = received.find("\r\n", at);
      const std::size_t colon = received.find(':', at);
      const std::size_t value = received.find_first_not_of(' ', colon + 1);
      request.headers.emplace_back(received.substr(at, colon - at),
                                   received.substr(value, lineEnd - value));
    }
    request.body = received.substr(headEnd + 4);
    const std::size_t wanted = std::stoull(request.header("Content-Length").value_or("0"));
    while (request.body.size() < wanted && read(request.body)) {
    }

    std::unique_lock lock(mutex);
    requests.push_back(request);
    const bool queued = !queue.empty();
    const auto answer = handler;
    ScriptedResponse response = queued ? std::move(queue.front()) : ScriptedResponse{};
    if (queued) queue.pop_front();
    lock.unlock();
    if (!queued) response = answer ? answer(request) : ScriptedResponse::withStatus(404);
    std::string out = "HTTP/1.1 " + std::to_string(response.status) + " Scripted\r\n";
    for (const auto& [name, value] : response.headers) out += name + ": " + value + "\r\n";
    if (response.declareLength && !findHeader(response.headers, "Content-Length"))
      out += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
    out += "Connection: close\r\n\r\n";
    out += response.ending == ScriptedResponse::Ending::finish
               ? response.body
               : response.body.substr(0, response.sendBytes);
    const std::size_t piece = response.dripBytes > 0 ? response.dripBytes : out.size();
    for (std::size_t offset = 0; alive && offset < out.size(); offset += piece) {
      if (offset > 0) std::this_thread::sleep_for(response.dripDelay);
      alive = !stopping && write(std::string_view(out).substr(offset, piece));
    }
    if (response.ending == ScriptedResponse::Ending::stall) {
      // Silent until the client hangs up or the server stops (which shuts the socket down).
      for (ssize_t count = 1;
           alive && (count > 0 || (count < 0 && (errno == EAGAIN || errno == EINTR)));)
        count = ::recv(fd, buffer, sizeof buffer, 0);
    } else if (alive) {
      SSL_shutdown(ssl.get());
    }
  }
  ERR_clear_error();
  std::lock_guard lock(mutex);
  openConnections.erase(fd);
}

HttpsTestServer::HttpsTestServer()
    : ownAuthority_(std::make_unique<TestCertificateAuthority>("Vexa HTTPS Test Authority")),
      state_(std::make_shared<State>()) {
  state_->setUp(*ownAuthority_, 0);
}

HttpsTestServer::HttpsTestServer(const TestCertificateAuthority& authority, std::uint16_t port)
    : state_(std::make_shared<State>()) {
  state_->setUp(authority, port);
}

HttpsTestServer::~HttpsTestServer() {
  State& state = *state_;
  state.stopping = true;
  ::shutdown(state.listener.get(), SHUT_RDWR);  // wakes the accept
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

std::uint16_t HttpsTestServer::port() const { return state_->port; }

platform::UrlSessionConfiguration HttpsTestServer::sessionConfiguration() const {
  platform::UrlSessionConfiguration configuration;
  for (const std::string& host : kHosts)
    configuration.connectTo.push_back(host + ":443:127.0.0.1:" + std::to_string(state_->port));
  configuration.additionalCertificateAuthorities.push_back(state_->authorityFile);
  return configuration;
}

}  // namespace vexa::testing
