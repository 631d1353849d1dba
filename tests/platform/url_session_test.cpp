#include "platform/url_session.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "tests/support/https_test_server.h"
#include "tests/support/qt_application.h"

namespace vexa::platform {
namespace {

using testing::ScriptedResponse;
using Events = std::vector<std::string>;

const std::string kUrl = "https://downloads.vexa.example/files/package.dmg";

ScriptedResponse drip(std::size_t size, std::size_t piece, std::chrono::milliseconds delay) {
  ScriptedResponse response = ScriptedResponse::withStatus(200, std::string(size, 'x'));
  response.dripBytes = piece;
  response.dripDelay = delay;
  return response;
}
ScriptedResponse ending(ScriptedResponse::Ending how, std::size_t after) {
  ScriptedResponse response = ScriptedResponse::withStatus(200, std::string(50000, 'e'));
  response.ending = how;
  response.sendBytes = after;
  return response;
}

// Records every delegate event in order; the hooks let a test act from inside a callback.
struct RecordingDelegate : UrlSessionDelegate {
  Events events;
  std::optional<UrlResponse> response;
  std::string body;
  std::exception_ptr error;
  int completions = 0;
  std::function<ResponseDisposition(UrlDataTask&)> onResponse;
  std::function<void(UrlDataTask&)> onData;

  void willRedirect(UrlSession&, UrlDataTask&, const UrlResponse&,
                    const std::string& location) override {
    events.push_back("redirect " + location);
  }
  ResponseDisposition didReceiveResponse(UrlSession&, UrlDataTask& task,
                                         const UrlResponse& received) override {
    events.push_back("response " + std::to_string(received.statusCode()));
    response = received;
    return onResponse ? onResponse(task) : ResponseDisposition::allow;
  }
  void didReceiveData(UrlSession&, UrlDataTask& task, std::span<const char> data) override {
    if (events.back() != "data") events.push_back("data");
    body.append(data.data(), data.size());
    if (onData) onData(task);
  }
  void didComplete(UrlSession&, UrlDataTask&, std::exception_ptr failure) override {
    events.push_back("complete");
    error = failure;
    ++completions;
  }
  void clear() {
    events.clear();
    response.reset();
    body.clear();
    error = nullptr;
    completions = 0;
  }
  [[nodiscard]] std::optional<UrlError::Code> errorCode() const {
    if (!error) return std::nullopt;
    try {
      std::rethrow_exception(error);
    } catch (const UrlError& failure) {
      return failure.code();
    } catch (...) {
      return UrlError::Code::other;
    }
  }
};

class UrlSessionTest : public ::testing::Test {
 protected:
  void SetUp() override { vexa::testing::ensureQtApplication(); }

