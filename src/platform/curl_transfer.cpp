#include "platform/curl_transfer.h"

#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <new>
#include <string>
#include <string_view>

namespace vexa::platform {
namespace {

// Counts what it releases, so that a handle kept past its transfer shows (see liveTransferHandles).
std::atomic<std::size_t> liveEasyHandles{0};

bool hasLineBreak(std::string_view text) {
  return text.find_first_of("\r\n") != std::string_view::npos;
}

// libcurl does not open its sockets close-on-exec; opening them here makes sure that a child
// started while a transfer runs never inherits a connection.
curl_socket_t openSocket(void*, curlsocktype, curl_sockaddr* address) {
  const int fd = ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
  return fd < 0 ? CURL_SOCKET_BAD : fd;
}

CURLcode onSslContext(CURL*, void* context, void* authorities) {
  static_cast<const TlsAuthorities*>(authorities)->addTo(context);
  return CURLE_OK;
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

}  // namespace

std::size_t liveTransferHandles() { return liveEasyHandles; }

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

void CurlTransfer::EasyDeleter::operator()(CURL* easy) const {
  curl_easy_cleanup(easy);
  --liveEasyHandles;
}

UrlError CurlTransfer::failure(CURLcode code) const {
  return UrlError(classify(code),
                  errorBuffer_[0] != '\0' ? errorBuffer_ : curl_easy_strerror(code));
}

void CurlTransfer::append(List& list, const std::string& line) {
  curl_slist* grown = curl_slist_append(list.get(), line.c_str());
  if (grown == nullptr) throw std::bad_alloc();
  (void)list.release();
  list.reset(grown);
}

void CurlTransfer::set(CURLoption option, auto value) {
  const CURLcode code = curl_easy_setopt(easy_.get(), option, value);
  if (code != CURLE_OK) {
    throw UrlError(code == CURLE_NOT_BUILT_IN || code == CURLE_UNKNOWN_OPTION
                       ? UrlError::Code::tls
                       : UrlError::Code::other,
                   std::string("The transfer cannot be set up: ") + curl_easy_strerror(code));
  }
}

CurlTransfer::CurlTransfer(const UrlRequest& request, const UrlSessionConfiguration& configuration,
                           const TlsAuthorities& authorities, Callbacks callbacks) {
  CURL* easy = curl_easy_init();
  if (easy == nullptr) throw std::bad_alloc();
  ++liveEasyHandles;
  easy_.reset(easy);

  set(CURLOPT_URL, request.url.c_str());
  set(CURLOPT_PRIVATE, callbacks.context);
  set(CURLOPT_ERRORBUFFER, errorBuffer_);
  set(CURLOPT_NOSIGNAL, 1L);
  set(CURLOPT_PROTOCOLS_STR, "https");
  set(CURLOPT_FOLLOWLOCATION, 0L);
  set(CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_2TLS));
  set(CURLOPT_SSL_VERIFYPEER, 1L);
  set(CURLOPT_SSL_VERIFYHOST, 2L);
  // Bodies are delivered exactly as sent: a Content-Encoding is the caller's business.
  set(CURLOPT_HTTP_CONTENT_DECODING, 0L);
  set(CURLOPT_OPENSOCKETFUNCTION, &openSocket);
  // A proxy's answer to CONNECT is no response of the server: only the server's reach the caller.
  set(CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  set(CURLOPT_HEADERFUNCTION, callbacks.headerLine);
  set(CURLOPT_HEADERDATA, callbacks.context);
  set(CURLOPT_WRITEFUNCTION, callbacks.bodyChunk);
  set(CURLOPT_WRITEDATA, callbacks.context);
  // Larger reads than the 16 KiB default: fewer trips through the event loop on fast links.
  set(CURLOPT_BUFFERSIZE, 256L * 1024L);

  const auto idle = std::min(request.timeout, configuration.idleTimeout);
  if (idle.count() > 0) {
    set(CURLOPT_CONNECTTIMEOUT, static_cast<long>(idle.count()));
    idleLimit_ = idle;
  }
  if (configuration.resourceTimeout.count() > 0) {
    set(CURLOPT_TIMEOUT, static_cast<long>(configuration.resourceTimeout.count()));
  }

  if (!authorities.empty()) {
    set(CURLOPT_SSL_CTX_FUNCTION, &onSslContext);
    set(CURLOPT_SSL_CTX_DATA, static_cast<void*>(const_cast<TlsAuthorities*>(&authorities)));
    // The cached store would be shared with transfers that never saw the extra authorities.
    set(CURLOPT_CA_CACHE_TIMEOUT, 0L);
  }
  if (!configuration.connectTo.empty()) {
    for (const auto& entry : configuration.connectTo) append(connectTo_, entry);
    set(CURLOPT_CONNECT_TO, connectTo_.get());
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
    append(headerList_, value.empty() ? name + ";" : name + ": " + value);
  }
  if (!accept) append(headerList_, "Accept:");
  if (!expect) append(headerList_, "Expect:");
  if (!contentType) append(headerList_, "Content-Type:");
  set(CURLOPT_HTTPHEADER, headerList_.get());
}

}  // namespace vexa::platform
