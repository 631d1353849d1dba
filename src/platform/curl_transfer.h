#pragma once

#include <curl/curl.h>

#include <chrono>
#include <memory>
#include <string_view>

#include "platform/tls_authorities.h"
#include "platform/url_session.h"

// Private to the URL session (only src/platform .cpp files include it, hence libcurl's header).
namespace vexa::platform {

// One libcurl easy handle set up for one request of a session: HTTPS only, verified, no
// redirects followed, exactly the caller's headers. Owns the handle and everything libcurl keeps
// pointers into (header lists, error text), so it is neither copied nor moved. Main thread only,
// like the session. Setting up throws UrlError (tls when this libcurl lacks something required,
// other for a malformed request) or std::bad_alloc; nothing is left behind.
class CurlTransfer {
 public:
  // What libcurl calls from inside curl_multi_socket_action, with `context` as the last argument.
  // `context` is also the handle's CURLINFO_PRIVATE.
  struct Callbacks {
    curl_write_callback headerLine;
    curl_write_callback bodyChunk;
    void* context;
  };

  // `authorities` must outlive the transfer: libcurl reads it whenever it creates a TLS context.
  CurlTransfer(const UrlRequest& request, const UrlSessionConfiguration& configuration,
               const TlsAuthorities& authorities, Callbacks callbacks);
  CurlTransfer(const CurlTransfer&) = delete;
  CurlTransfer& operator=(const CurlTransfer&) = delete;

  [[nodiscard]] CURL* handle() const { return easy_.get(); }
  // How the transfer failed when libcurl finished it with `code`, in libcurl's own words.
  [[nodiscard]] UrlError failure(CURLcode code) const;
  // How long the transfer may go without a byte arriving (the shorter of the request's and the
  // session's idle timeout); zero for no limit. libcurl only bounds the connect by it.
  [[nodiscard]] std::chrono::milliseconds idleLimit() const { return idleLimit_; }

 private:
  struct EasyDeleter {
    void operator()(CURL* easy) const;
  };
  struct ListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
  };
  using List = std::unique_ptr<curl_slist, ListDeleter>;

  static void append(List& list, const std::string& line);
  void set(CURLoption option, auto value);

  List headerList_;
  List connectTo_;
  char errorBuffer_[CURL_ERROR_SIZE] = {};
  std::chrono::milliseconds idleLimit_{0};
  // Last, so that it goes first: libcurl may point into the members above until then.
  std::unique_ptr<CURL, EasyDeleter> easy_;
};

// ASCII case-insensitive equality, as header field names compare.
[[nodiscard]] bool equalsIgnoringCase(std::string_view a, std::string_view b);

}  // namespace vexa::platform