  // Runs one request to completion with a fresh record (the hooks stay).
  void run(UrlRequest request, std::optional<UrlSessionConfiguration> configuration = {}) {
    delegate_.clear();
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
  std::shared_ptr<UrlDataTask> task_;
};

TEST_F(UrlSessionTest, Requests_CarryOnlyCallerHeadersAndDeliverResponseThenBody) {
  ScriptedResponse scripted = drip(100000, 30000, std::chrono::milliseconds(5));
  scripted.status = 206;
  scripted.headers = {{"Content-Range", "bytes 0-99999/100000"}, {"X-Mixed-Case", "Yes"}};
  server_.enqueue(scripted);
  // Every descriptor opened while a transfer runs is close-on-exec.
  const auto openDescriptors = [] {
    std::set<int> fds;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
      fds.insert(std::stoi(entry.path().filename().string()));
    return fds;
  };
  const std::set<int> before = openDescriptors();
  std::vector<int> inherited;
  delegate_.onData = [&](UrlDataTask&) {
    for (const int fd : openDescriptors())
      if (!before.contains(fd) && (::fcntl(fd, F_GETFD) & FD_CLOEXEC) == 0) inherited.push_back(fd);
  };
  run({.url = kUrl, .headers = {{"Accept-Encoding", "identity"}, {"Range", "bytes=0-"}}});
  delegate_.onData = nullptr;
  EXPECT_EQ(delegate_.events, (Events{"response 206", "data", "complete"}));
  EXPECT_FALSE(delegate_.error);
  EXPECT_EQ(delegate_.body, scripted.body);
  EXPECT_TRUE(inherited.empty());
  EXPECT_EQ(delegate_.response->url(), kUrl);
  EXPECT_EQ(delegate_.response->header("content-range"), "bytes 0-99999/100000");
  EXPECT_EQ(delegate_.response->header("X-MIXED-CASE"), "Yes");
  EXPECT_FALSE(delegate_.response->header("Absent"));
  auto request = server_.requests().at(0);
  EXPECT_EQ(request.method + " " + request.path, "GET /files/package.dmg");
  EXPECT_EQ(request.headers.size(), 3u);  // Host and the two given
  EXPECT_EQ(request.header("Range"), "bytes=0-");
  EXPECT_EQ(request.header("Accept-Encoding"), "identity");

  // A body long enough for libcurl to want "Expect: 100-continue" (1 MiB) goes without it.
  server_.enqueue(ScriptedResponse::withStatus(202));
  const std::string body((1 << 20) + 1, '{');
  run({.url = kUrl,
       .method = "POST",
       .headers = {{"Content-Type", "application/json"}},
       .body = body});
  EXPECT_FALSE(delegate_.error);
  EXPECT_EQ(delegate_.response->statusCode(), 202);
  request = server_.requests().at(1);
  EXPECT_EQ(request.method + " " + request.body, "POST " + body);
  EXPECT_EQ(request.headers.size(), 3u);
  EXPECT_EQ(request.header("Content-Type"), "application/json");
  EXPECT_EQ(request.header("Content-Length"), "1048577");

  // A redirect is reported, never followed, and arrives as the response.
  ScriptedResponse redirect = ScriptedResponse::withStatus(302, "moved");
  redirect.headers = {{"Location", "https://downloads.vexa.example/elsewhere"}};
  server_.enqueue(redirect);
  run({.url = kUrl});
  EXPECT_EQ(delegate_.events, (Events{"redirect https://downloads.vexa.example/elsewhere",
                                      "response 302", "data", "complete"}));
  EXPECT_EQ(server_.requests().size(), 3u);
}

TEST_F(UrlSessionTest, Cancel_FromResponseOrDataStopsDeliveryAtOnce) {
  server_.enqueue(ScriptedResponse::withStatus(200, std::string(200000, 'b')));
  delegate_.onResponse = [](UrlDataTask&) { return ResponseDisposition::cancel; };
  run({.url = kUrl});
  EXPECT_EQ(delegate_.events, (Events{"response 200", "complete"}));
  EXPECT_EQ(delegate_.errorCode(), UrlError::Code::cancelled);

  server_.enqueue(drip(100000, 1000, std::chrono::milliseconds(2)));
  delegate_.onResponse = nullptr;
  delegate_.onData = [](UrlDataTask& task) { task.cancel(); };
  run({.url = kUrl});
  EXPECT_EQ(delegate_.errorCode(), UrlError::Code::cancelled);
  EXPECT_LE(delegate_.body.size(), 1000u);
}

TEST_F(UrlSessionTest, Failures_CompleteOnceWithTheirKind) {
  // given a server the session does not trust, one that breaks off early, an unreadable authority,
  // and one that stalls beyond the idle timeout
  UrlSessionConfiguration configuration = server_.sessionConfiguration();
  configuration.additionalCertificateAuthorities.clear();
  run({.url = kUrl}, configuration);
  EXPECT_EQ(delegate_.errorCode(), UrlError::Code::tls);
  EXPECT_EQ(delegate_.events, (Events{"complete"}));
  EXPECT_TRUE(server_.requests().empty());

  server_.enqueue(ending(ScriptedResponse::Ending::close, 20000));
  run({.url = kUrl});
  EXPECT_EQ(delegate_.errorCode(), UrlError::Code::network);

  configuration.additionalCertificateAuthorities = {"/nonexistent/authority.pem"};
  run({.url = kUrl}, configuration);
  EXPECT_TRUE(delegate_.error);

  configuration = server_.sessionConfiguration();
  configuration.idleTimeout = std::chrono::seconds(1);
  server_.enqueue(ending(ScriptedResponse::Ending::stall, 10));
  run({.url = kUrl}, configuration);
  EXPECT_EQ(delegate_.errorCode(), UrlError::Code::timedOut);

  // The idle timeout counts every byte, not whole header lines: a 120-byte header line arriving
  // over two seconds, 20 bytes every 300 ms, is not idle.
  ScriptedResponse slow = ScriptedResponse::withStatus(200, "body");
  slow.headers = {{"X-Padding", std::string(120, 'p')}};
  slow.dripHead = true;
  slow.dripBytes = 20;
  slow.dripDelay = std::chrono::milliseconds(300);
  server_.enqueue(slow);
  run({.url = kUrl}, configuration);
  EXPECT_FALSE(delegate_.error);
  EXPECT_EQ(delegate_.response->header("X-Padding"), std::string(120, 'p'));
  EXPECT_EQ(delegate_.body, "body");
}

TEST_F(UrlSessionTest, Lifetime_FinishedTasksKeepNoHandleAndInvalidationEndsTasks) {
  // given finished tasks whose owner still holds them, and a session its owner then lets go of
  const std::size_t before = liveTransferHandles();
  auto session = UrlSession::create(server_.sessionConfiguration(), &delegate_);
  std::vector<std::shared_ptr<UrlDataTask>> tasks;
  for (int i = 1; i <= 3; ++i) {
    server_.enqueue(ScriptedResponse::withStatus(200, "done"));
    tasks.push_back(session->dataTask({.url = kUrl}));
    tasks.back()->resume();
    ASSERT_TRUE(vexa::testing::runEventLoopUntil([&] { return delegate_.completions == i; }));
  }
  EXPECT_EQ(liveTransferHandles(), before);
  std::weak_ptr<UrlSession> released = session;
  session.reset();
  EXPECT_TRUE(released.expired());

  // A session let go of after finishTasksAndInvalidate still finishes its running task.
  delegate_.clear();
  server_.enqueue(drip(30000, 10000, std::chrono::milliseconds(5)));
  session = UrlSession::create(server_.sessionConfiguration(), &delegate_);
  session->dataTask({.url = kUrl})->resume();
  session->finishTasksAndInvalidate();
  session.reset();
  ASSERT_TRUE(vexa::testing::runEventLoopUntil([&] { return delegate_.completions > 0; }));
  EXPECT_FALSE(delegate_.error);
  EXPECT_EQ(delegate_.body.size(), 30000u);

  // invalidateAndCancel completes a running task before it returns, and nothing comes afterwards.
  delegate_.clear();
  server_.enqueue(ending(ScriptedResponse::Ending::stall, 10));
  session = UrlSession::create(server_.sessionConfiguration(), &delegate_);
  auto task = session->dataTask({.url = kUrl});
  task->resume();
  ASSERT_TRUE(vexa::testing::runEventLoopUntil([&] { return !delegate_.body.empty(); }));
  session->invalidateAndCancel();
  EXPECT_EQ(delegate_.completions, 1);
  EXPECT_EQ(delegate_.errorCode(), UrlError::Code::cancelled);
  task->cancel();
  vexa::testing::runEventLoopFor(std::chrono::milliseconds(30));
  EXPECT_EQ(delegate_.completions, 1);
  EXPECT_THROW((void)session->dataTask({.url = kUrl}), std::logic_error);
}

}  // namespace
}  // namespace vexa::platform
