#include "tests/support/connect_proxy.h"

#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string_view>
#include <thread>

#include "platform/unique_fd.h"

namespace vexa::testing {
namespace {

sockaddr_in loopback(std::uint16_t port) {
  return {AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
}

bool writeAll(int fd, std::string_view data) {
  for (ssize_t written = 0; !data.empty(); data.remove_prefix(static_cast<std::size_t>(written))) {
    written = ::write(fd, data.data(), data.size());
    if (written <= 0) return false;
  }
  return true;
}

}  // namespace

// Connection threads look at `stopping` between short polls, so the destructor only has to wake
// the accept.
struct ConnectProxy::State {
  platform::UniqueFd listener;
  std::uint16_t port = 0;
  std::uint16_t destination = 0;
  std::atomic<bool> refusing{false};
  std::atomic<bool> stopping{false};
  mutable std::mutex mutex;
  std::vector<std::string> targets;
  std::vector<std::thread> threads;
  std::thread acceptThread;

  // Waits for bytes on either end and passes them on, until an end closes or the proxy stops.
  // With one end only, returns the first byte that arrives (or nothing).
  std::string relay(int from, int to = -1) {
    pollfd ends[2] = {{from, POLLIN, 0}, {to, POLLIN, 0}};
    char buffer[16384];
    while (!stopping) {
      if (::poll(ends, to < 0 ? 1 : 2, 50) < 0) return {};
      for (int i = 0; i < 2; ++i) {
        if (ends[i].revents == 0) continue;
        const ssize_t count = ::read(ends[i].fd, buffer, to < 0 ? 1 : sizeof buffer);
        if (count <= 0) return {};
        if (to < 0) return std::string(buffer, 1);
        if (!writeAll(ends[1 - i].fd, std::string_view(buffer, count))) return {};
      }
    }
    return {};
  }

  void serve(platform::UniqueFd client) {
    // The head byte by byte, so that nothing of the tunnel is read with it.
    std::string head;
    while (head.find("\r\n\r\n") == std::string::npos) {
      const std::string byte = relay(client.get());
      if (byte.empty()) return;
      head += byte;
    }
    const std::size_t end = head.find(' ', 8);
    if (!head.starts_with("CONNECT ") || end == std::string::npos) return;
    {
      std::lock_guard lock(mutex);
      targets.push_back(head.substr(8, end - 8));
    }
    const platform::UniqueFd upstream(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in address = loopback(destination);
    if (refusing ||
        ::connect(upstream.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address)) {
      writeAll(client.get(), "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n");
    } else if (writeAll(client.get(), "HTTP/1.1 200 Connection established\r\n\r\n")) {
      relay(client.get(), upstream.get());
    }
  }
};

ConnectProxy::ConnectProxy(std::uint16_t destination) : state_(std::make_shared<State>()) {
  ::signal(SIGPIPE, SIG_IGN);  // a client that hangs up must not end the test
  State& state = *state_;
  state.destination = destination;
  state.listener = platform::UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address = loopback(0);
  socklen_t length = sizeof address;
  if (!state.listener ||
      ::bind(state.listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(state.listener.get(), 16) != 0 ||
      ::getsockname(state.listener.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
    throw std::runtime_error("CONNECT proxy: cannot listen on loopback");
  state.port = ntohs(address.sin_port);
  state.acceptThread = std::thread([&state] {
    while (!state.stopping) {
      platform::UniqueFd client(::accept4(state.listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (!client) continue;
      std::lock_guard lock(state.mutex);
      state.threads.emplace_back(
          [&state, client = std::move(client)]() mutable { state.serve(std::move(client)); });
    }
  });
}

ConnectProxy::~ConnectProxy() {
  state_->stopping = true;
  ::shutdown(state_->listener.get(), SHUT_RDWR);  // wakes the accept
  state_->acceptThread.join();
  for (auto& thread : state_->threads) thread.join();
}

std::string ConnectProxy::url() const { return "http://127.0.0.1:" + std::to_string(state_->port); }

void ConnectProxy::setRefusing(bool refusing) { state_->refusing = refusing; }

std::vector<std::string> ConnectProxy::targets() const {
  std::lock_guard lock(state_->mutex);
  return state_->targets;
}

}  // namespace vexa::testing
