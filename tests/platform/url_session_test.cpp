#include "platform/url_session.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "tests/support/https_test_server.h"
#include "tests/support/qt_application.h"

namespace vexa::platform {
namespace {

using testing::HttpsTestServer;
using testing::ScriptedResponse;

const std::string kUrl = "https://downloads.vexa.example/files/package.dmg";

// Records every delegate event in order; optional hooks let a test act from inside a callback.
struct RecordingDelegate : UrlSessionDelegate {
  std::vector<std::string> events;
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

  // Runs one request to completion and returns the delegate's record.
  void run(UrlRequest request,
           std::optional<UrlSessionConfiguration> configuration = std::nullopt) {
    session_ =
        UrlSession::create(configuration.value_or(server_.sessionConfiguration()), &delegate_);
    task_ = session_->dataTask(std::move(request));
    task_->resume();
    ASSERT_TRUE(vexa::testing::runEventLoopUntil([&] { return delegate_.completions > 0; }));
  }

  HttpsTestServer server_;
  RecordingDelegate delegate_;
  std::shared_ptr<UrlSession> session_;
  std::shared_ptr<UrlDataTask> task_;
};

TEST_F(UrlSessionTest, Get_SendsOnlyCallerHeadersAndDeliversResponseThenBody) {
  ScriptedResponse scripted = ScriptedResponse::withStatus(206, std::string(100000, 'x'));
  scripted.headers = {{"Content-Range", "bytes 0-99999/100000"}, {"X-Mixed-Case", "Yes"}};
  scripted.dripBytes = 30000;
  scripted.dripDelay = std::chrono::milliseconds(5);
  server_.enqueue(scripted);

  run({.url = kUrl, .headers = {{"Accept-Encoding", "identity"}, {"Range", "bytes=0-"}}});

  EXPECT_EQ(delegate_.events, (std::vector<std::string>{"response 206", "data", "complete"}));
  EXPECT_FALSE(delegate_.error);
  EXPECT_EQ(delegate_.body, scripted.body);
  ASSERT_TRUE(delegate_.response);
  EXPECT_EQ(delegate_.response->url(), kUrl);
  EXPECT_EQ(delegate_.response->header("content-range"), "bytes 0-99999/100000");
  EXPECT_EQ(delegate_.response->header("X-MIXED-CASE"), "Yes");
  EXPECT_FALSE(delegate_.response->header("Absent"));

  const auto requests = server_.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "GET");
  EXPECT_EQ(requests[0].path, "/files/package.dmg");
  std::set<std::string> names;
  for (const auto& [name, value] : requests[0].headers) names.insert(name);
  EXPECT_EQ(names, (std::set<std::string>{"Host", "Accept-Encoding", "Range"}));
  EXPECT_EQ(requests[0].header("Range"), "bytes=0-");
}

TEST_F(UrlSessionTest, Post_CarriesBodyWithoutAddedHeaders) {
  server_.enqueue(ScriptedResponse::withStatus(202));
  const std::string body(5000, '{');  // long enough for libcurl to want "Expect: 100-continue"

  run({.url = "https://telemetry.vexa.example/v2/telemetry/events",
       .method = "POST",
       .headers = {{"Content-Type", "application/json"}},
       .body = body});

  EXPECT_FALSE(delegate_.error);
  EXPECT_EQ(delegate_.response->statusCode(), 202);
  const auto request = server_.requests().at(0);
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.body, body);
  EXPECT_EQ(request.header("Content-Type"), "application/json");
  EXPECT_EQ(request.header("Content-Length"), "5000");
  EXPECT_FALSE(request.header("Expect"));
  EXPECT_FALSE(request.header("Accept"));
  EXPECT_FALSE(request.header("User-Agent"));
}

TEST_F(UrlSessionTest, Redirect_IsReportedNeverFollowedAndArrivesAsTheResponse) {
  ScriptedResponse redirect = ScriptedResponse::withStatus(302, "moved");
  redirect.headers = {{"Location", "https://downloads.vexa.example/elsewhere"}};
  server_.enqueue(redirect);

  run({.url = kUrl});

  EXPECT_EQ(delegate_.events,
            (std::vector<std::string>{"redirect https://downloads.vexa.example/elsewhere",
                                      "response 302", "data", "complete"}));
  EXPECT_EQ(server_.requestCount(), 1u);
}

TEST_F(UrlSessionTest, CancelledResponse_DeliversNoBodyAndCompletesCancelledOnce) {
  server_.enqueue(ScriptedResponse::withStatus(200, std::string(200000, 'b')));
  delegate_.onResponse = [](UrlDataTask&) { return ResponseDisposition::cancel; };

  run({.url = kUrl});
  vexa::testing::runEventLoopFor(std::chrono::milliseconds(50));

  EXPECT_EQ(delegate_.events, (std::vector<std::string>{"response 200", "complete"}));
  EXPECT_EQ(delegate_.errorCode(), UrlError::Code::cancelled);
}

TEST_F(UrlSessionTest, CancelFromDataCallback_StopsDeliveryAtOnce) {
  ScriptedResponse slow = ScriptedResponse::withStatus(200, std::string(100000, 'c'));
  slow.dripBytes = 1000;
  slow.dripDelay = std::chrono::milliseconds(2);
  server_.enqueue(slow);
  delegate_.onData = [](UrlDataTask& task) { task.cancel(); };

  run({.url = kUrl});
  vexa::testing::runEventLoopFor(std::chrono::milliseconds(50));

  EXPECT_EQ(delegate_.completions, 1);
  EXPECT_EQ(delegate_.errorCode(), UrlError::Code::cancelled);
  EXPECT_LE(delegate_.body.size(), 1000u);
}

