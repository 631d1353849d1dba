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

using Ending = ScriptedResponse::Ending;
using namespace std::chrono_literals;

// Records every delegate event in order; the hooks let a test act from inside a callback.
struct RecordingDelegate : UrlSessionDelegate {
  struct Record {
    Events events;
    std::optional<UrlResponse> response;
    std::string body;
    std::optional<UrlError::Code> error;  // `other` for a failure that is no UrlError
    int completions = 0;
  } r;
  std::function<ResponseDisposition(UrlDataTask&)> onResponse;
  std::function<void(UrlDataTask&)> onData;

  ResponseDisposition didReceiveResponse(UrlSession&, UrlDataTask& task,
                                         const UrlResponse& received) override {
    r.events.push_back("response " + std::to_string(received.statusCode()));
    r.response = received;
    return onResponse ? onResponse(task) : ResponseDisposition::allow;
  }
  void didReceiveData(UrlSession&, UrlDataTask& task, std::span<const char> data) override {
    if (r.events.back() != "data") r.events.push_back("data");
    r.body.append(data.data(), data.size());
    if (onData) onData(task);
  }
  void didComplete(UrlSession&, UrlDataTask&, std::exception_ptr failure) override {
    r.events.push_back("complete");
    ++r.completions;
    try {
      if (failure) std::rethrow_exception(failure);
    } catch (const UrlError& error) {
      r.error = error.code();
    } catch (...) {
      r.error = UrlError::Code::other;
    }
  }
};

class UrlSessionTest : public ::testing::Test {
 protected:
  void SetUp() override { vexa::testing::ensureQtApplication(); }

  // Runs one request to completion with a fresh record (the hooks stay).
  void run(UrlRequest request, std::optional<UrlSessionConfiguration> configuration = {}) {
    delegate_.r = {};
    session_ =
        UrlSession::create(configuration.value_or(server_.sessionConfiguration()), &delegate_);
    task_ = session_->dataTask(std::move(request));
    task_->resume();
    ASSERT_TRUE(vexa::testing::runEventLoopUntil([&] { return delegate_.r.completions > 0; }));
    vexa::testing::runEventLoopFor(std::chrono::milliseconds(30));
    EXPECT_EQ(delegate_.r.completions, 1);
  }
  testing::HttpsTestServer server_;
  RecordingDelegate delegate_;
  std::shared_ptr<UrlSession> session_;
  std::shared_ptr<UrlDataTask> task_;
};

// The caller's headers alone (with Host) are sent; the download suite checks them for a GET.
TEST_F(UrlSessionTest, Requests_CarryOnlyCallerHeadersAndDeliverResponseThenBody) {
  const ScriptedResponse scripted{
      .status = 206,
      .headers = {{"Content-Range", "bytes 0-99999/100000"}, {"X-Mixed-Case", "Yes"}},
      .body = std::string(100000, 'x'),
      .dripBytes = 30000,
      .dripDelay = 5ms};
  server_.enqueue(scripted);
  // Every descriptor opened while a transfer runs is close-on-exec.
  const auto openDescriptors = [] {
    std::set<int> fds;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
      fds.insert(std::stoi(entry.path().filename().string()));
    return fds;
  };
  const std::set<int> before = openDescriptors();
  std::set<int> inherited;
  delegate_.onData = [&](UrlDataTask&) {
    for (const int fd : openDescriptors())
      if (!before.contains(fd) && (::fcntl(fd, F_GETFD) & FD_CLOEXEC) == 0) inherited.insert(fd);
  };
  run({.url = kUrl});
  delegate_.onData = nullptr;
  EXPECT_EQ(delegate_.r.events, (Events{"response 206", "data", "complete"}));
  EXPECT_EQ(delegate_.r.body, scripted.body);
  EXPECT_EQ(inherited, std::set<int>{});
  EXPECT_EQ(delegate_.r.response->header("X-MIXED-CASE"), "Yes");
  EXPECT_FALSE(delegate_.r.response->header("Absent"));

  // A body long enough for libcurl to want "Expect: 100-continue" (1 MiB) goes without it.
  server_.enqueue(ScriptedResponse::withStatus(202));
  const std::string body((1 << 20) + 1, '{');
  run({.url = kUrl, .method = "POST", .headers = {{"Content-Type", "text/x"}}, .body = body});
  EXPECT_EQ(delegate_.r.response->statusCode(), 202);
  const auto request = server_.requests().at(1);
  EXPECT_EQ(request.method + " " + request.body, "POST " + body);
  EXPECT_EQ(request.headers.size(), 3u);  // Host, Content-Type and Content-Length
}

