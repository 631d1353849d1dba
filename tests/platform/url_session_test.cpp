#include "platform/url_session.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "tests/support/https_test_server.h"
#include "tests/support/qt_application.h"

// The package download and the telemetry submission drive the session end to end (headers of a
// GET and a POST, cancelling from a response, a connection cut short, redirects, invalidating a
// session with a task running); these tests cover what neither of them reaches.
namespace vexa::platform {
namespace {

using namespace std::chrono_literals;

const std::string kUrl = "https://downloads.vexa.example/files/package.dmg";

struct RecordingDelegate : UrlSessionDelegate {
  std::optional<UrlResponse> response;
  std::string body;
  std::optional<UrlError::Code> error;  // `other` for a failure that is no UrlError
  int completions = 0;
  std::function<void(UrlDataTask&)> onData;

  ResponseDisposition didReceiveResponse(UrlSession&, UrlDataTask&,
                                         const UrlResponse& received) override {
    response = received;
    return ResponseDisposition::allow;
  }
  void didReceiveData(UrlSession&, UrlDataTask& task, std::span<const char> data) override {
    body.append(data.data(), data.size());
    if (onData) onData(task);
  }
  void didComplete(UrlSession&, UrlDataTask&, std::exception_ptr failure) override {
    ++completions;
    try {
      if (failure) std::rethrow_exception(failure);
    } catch (const UrlError& failed) {
      error = failed.code();
    } catch (...) {
      error = UrlError::Code::other;
    }
  }
};

class UrlSessionTest : public ::testing::Test {
 protected:
  void SetUp() override { vexa::testing::ensureQtApplication(); }

  // Runs one request to completion with a fresh record and checks that it completed once.
  void run(UrlRequest request, std::optional<UrlSessionConfiguration> configuration = {}) {
    delegate_ = {};
    session_ =
        UrlSession::create(configuration.value_or(server_.sessionConfiguration()), &delegate_);
    task_ = session_->dataTask(std::move(request));
    task_->resume();
    ASSERT_TRUE(vexa::testing::runEventLoopUntil([&] { return delegate_.completions > 0; }));
    vexa::testing::runEventLoopFor(std::chrono::milliseconds(30));
    EXPECT_EQ(delegate_.completions, 1);
  }
  testing::HttpsTestServer server_;
  RecordingDelegate delegate_;
  std::shared_ptr<UrlSession> session_;
  std::shared_ptr<UrlDataTask> task_;  // held on after it finished, as an owner may
};

// A body long enough for libcurl to want "Expect: 100-continue" (1 MiB) goes without it, and the
// finished transfer lets its handle go.
TEST_F(UrlSessionTest, Post_SendsTheBodyWithoutExpectAndKeepsNoHandleOnceFinished) {
  const std::string body((1 << 20) + 1, '{');
  server_.enqueue({.status = 202, .headers = {{"X-Mixed-Case", "Yes"}}});
  const std::size_t handles = liveTransferHandles();
  run({.url = kUrl, .method = "POST", .headers = {{"Content-Type", "text/x"}}, .body = body});
  EXPECT_EQ(liveTransferHandles(), handles);  // the finished task, still held, keeps none
  EXPECT_EQ(delegate_.response->header("X-MIXED-CASE"), "Yes");
  const auto request = server_.requests().at(0);
  EXPECT_EQ(request.body, body);
  EXPECT_EQ(request.headers.size(), 3u);  // Host, Content-Type and Content-Length
}

TEST_F(UrlSessionTest, Failures_CompleteOnceWithTheirKind) {
  // given a server the session does not trust, an unreadable authority, and a server that stalls
  // beyond the idle timeout
  UrlSessionConfiguration untrusting = server_.sessionConfiguration();
  untrusting.additionalCertificateAuthorities.clear();
  run({.url = kUrl}, untrusting);
  EXPECT_EQ(delegate_.error, UrlError::Code::tls);
  untrusting.additionalCertificateAuthorities = {"/nonexistent/authority.pem"};
  run({.url = kUrl}, untrusting);
  EXPECT_EQ(delegate_.error, UrlError::Code::other);  // the file's error, not a TLS refusal

  UrlSessionConfiguration impatient = server_.sessionConfiguration();
  impatient.idleTimeout = std::chrono::seconds(2);
  server_.enqueue({.body = std::string(50000, 'e'),
                   .ending = testing::ScriptedResponse::Ending::stall,
                   .sendBytes = 10});
  run({.url = kUrl}, impatient);
  EXPECT_EQ(delegate_.error, UrlError::Code::timedOut);

  // The idle timeout counts every byte, not whole header lines: a head arriving over more than
  // four seconds, 40 bytes every 600 ms, is not idle (the margin is for a slow handshake).
  server_.enqueue({.headers = {{"X-Padding", std::string(240, 'p')}},
                   .body = "body",
                   .dripBytes = 40,
                   .dripDelay = 600ms});
  run({.url = kUrl}, impatient);
  EXPECT_EQ(delegate_.body, "body");
}

// given an owner that invalidates its session and lets go of it at once, and a delegate that
// cancels the task from inside its first data
TEST_F(UrlSessionTest, CancelFromTheData_StopsDeliveryAtOnceWithoutTheOwner) {
  server_.enqueue({.body = std::string(100000, 'c'), .dripBytes = 1000, .dripDelay = 2ms});
  delegate_.onData = [](UrlDataTask& task) { task.cancel(); };
  auto session = UrlSession::create(server_.sessionConfiguration(), &delegate_);
  session->dataTask({.url = kUrl})->resume();
  session->finishTasksAndInvalidate();
  session.reset();
  ASSERT_TRUE(vexa::testing::runEventLoopUntil([&] { return delegate_.completions > 0; }));
  vexa::testing::runEventLoopFor(50ms);
  EXPECT_EQ(delegate_.completions, 1);
  EXPECT_EQ(delegate_.error, UrlError::Code::cancelled);
  EXPECT_LE(delegate_.body.size(), 1000u);
}

// Descriptors 3 and up that a child started now would inherit.
std::vector<int> inheritable() {
  std::vector<int> found;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    const int fd = std::stoi(entry.path().filename());
    if (fd > 2 && (::fcntl(fd, F_GETFD) & FD_CLOEXEC) == 0) found.push_back(fd);
  }
  return found;
}

// Every descriptor of a transfer is close-on-exec from birth, libcurl's own socket pairs (made with
// the process's socketpair) included; nothing is marked afterwards, which could touch descriptors
// that other threads open meanwhile.
TEST_F(UrlSessionTest, Descriptors_AreCloseOnExecFromBirth) {
  const std::vector<int> fromOurParent = inheritable();
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  EXPECT_EQ(inheritable(), fromOurParent);
  for (const int fd : pair) ::close(fd);
  server_.enqueue({.body = std::string(100000, 'd'), .dripBytes = 20000, .dripDelay = 5ms});
  std::vector<int> duringTransfer = {-1};
  delegate_.onData = [&](UrlDataTask&) { duringTransfer = inheritable(); };
  auto session = UrlSession::create(server_.sessionConfiguration(), &delegate_);
  session->dataTask({.url = kUrl})->resume();
  ASSERT_TRUE(vexa::testing::runEventLoopUntil([&] { return delegate_.completions > 0; }));
  EXPECT_EQ(duringTransfer, fromOurParent);  // {-1} had no data arrived
}

}  // namespace
}  // namespace vexa::platform