TEST_F(UrlSessionTest, Failures_CompleteOnceWithTheirKind) {
  // given a server the session does not trust, one that breaks off early, and an unreadable
  // authority
  UrlSessionConfiguration untrusted = server_.sessionConfiguration();
  untrusted.additionalCertificateAuthorities.clear();
  run({.url = kUrl}, untrusted);
  EXPECT_EQ(delegate_.errorCode(), UrlError::Code::tls);
  EXPECT_EQ(delegate_.events, (std::vector<std::string>{"complete"}));
  EXPECT_EQ(server_.requestCount(), 0u);

  delegate_ = {};
  ScriptedResponse cut = ScriptedResponse::withStatus(200, std::string(50000, 'd'));
  cut.ending = ScriptedResponse::Ending::close;
  cut.sendBytes = 20000;
  server_.enqueue(cut);
  run({.url = kUrl});
  EXPECT_EQ(delegate_.errorCode(), UrlError::Code::network);

  delegate_ = {};
  UrlSessionConfiguration missing = server_.sessionConfiguration();
  missing.additionalCertificateAuthorities = {"/nonexistent/authority.pem"};
  run({.url = kUrl}, missing);
  EXPECT_EQ(delegate_.completions, 1);
  EXPECT_TRUE(delegate_.error);
}

TEST_F(UrlSessionTest, IdleTimeout_EndsAStalledTransfer) {
  ScriptedResponse stalled = ScriptedResponse::withStatus(200, std::string(1000, 'e'));
  stalled.ending = ScriptedResponse::Ending::stall;
  stalled.sendBytes = 10;
  server_.enqueue(stalled);
  UrlSessionConfiguration configuration = server_.sessionConfiguration();
  configuration.idleTimeout = std::chrono::seconds(1);

  run({.url = kUrl}, configuration);

  EXPECT_EQ(delegate_.errorCode(), UrlError::Code::timedOut);
}

TEST_F(UrlSessionTest, IdleTimeout_CountsEveryByteNotWholeHeaderLines) {
  // given a header line that takes about two seconds to arrive, 20 bytes every 300 ms
  ScriptedResponse slow = ScriptedResponse::withStatus(200, "body");
  slow.headers = {{"X-Padding", std::string(120, 'p')}};
  slow.dripHead = true;
  slow.dripBytes = 20;
  slow.dripDelay = std::chrono::milliseconds(300);
  server_.enqueue(slow);
  UrlSessionConfiguration configuration = server_.sessionConfiguration();
  configuration.idleTimeout = std::chrono::seconds(1);

  run({.url = kUrl}, configuration);

  EXPECT_FALSE(delegate_.error);
  EXPECT_EQ(delegate_.response->header("X-Padding"), std::string(120, 'p'));
  EXPECT_EQ(delegate_.body, "body");
}

TEST_F(UrlSessionTest, FinishedTasks_KeepNoTransferHandleAndNoSession) {
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
  const std::weak_ptr<UrlSession> released = session;
  session.reset();
  EXPECT_TRUE(released.expired());
}

TEST_F(UrlSessionTest, Descriptors_AreCloseOnExecWhileATransferRuns) {
  const auto openDescriptors = [] {
    std::set<int> fds;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
      fds.insert(std::stoi(entry.path().filename().string()));
    }
    return fds;
  };
  const std::set<int> before = openDescriptors();
  ScriptedResponse slow = ScriptedResponse::withStatus(200, std::string(20000, 'f'));
  slow.dripBytes = 5000;
  slow.dripDelay = std::chrono::milliseconds(5);
  server_.enqueue(slow);
  std::vector<int> inherited;
  delegate_.onData = [&](UrlDataTask&) {
    for (const int fd : openDescriptors()) {
      const int flags = ::fcntl(fd, F_GETFD);
      if (!before.contains(fd) && flags >= 0 && (flags & FD_CLOEXEC) == 0) inherited.push_back(fd);
    }
  };

  run({.url = kUrl});

  EXPECT_FALSE(delegate_.error);
  EXPECT_TRUE(inherited.empty()) << "descriptor " << inherited.front() << " would be inherited";
}

TEST_F(UrlSessionTest, Invalidation_FinishesRunningTasksAndThenReleasesTheDelegate) {
  ScriptedResponse slow = ScriptedResponse::withStatus(200, std::string(30000, 'g'));
  slow.dripBytes = 10000;
  slow.dripDelay = std::chrono::milliseconds(5);
  server_.enqueue(slow);

  // given a session the caller lets go of at once, after invalidating it
  auto session = UrlSession::create(server_.sessionConfiguration(), &delegate_);
  session->dataTask({.url = kUrl})->resume();
  session->finishTasksAndInvalidate();
  session.reset();
  ASSERT_TRUE(vexa::testing::runEventLoopUntil([&] { return delegate_.completions > 0; }));
  EXPECT_FALSE(delegate_.error);
  EXPECT_EQ(delegate_.body.size(), 30000u);

  // and a running task cancelled by invalidateAndCancel: its completion arrives before the call
  // returns, and nothing afterwards
  delegate_ = {};
  ScriptedResponse stalled = ScriptedResponse::withStatus(200, std::string(1000, 'h'));
  stalled.ending = ScriptedResponse::Ending::stall;
  stalled.sendBytes = 10;
  server_.enqueue(stalled);
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