TEST_F(UrlSessionTest, Cancel_FromResponseOrDataStopsDeliveryAtOnce) {
  server_.enqueue(ScriptedResponse::withStatus(200, std::string(200000, 'b')));
  delegate_.onResponse = [](UrlDataTask&) { return ResponseDisposition::cancel; };
  run({.url = kUrl});
  EXPECT_EQ(delegate_.r.events, (Events{"response 200", "complete"}));
  EXPECT_EQ(delegate_.r.error, UrlError::Code::cancelled);

  server_.enqueue({.body = std::string(100000, 'x'), .dripBytes = 1000, .dripDelay = 2ms});
  delegate_.onResponse = nullptr;
  delegate_.onData = [](UrlDataTask& task) { task.cancel(); };
  run({.url = kUrl});
  EXPECT_EQ(delegate_.r.error, UrlError::Code::cancelled);
  EXPECT_LE(delegate_.r.body.size(), 1000u);
}

TEST_F(UrlSessionTest, Failures_CompleteOnceWithTheirKind) {
  // given a server the session does not trust, an unreadable authority, one that breaks off
  // early, and one that stalls beyond the idle timeout
  UrlSessionConfiguration untrusting = server_.sessionConfiguration();
  untrusting.additionalCertificateAuthorities.clear();
  run({.url = kUrl}, untrusting);
  EXPECT_EQ(delegate_.r.events, (Events{"complete"}));
  EXPECT_EQ(delegate_.r.error, UrlError::Code::tls);
  untrusting.additionalCertificateAuthorities = {"/nonexistent/authority.pem"};
  run({.url = kUrl}, untrusting);
  EXPECT_TRUE(delegate_.r.error);
  EXPECT_TRUE(server_.requests().empty());

  UrlSessionConfiguration impatient = server_.sessionConfiguration();
  impatient.idleTimeout = std::chrono::seconds(2);
  for (const auto& [ending, error] : {std::pair{Ending::close, UrlError::Code::network},
                                      {Ending::stall, UrlError::Code::timedOut}}) {
    server_.enqueue({.body = std::string(50000, 'e'), .ending = ending, .sendBytes = 10});
    run({.url = kUrl}, impatient);
    EXPECT_EQ(delegate_.r.error, error);
  }

  // The idle timeout counts every byte, not whole header lines: a head arriving over more than
  // four seconds, 40 bytes every 600 ms, is not idle (the margin is for a slow handshake).
  server_.enqueue({.headers = {{"X-Padding", std::string(240, 'p')}},
                   .body = "body",
                   .dripBytes = 40,
                   .dripDelay = 600ms});
  run({.url = kUrl}, impatient);
  EXPECT_FALSE(delegate_.r.error);
  EXPECT_EQ(delegate_.r.body, "body");
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
    ASSERT_TRUE(vexa::testing::runEventLoopUntil([&] { return delegate_.r.completions == i; }));
  }
  EXPECT_EQ(liveTransferHandles(), before);
  std::weak_ptr<UrlSession> released = session;
  session.reset();
  EXPECT_TRUE(released.expired());

  // A session let go of after finishTasksAndInvalidate still finishes its running task.
  delegate_.r = {};
  server_.enqueue({.body = std::string(30000, 'x'), .dripBytes = 10000, .dripDelay = 5ms});
  session = UrlSession::create(server_.sessionConfiguration(), &delegate_);
  session->dataTask({.url = kUrl})->resume();
  session->finishTasksAndInvalidate();
  session.reset();
  ASSERT_TRUE(vexa::testing::runEventLoopUntil([&] { return delegate_.r.completions > 0; }));
  EXPECT_EQ(delegate_.r.body.size(), 30000u);

  // invalidateAndCancel completes a running task before it returns, and nothing comes afterwards.
  delegate_.r = {};
  server_.enqueue({.body = "stalled", .ending = Ending::stall, .sendBytes = 3});
  session = UrlSession::create(server_.sessionConfiguration(), &delegate_);
  auto task = session->dataTask({.url = kUrl});
  task->resume();
  ASSERT_TRUE(vexa::testing::runEventLoopUntil([&] { return !delegate_.r.body.empty(); }));
  session->invalidateAndCancel();
  EXPECT_EQ(delegate_.r.error, UrlError::Code::cancelled);
  task->cancel();
  vexa::testing::runEventLoopFor(std::chrono::milliseconds(30));
  EXPECT_EQ(delegate_.r.completions, 1);
  EXPECT_THROW((void)session->dataTask({.url = kUrl}), std::logic_error);
}

}  // namespace
}  // namespace vexa::platform
