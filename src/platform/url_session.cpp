#include "platform/url_session.h"

#include <curl/curl.h>

#include <algorithm>
#include <deque>
#include <mutex>

#include "platform/curl_event_bridge.h"
#include "platform/curl_transfer.h"
#include "platform/deployment_settings.h"
#include "platform/main_thread.h"
#include "platform/response_header_block.h"
#include "platform/tls_authorities.h"

namespace vexa::platform {
namespace {

std::vector<std::string> splitList(std::string_view text) {
  std::vector<std::string> items;
  while (!text.empty()) {
    const std::size_t comma = text.find(',');
    const std::string_view item = trimmedHttpBlanks(text.substr(0, comma));
    if (!item.empty()) items.emplace_back(item);
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  return items;
}

void initializeCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::exception_ptr cancelledError() {
  return std::make_exception_ptr(UrlError(UrlError::Code::cancelled, "cancelled"));
}

bool isRedirect(int status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

class CurlSession;

class CurlTask final : public UrlDataTask, public std::enable_shared_from_this<CurlTask> {
 public:
  CurlTask(std::weak_ptr<CurlSession> session, UrlRequest request)
      : session_(std::move(session)), request_(std::move(request)) {}

  void resume() override;
  void cancel() override;

  // suspended -> running (attached to the multi handle) -> finishing (completion queued) ->
  // completed
  enum class State { suspended, running, finishing, completed };

  std::weak_ptr<CurlSession> session_;
  CurlSession* owner_ = nullptr;  // set while running; the session outlives its running tasks
  const UrlRequest request_;
  State state_ = State::suspended;
  // The libcurl handle, only while running.
  std::unique_ptr<CurlTransfer> transfer_;
  // The header block being read, up to the blank line that ends it.
  ResponseHeaderBlock header_;
  bool decided_ = false;
  bool cancelRequested_ = false;
  // The idle timeout is kept here rather than by libcurl's speed check, which averages over
  // several seconds and so fires late.
  std::chrono::milliseconds idleLimit_{0};
  std::chrono::steady_clock::time_point lastActivity_;
};

class CurlSession final : public UrlSession, public std::enable_shared_from_this<CurlSession> {
 public:
  CurlSession(UrlSessionConfiguration configuration, UrlSessionDelegate* delegate)
      : configuration_(std::move(configuration)), delegate_(delegate) {}
  ~CurlSession() override;
  CurlSession(const CurlSession&) = delete;
  CurlSession& operator=(const CurlSession&) = delete;

  void initialize();

  std::shared_ptr<UrlDataTask> dataTask(UrlRequest request) override;
  void finishTasksAndInvalidate() override;
  void invalidateAndCancel() override;

  void resumeTask(CurlTask& task);
  void cancelTask(CurlTask& task);

  // Called by libcurl from inside curl_multi_socket_action.
  std::size_t headerLine(CurlTask& task, std::string_view line);
  std::size_t bodyChunk(CurlTask& task, std::span<const char> chunk);

 private:
  static std::size_t onHeaderLine(char* data, std::size_t size, std::size_t count, void* task);
  static std::size_t onBodyChunk(char* data, std::size_t size, std::size_t count, void* task);

  void drive(curl_socket_t fd, int events);
  // Bytes arrived on `fd`: the idle clock of its transfer starts again.
  void noteArrival(curl_socket_t fd);
  void armIdleTimer();
  void expireIdleTasks();
  void collectFinished();
  [[nodiscard]] std::shared_ptr<CurlTask> detach(CurlTask& task);
  void complete(const std::shared_ptr<CurlTask>& task, std::exception_ptr error);
  void scheduleDelivery();
  void deliverCompletions();
  void releaseIfIdle();
  bool decideResponse(CurlTask& task);

  const UrlSessionConfiguration configuration_;
  UrlSessionDelegate* delegate_;
  // Made by initialize(); released first when the session goes.
  std::unique_ptr<CurlEventBridge> bridge_;
  TlsAuthorities authorities_;
  std::exception_ptr configurationError_;
  std::vector<std::shared_ptr<CurlTask>> running_;
  std::deque<std::pair<std::shared_ptr<CurlTask>, std::exception_ptr>> completions_;
  // Non-zero while libcurl is on the stack: handles must not be removed from the multi handle then.
  int insideCurl_ = 0;
  bool deliveryScheduled_ = false;
  bool invalidated_ = false;
  // Like the platform session it stands in for, a session with work in flight keeps itself alive.
  std::shared_ptr<CurlSession> self_;
};

void CurlTask::resume() {
  if (auto session = session_.lock()) session->resumeTask(*this);
}

void CurlTask::cancel() {
  if (auto session = session_.lock()) session->cancelTask(*this);
}

void CurlSession::initialize() {
  initializeCurlOnce();
  try {
    authorities_ = TlsAuthorities(configuration_.additionalCertificateAuthorities);
  } catch (...) {
    // Reported as the error of every task, so each one still completes exactly once.
    configurationError_ = std::current_exception();
  }
  bridge_ = std::make_unique<CurlEventBridge>(CurlEventBridge::Callbacks{
      .drive = [this](curl_socket_t fd, int events) { drive(fd, events); },
      .deadlinePassed = [this] { expireIdleTasks(); },
  });
}

CurlSession::~CurlSession() {
  if (bridge_) {
    for (auto& task : running_) {
      curl_multi_remove_handle(bridge_->multi(), task->transfer_->handle());
      task->state_ = CurlTask::State::completed;
    }
    bridge_.reset();
  }
}

std::shared_ptr<UrlDataTask> CurlSession::dataTask(UrlRequest request) {
  if (invalidated_) throw std::logic_error("A task was requested from an invalidated URL session.");
  return std::make_shared<CurlTask>(weak_from_this(), std::move(request));
}

void CurlSession::finishTasksAndInvalidate() {
  auto keep = shared_from_this();
  invalidated_ = true;
  releaseIfIdle();
}

void CurlSession::invalidateAndCancel() {
  auto keep = shared_from_this();
  invalidated_ = true;
  const auto running = running_;
  for (const auto& task : running) cancelTask(*task);
  // The caller may be a delegate that is going away: whatever can be delivered is delivered before
  // this returns, and the delegate is released with it (unless libcurl is on the stack, in which
  // case the cancelled tasks complete as soon as it returns).
  if (insideCurl_ == 0) deliverCompletions();
}

void CurlSession::resumeTask(CurlTask& task) {
  if (task.state_ != CurlTask::State::suspended) return;
  self_ = shared_from_this();
  try {
    if (configurationError_) std::rethrow_exception(configurationError_);
    task.transfer_ = std::make_unique<CurlTransfer>(
        task.request_, configuration_, authorities_,
        CurlTransfer::Callbacks{&CurlSession::onHeaderLine, &CurlSession::onBodyChunk, &task});
    task.idleLimit_ = task.transfer_->idleLimit();
  } catch (...) {
    complete(task.shared_from_this(), std::current_exception());
    scheduleDelivery();
    return;
  }
  task.state_ = CurlTask::State::running;
  task.owner_ = this;
  running_.push_back(task.shared_from_this());
  // libcurl answers through the timer callback: the transfer itself starts from the event loop.
  const CURLMcode added = curl_multi_add_handle(bridge_->multi(), task.transfer_->handle());
  if (added != CURLM_OK) {
    complete(detach(task),
             std::make_exception_ptr(UrlError(UrlError::Code::other, curl_multi_strerror(added))));
    scheduleDelivery();
    return;
  }
  task.lastActivity_ = std::chrono::steady_clock::now();
  armIdleTimer();
}

void CurlSession::cancelTask(CurlTask& task) {
  switch (task.state_) {
    case CurlTask::State::finishing:
    case CurlTask::State::completed:
      return;
    case CurlTask::State::suspended:
      self_ = shared_from_this();
      complete(task.shared_from_this(), cancelledError());
      scheduleDelivery();
      return;
    case CurlTask::State::running:
      task.cancelRequested_ = true;
      // Inside a libcurl callback the handle cannot be removed; the callback refuses to go on and
      // the task is collected as soon as libcurl returns.
      if (insideCurl_ > 0) return;
      complete(detach(task), cancelledError());
      scheduleDelivery();
      return;
  }
}

std::size_t CurlSession::onHeaderLine(char* data, std::size_t size, std::size_t count, void* self) {
  auto& task = *static_cast<CurlTask*>(self);
  return task.owner_->headerLine(task, std::string_view(data, size * count));
}

std::size_t CurlSession::onBodyChunk(char* data, std::size_t size, std::size_t count, void* self) {
  auto& task = *static_cast<CurlTask*>(self);
  return task.owner_->bodyChunk(task, std::span<const char>(data, size * count));
}

void CurlSession::drive(curl_socket_t fd, int events) {
  auto keep = shared_from_this();
  if (insideCurl_ > 0) {
    // A delegate callback runs a nested event loop; libcurl cannot be re-entered. Try again later.
    if (fd == CURL_SOCKET_TIMEOUT) bridge_->retryTimeout();
    return;
  }
  if (fd != CURL_SOCKET_TIMEOUT && (events & CURL_CSELECT_IN) != 0) noteArrival(fd);
  int running = 0;
  ++insideCurl_;
  curl_multi_socket_action(bridge_->multi(), fd, events, &running);
  --insideCurl_;
  collectFinished();
  deliverCompletions();
}

void CurlSession::noteArrival(curl_socket_t fd) {
  // Counted here, per readable socket, rather than in the header and body callbacks: libcurl calls
  // those only for complete header lines and body pieces, so a server sending a line a few bytes
  // at a time would look silent while it is not.
  CURL* const easy = bridge_->transferOn(fd);
  if (easy == nullptr) return;
  for (const auto& task : running_) {
    if (task->transfer_->handle() == easy) task->lastActivity_ = std::chrono::steady_clock::now();
  }
}

void CurlSession::armIdleTimer() {
  std::optional<std::chrono::steady_clock::time_point> earliest;
  for (const auto& task : running_) {
    if (task->idleLimit_.count() <= 0) continue;
    const auto deadline = task->lastActivity_ + task->idleLimit_;
    if (!earliest || deadline < *earliest) earliest = deadline;
  }
  if (!earliest) {
    bridge_->stopDeadline();
    return;
  }
  const auto wait =
      std::chrono::ceil<std::chrono::milliseconds>(*earliest - std::chrono::steady_clock::now());
  bridge_->startDeadline(
      std::chrono::milliseconds(std::clamp<std::int64_t>(wait.count(), 0, 24LL * 3600 * 1000)));
}

void CurlSession::expireIdleTasks() {
  auto keep = shared_from_this();
  if (insideCurl_ > 0) {
    bridge_->startDeadline(std::chrono::milliseconds(1));
    return;
  }
  const auto now = std::chrono::steady_clock::now();
  const auto running = running_;
  for (const auto& task : running) {
    if (task->idleLimit_.count() <= 0 || now - task->lastActivity_ < task->idleLimit_) continue;
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(task->idleLimit_).count();
    complete(detach(*task),
             std::make_exception_ptr(UrlError(UrlError::Code::timedOut,
                                              "The request timed out: nothing was received for " +
                                                  std::to_string(seconds) + " seconds.")));
  }
  armIdleTimer();
  deliverCompletions();
}

void CurlSession::collectFinished() {
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(bridge_->multi(), &left)) {
    if (message->msg != CURLMSG_DONE) continue;
    const CURLcode code = message->data.result;
    void* privateData = nullptr;
    curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &privateData);
    auto& task = *static_cast<CurlTask*>(privateData);
    if (task.state_ != CurlTask::State::running) continue;
    std::exception_ptr error;
    if (task.cancelRequested_) {
      error = cancelledError();
    } else if (code != CURLE_OK) {
      error = std::make_exception_ptr(task.transfer_->failure(code));
    }
    complete(detach(task), error);  // `message` is gone from here on
  }
  // Tasks cancelled from inside a callback of another transfer.
  const auto running = running_;
  for (const auto& task : running) {
    if (!task->cancelRequested_) continue;
    complete(detach(*task), cancelledError());
  }
}

// Takes the task off the multi handle; the caller then holds the only reference the session had.
std::shared_ptr<CurlTask> CurlSession::detach(CurlTask& task) {
  std::shared_ptr<CurlTask> keep = task.shared_from_this();
  if (task.transfer_) curl_multi_remove_handle(bridge_->multi(), task.transfer_->handle());
  std::erase(running_, keep);
  task.transfer_.reset();
  task.owner_ = nullptr;
  return keep;
}

void CurlSession::complete(const std::shared_ptr<CurlTask>& task, std::exception_ptr error) {
  task->state_ = CurlTask::State::finishing;
  completions_.emplace_back(task, std::move(error));
}

void CurlSession::scheduleDelivery() {
  if (deliveryScheduled_) return;
  deliveryScheduled_ = true;
  postToMainThread([weak = weak_from_this()] {
    if (auto session = weak.lock()) {
      session->deliveryScheduled_ = false;
      session->deliverCompletions();
    }
  });
}

void CurlSession::deliverCompletions() {
  auto keep = shared_from_this();
  while (!completions_.empty()) {
    auto [task, error] = std::move(completions_.front());
    completions_.pop_front();
    task->state_ = CurlTask::State::completed;
    if (delegate_ != nullptr) delegate_->didComplete(*this, *task, error);
  }
  releaseIfIdle();
}

void CurlSession::releaseIfIdle() {
  if (!running_.empty() || !completions_.empty()) return;
  if (invalidated_) delegate_ = nullptr;
  self_.reset();  // callers hold their own reference for the rest of the call
}

std::size_t CurlSession::headerLine(CurlTask& task, std::string_view line) {
  if (task.cancelRequested_) return 0;
  task.lastActivity_ = std::chrono::steady_clock::now();
  if (task.decided_) return line.size();  // trailers after the body
  // The blank line of a final block: decided on now, before libcurl hands over the first body byte.
  if (!task.header_.add(line)) return line.size();
  return decideResponse(task) ? line.size() : 0;
}

bool CurlSession::decideResponse(CurlTask& task) {
  task.decided_ = true;
  if (delegate_ == nullptr) return true;
  const UrlResponse response(task.header_.status(), task.request_.url, task.header_.headers());
  if (isRedirect(task.header_.status())) {
    if (const auto location = response.header("Location")) {
      delegate_->willRedirect(*this, task, response, *location);
      if (task.cancelRequested_) return false;
    }
  }
  if (delegate_->didReceiveResponse(*this, task, response) == ResponseDisposition::cancel) {
    task.cancelRequested_ = true;
  }
  return !task.cancelRequested_;
}

std::size_t CurlSession::bodyChunk(CurlTask& task, std::span<const char> chunk) {
  if (task.cancelRequested_) return 0;
  task.lastActivity_ = std::chrono::steady_clock::now();
  if (!task.decided_ && !decideResponse(task)) return 0;
  if (delegate_ != nullptr) delegate_->didReceiveData(*this, task, chunk);
  return task.cancelRequested_ ? 0 : chunk.size();
}

}  // namespace

std::optional<std::string> UrlResponse::header(std::string_view name) const {
  std::optional<std::string> joined;
  for (const auto& [key, value] : headers_) {
    if (!equalsIgnoringCase(key, name)) continue;
    if (joined) {
      *joined += ", ";
      *joined += value;
    } else {
      joined = value;
    }
  }
  return joined;
}

UrlSessionConfiguration UrlSessionConfiguration::ephemeral() {
  UrlSessionConfiguration configuration;
  configuration.connectTo = splitList(DeploymentSettings::connectTo);
  if (!DeploymentSettings::extraCaFile.empty()) {
    configuration.additionalCertificateAuthorities.emplace_back(
        std::string(DeploymentSettings::extraCaFile));
  }
  return configuration;
}

std::shared_ptr<UrlSession> UrlSession::create(UrlSessionConfiguration configuration,
                                               UrlSessionDelegate* delegate) {
  auto session = std::make_shared<CurlSession>(std::move(configuration), delegate);
  session->initialize();
  return session;
}

}  // namespace vexa::platform
