#include "platform/url_session.h"

#include <curl/curl.h>
#include <dirent.h>
#include <fcntl.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <system_error>

#include "platform/deployment_settings.h"
#include "platform/main_thread.h"

namespace vexa::platform {
namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::string_view trimmed(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

std::vector<std::string> splitList(std::string_view text) {
  std::vector<std::string> items;
  while (!text.empty()) {
    const std::size_t comma = text.find(',');
    const std::string_view item = trimmed(text.substr(0, comma));
    if (!item.empty()) items.emplace_back(item);
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  return items;
}

bool hasLineBreak(std::string_view text) {
  return text.find_first_of("\r\n") != std::string_view::npos;
}

void initializeCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// Counts what it releases, so that a handle kept past its transfer shows (see liveTransferHandles).
std::atomic<std::size_t> liveEasyHandles{0};

struct CurlEasyDeleter {
  void operator()(CURL* easy) const {
    curl_easy_cleanup(easy);
    --liveEasyHandles;
  }
};
struct CurlListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct X509Deleter {
  void operator()(X509* certificate) const { X509_free(certificate); }
};
using CurlList = std::unique_ptr<curl_slist, CurlListDeleter>;
using Certificate = std::unique_ptr<X509, X509Deleter>;

void append(CurlList& list, const std::string& line) {
  curl_slist* grown = curl_slist_append(list.get(), line.c_str());
  if (grown == nullptr) throw std::bad_alloc();
  (void)list.release();
  list.reset(grown);
}

// Every certificate in each PEM file. A missing file, or one without a certificate, is an error:
// silently trusting less than configured would only surface later as a puzzling TLS failure.
std::vector<Certificate> loadAuthorities(const std::vector<std::filesystem::path>& files) {
  std::vector<Certificate> certificates;
  for (const auto& file : files) {
    std::FILE* stream = std::fopen(file.c_str(), "rbe");
    if (stream == nullptr) {
      throw std::system_error(errno, std::generic_category(),
                              "Cannot read the certificate authority file " + file.string());
    }
    const std::size_t before = certificates.size();
    while (X509* certificate = PEM_read_X509(stream, nullptr, nullptr, nullptr)) {
      certificates.emplace_back(certificate);
    }
    std::fclose(stream);
    if (certificates.size() == before) {
      throw UrlError(UrlError::Code::tls,
                     "No certificate in the certificate authority file " + file.string());
    }
  }
  return certificates;
}

UrlError::Code classify(CURLcode code) {
  switch (code) {
    case CURLE_OPERATION_TIMEDOUT:
      return UrlError::Code::timedOut;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_USE_SSL_FAILED:
      return UrlError::Code::tls;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_CONNECT:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    case CURLE_WEIRD_SERVER_REPLY:
      return UrlError::Code::network;
    default:
      return UrlError::Code::other;
  }
}

std::exception_ptr cancelledError() {
  return std::make_exception_ptr(UrlError(UrlError::Code::cancelled, "cancelled"));
}

bool isRedirect(int status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// libcurl does not open its sockets close-on-exec; opening them here makes sure that a child
// started while a transfer runs never inherits a connection.
curl_socket_t openSocket(void*, curlsocktype, curl_sockaddr* address) {
  const int fd = ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
  return fd < 0 ? CURL_SOCKET_BAD : fd;
}

std::vector<int> openDescriptors() {
  std::vector<int> fds;
  DIR* directory = ::opendir("/proc/self/fd");
  if (directory == nullptr) return fds;
  while (const dirent* entry = ::readdir(directory)) {
    int fd = -1;
    const std::string_view name(entry->d_name);
    if (std::from_chars(name.data(), name.data() + name.size(), fd).ec == std::errc())
      fds.push_back(fd);
  }
  ::closedir(directory);
  std::sort(fds.begin(), fds.end());
  return fds;
}

void markCloseOnExec(int fd) {
  const int flags = ::fcntl(fd, F_GETFD);
  if (flags >= 0 && (flags & FD_CLOEXEC) == 0) ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

// libcurl's multi handle opens a socket pair of its own (to be woken up) without close-on-exec and
// offers no hook for it: the sockets that appear while it is made are marked afterwards.
CURLM* newMultiHandle() {
  const std::vector<int> before = openDescriptors();
  CURLM* multi = curl_multi_init();
  for (const int fd : openDescriptors()) {
    struct stat status {};
    if (!std::binary_search(before.begin(), before.end(), fd) && ::fstat(fd, &status) == 0 &&
        S_ISSOCK(status.st_mode)) {
      markCloseOnExec(fd);
    }
  }
  return multi;
}

// Often called while the object itself is emitting, so the event loop deletes it afterwards. While
// the application object is being destroyed, though, posting a deferred delete blocks on the event
// queue Qt is clearing; then (and with no application at all) nothing emits any more and the
// object is deleted at once.
void disposeQObject(QObject* object) {
  QObject::disconnect(object, nullptr, nullptr, nullptr);
  if (QCoreApplication::instance() == nullptr || QCoreApplication::closingDown()) {
    delete object;
  } else {
    object->deleteLater();
  }
}

void disposeNotifier(QSocketNotifier*& notifier) {
  if (notifier == nullptr) return;
  notifier->setEnabled(false);
  disposeQObject(notifier);
  notifier = nullptr;
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
  std::unique_ptr<CURL, CurlEasyDeleter> easy_;
  CurlList headerList_;
  CurlList connectTo_;
  char errorBuffer_[CURL_ERROR_SIZE] = {};
  // The header block being read, up to the blank line that ends it.
  int status_ = 0;
  std::vector<std::pair<std::string, std::string>> responseHeaders_;
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
  struct SocketWatch {
    QSocketNotifier* read = nullptr;
    QSocketNotifier* write = nullptr;
    // The transfer libcurl last named for this socket.
    CURL* easy = nullptr;
  };

  static int onSocket(CURL* easy, curl_socket_t fd, int what, void* self, void* socketData);
  static int onTimer(CURLM* multi, long timeoutMs, void* self);
  static CURLcode onSslContext(CURL* easy, void* context, void* self);

  void configureEasy(CurlTask& task);
  void watchSocket(CURL* easy, curl_socket_t fd, int what);
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
  CURLM* multi_ = nullptr;
  QTimer* timer_ = nullptr;
  QTimer* idleTimer_ = nullptr;
  std::map<curl_socket_t, SocketWatch> sockets_;
  std::vector<Certificate> authorities_;
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
    authorities_ = loadAuthorities(configuration_.additionalCertificateAuthorities);
  } catch (...) {
    // Reported as the error of every task, so each one still completes exactly once.
    configurationError_ = std::current_exception();
  }
  multi_ = newMultiHandle();
  if (multi_ == nullptr) throw std::bad_alloc();
  curl_multi_setopt(multi_, CURLMOPT_SOCKETFUNCTION, &CurlSession::onSocket);
  curl_multi_setopt(multi_, CURLMOPT_SOCKETDATA, this);
  curl_multi_setopt(multi_, CURLMOPT_TIMERFUNCTION, &CurlSession::onTimer);
  curl_multi_setopt(multi_, CURLMOPT_TIMERDATA, this);
  timer_ = new QTimer();
  timer_->setSingleShot(true);
  QObject::connect(timer_, &QTimer::timeout, [this] { drive(CURL_SOCKET_TIMEOUT, 0); });
  idleTimer_ = new QTimer();
  idleTimer_->setSingleShot(true);
  QObject::connect(idleTimer_, &QTimer::timeout, [this] { expireIdleTasks(); });
}

CurlSession::~CurlSession() {
  if (multi_ != nullptr) {
    for (auto& task : running_) {
      curl_multi_remove_handle(multi_, task->easy_.get());
      task->state_ = CurlTask::State::completed;
    }
    curl_multi_setopt(multi_, CURLMOPT_TIMERFUNCTION, nullptr);
    curl_multi_cleanup(multi_);
  }
  for (auto& [fd, watch] : sockets_) {
    disposeNotifier(watch.read);
    disposeNotifier(watch.write);
  }
  for (QTimer* timer : {timer_, idleTimer_}) {
    if (timer == nullptr) continue;
    timer->stop();
    disposeQObject(timer);
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
    configureEasy(task);
  } catch (...) {
    task.easy_.reset();
    complete(task.shared_from_this(), std::current_exception());
    scheduleDelivery();
    return;
  }
  task.state_ = CurlTask::State::running;
  task.owner_ = this;
  running_.push_back(task.shared_from_this());
  // libcurl answers through the timer callback: the transfer itself starts from the event loop.
  const CURLMcode added = curl_multi_add_handle(multi_, task.easy_.get());
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

void CurlSession::configureEasy(CurlTask& task) {
  const UrlRequest& request = task.request_;
  CURL* easy = curl_easy_init();
  if (easy == nullptr) throw std::bad_alloc();
  ++liveEasyHandles;
  task.easy_.reset(easy);
  const auto set = [easy](CURLoption option, auto value) {
    const CURLcode code = curl_easy_setopt(easy, option, value);
    if (code != CURLE_OK) {
      throw UrlError(code == CURLE_NOT_BUILT_IN || code == CURLE_UNKNOWN_OPTION
                         ? UrlError::Code::tls
                         : UrlError::Code::other,
                     std::string("The transfer cannot be set up: ") + curl_easy_strerror(code));
    }
  };

  set(CURLOPT_URL, request.url.c_str());
  set(CURLOPT_PRIVATE, static_cast<void*>(&task));
  set(CURLOPT_ERRORBUFFER, task.errorBuffer_);
  set(CURLOPT_NOSIGNAL, 1L);
  set(CURLOPT_PROTOCOLS_STR, "https");
  set(CURLOPT_FOLLOWLOCATION, 0L);
  set(CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_2TLS));
  set(CURLOPT_SSL_VERIFYPEER, 1L);
  set(CURLOPT_SSL_VERIFYHOST, 2L);
  // Bodies are delivered exactly as sent: a Content-Encoding is the caller's business.
  set(CURLOPT_HTTP_CONTENT_DECODING, 0L);
  set(CURLOPT_OPENSOCKETFUNCTION, &openSocket);
  set(
      CURLOPT_HEADERFUNCTION, +[](char* data, std::size_t size, std::size_t count, void* self) {
        auto& task = *static_cast<CurlTask*>(self);
        return task.owner_->headerLine(task, std::string_view(data, size * count));
      });
  set(CURLOPT_HEADERDATA, static_cast<void*>(&task));
  set(
      CURLOPT_WRITEFUNCTION, +[](char* data, std::size_t size, std::size_t count, void* self) {
        auto& task = *static_cast<CurlTask*>(self);
        return task.owner_->bodyChunk(task, std::span<const char>(data, size * count));
      });
  set(CURLOPT_WRITEDATA, static_cast<void*>(&task));
  // Larger reads than the 16 KiB default: fewer trips through the event loop on fast links.
  set(CURLOPT_BUFFERSIZE, 256L * 1024L);

  const auto idle = std::min(request.timeout, configuration_.idleTimeout);
  if (idle.count() > 0) {
    set(CURLOPT_CONNECTTIMEOUT, static_cast<long>(idle.count()));
    task.idleLimit_ = idle;
  }
  if (configuration_.resourceTimeout.count() > 0) {
    set(CURLOPT_TIMEOUT, static_cast<long>(configuration_.resourceTimeout.count()));
  }

  if (!authorities_.empty()) {
    set(CURLOPT_SSL_CTX_FUNCTION, &CurlSession::onSslContext);
    set(CURLOPT_SSL_CTX_DATA, static_cast<void*>(this));
    // The cached store would be shared with transfers that never saw the extra authorities.
    set(CURLOPT_CA_CACHE_TIMEOUT, 0L);
  }
  if (!configuration_.connectTo.empty()) {
    for (const auto& entry : configuration_.connectTo) append(task.connectTo_, entry);
    set(CURLOPT_CONNECT_TO, task.connectTo_.get());
    // The overrides name the exact address to reach; a proxy from the environment would defeat
    // them.
    set(CURLOPT_NOPROXY, "*");
  }

  if (request.method == "GET") {
    set(CURLOPT_HTTPGET, 1L);
  } else if (request.method == "HEAD") {
    set(CURLOPT_NOBODY, 1L);
  } else if (request.method == "POST") {
    set(CURLOPT_POST, 1L);
  } else {
    set(CURLOPT_CUSTOMREQUEST, request.method.c_str());
  }
  if (!request.body.empty() || request.method == "POST" || request.method == "PUT") {
    set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
    set(CURLOPT_POSTFIELDS, request.body.data());
  }

  // Exactly the caller's headers. The empty forms remove what libcurl would add on its own.
  bool accept = false, expect = false, contentType = false;
  for (const auto& [name, value] : request.headers) {
    if (name.empty() || hasLineBreak(name) || hasLineBreak(value) ||
        name.find(':') != std::string::npos) {
      throw UrlError(UrlError::Code::other, "The request header \"" + name + "\" is malformed.");
    }
    accept = accept || equalsIgnoringCase(name, "Accept");
    expect = expect || equalsIgnoringCase(name, "Expect");
    contentType = contentType || equalsIgnoringCase(name, "Content-Type");
    append(task.headerList_, value.empty() ? name + ";" : name + ": " + value);
  }
  if (!accept) append(task.headerList_, "Accept:");
  if (!expect) append(task.headerList_, "Expect:");
  if (!contentType) append(task.headerList_, "Content-Type:");
  set(CURLOPT_HTTPHEADER, task.headerList_.get());
}

int CurlSession::onSocket(CURL* easy, curl_socket_t fd, int what, void* self, void*) {
  static_cast<CurlSession*>(self)->watchSocket(easy, fd, what);
  return 0;
}

int CurlSession::onTimer(CURLM*, long timeoutMs, void* self) {
  QTimer* timer = static_cast<CurlSession*>(self)->timer_;
  if (timeoutMs < 0) {
    timer->stop();
  } else {
    timer->start(static_cast<int>(std::min<long>(timeoutMs, 24L * 3600 * 1000)));
  }
  return 0;
}

CURLcode CurlSession::onSslContext(CURL*, void* context, void* self) {
  X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(context));
  for (const auto& certificate : static_cast<CurlSession*>(self)->authorities_) {
    // A certificate already in the store is not an error worth failing the connection for.
    X509_STORE_add_cert(store, certificate.get());
  }
  return CURLE_OK;
}

void CurlSession::watchSocket(CURL* easy, curl_socket_t fd, int what) {
  if (what == CURL_POLL_REMOVE) {
    const auto found = sockets_.find(fd);
    if (found == sockets_.end()) return;
    disposeNotifier(found->second.read);
    disposeNotifier(found->second.write);
    sockets_.erase(found);
    return;
  }
  const auto [found, added] = sockets_.try_emplace(fd);
  // The read end of the resolver's socket pair is one of these, and not close-on-exec by itself.
  if (added) markCloseOnExec(fd);
  SocketWatch& watch = found->second;
  watch.easy = easy;
  const bool wantRead = what == CURL_POLL_IN || what == CURL_POLL_INOUT;
  const bool wantWrite = what == CURL_POLL_OUT || what == CURL_POLL_INOUT;
  if (wantRead && watch.read == nullptr) {
    watch.read = new QSocketNotifier(fd, QSocketNotifier::Read);
    QObject::connect(watch.read, &QSocketNotifier::activated,
                     [this, fd] { drive(fd, CURL_CSELECT_IN); });
  }
  if (wantWrite && watch.write == nullptr) {
    watch.write = new QSocketNotifier(fd, QSocketNotifier::Write);
    QObject::connect(watch.write, &QSocketNotifier::activated,
                     [this, fd] { drive(fd, CURL_CSELECT_OUT); });
  }
  if (watch.read != nullptr) watch.read->setEnabled(wantRead);
  if (watch.write != nullptr) watch.write->setEnabled(wantWrite);
}

void CurlSession::drive(curl_socket_t fd, int events) {
  auto keep = shared_from_this();
  if (insideCurl_ > 0) {
    // A delegate callback runs a nested event loop; libcurl cannot be re-entered. Try again later.
    if (fd == CURL_SOCKET_TIMEOUT) timer_->start(1);
    return;
  }
  if (fd != CURL_SOCKET_TIMEOUT && (events & CURL_CSELECT_IN) != 0) noteArrival(fd);
  int running = 0;
  ++insideCurl_;
  curl_multi_socket_action(multi_, fd, events, &running);
  --insideCurl_;
  collectFinished();
  deliverCompletions();
}

void CurlSession::noteArrival(curl_socket_t fd) {
  // Counted here, per readable socket, rather than in the header and body callbacks: libcurl calls
  // those only for complete header lines and body pieces, so a server sending a line a few bytes
  // at a time would look silent while it is not.
  const auto watch = sockets_.find(fd);
  if (watch == sockets_.end() || watch->second.easy == nullptr) return;
  for (const auto& task : running_) {
    if (task->easy_.get() == watch->second.easy)
      task->lastActivity_ = std::chrono::steady_clock::now();
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
    idleTimer_->stop();
    return;
  }
  const auto wait =
      std::chrono::ceil<std::chrono::milliseconds>(*earliest - std::chrono::steady_clock::now());
  idleTimer_->start(
      static_cast<int>(std::clamp<std::int64_t>(wait.count(), 0, 24LL * 3600 * 1000)));
}

void CurlSession::expireIdleTasks() {
  auto keep = shared_from_this();
  if (insideCurl_ > 0) {
    idleTimer_->start(1);
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
  while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
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
      const std::string description =
          task.errorBuffer_[0] != '\0' ? task.errorBuffer_ : curl_easy_strerror(code);
      error = std::make_exception_ptr(UrlError(classify(code), description));
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
  if (task.easy_) curl_multi_remove_handle(multi_, task.easy_.get());
  std::erase(running_, keep);
  task.easy_.reset();
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
  if (line.starts_with("HTTP/")) {
    // "HTTP/1.1 206 Partial Content" or "HTTP/2 200": a new header block begins.
    task.status_ = 0;
    task.responseHeaders_.clear();
    const std::size_t space = line.find(' ');
    if (space != std::string_view::npos) {
      int status = 0;
      for (std::size_t i = space + 1;
           i < line.size() && std::isdigit(static_cast<unsigned char>(line[i])); ++i) {
        status = status * 10 + (line[i] - '0');
        if (status > 999) break;
      }
      task.status_ = status;
    }
    return line.size();
  }
  const std::string_view content = trimmed(line);
  if (content.empty()) {
    // The blank line: an interim (1xx) block is forgotten, a final one is decided on now, before
    // libcurl hands over the first body byte.
    if (task.status_ < 200) {
      task.status_ = 0;
      task.responseHeaders_.clear();
      return line.size();
    }
    return decideResponse(task) ? line.size() : 0;
  }
  if ((line.front() == ' ' || line.front() == '\t') && !task.responseHeaders_.empty()) {
    task.responseHeaders_.back().second += " " + std::string(content);  // folded continuation
    return line.size();
  }
  const std::size_t colon = content.find(':');
  if (colon == std::string_view::npos) return line.size();
  task.responseHeaders_.emplace_back(std::string(trimmed(content.substr(0, colon))),
                                     std::string(trimmed(content.substr(colon + 1))));
  return line.size();
}

bool CurlSession::decideResponse(CurlTask& task) {
  task.decided_ = true;
  if (delegate_ == nullptr) return true;
  const UrlResponse response(task.status_, task.request_.url, task.responseHeaders_);
  if (isRedirect(task.status_)) {
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

std::size_t liveTransferHandles() { return liveEasyHandles; }

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
