#include "platform/url.h"

#include <curl/curl.h>

#include <cctype>
#include <memory>

namespace vexa::platform {
namespace {

struct CurlUrlDeleter {
  void operator()(CURLU* handle) const { curl_url_cleanup(handle); }
};
using CurlUrl = std::unique_ptr<CURLU, CurlUrlDeleter>;

// RFC 3986: scheme = ALPHA *( ALPHA / DIGIT / "+" / "-" / "." ) followed by ":".
bool hasScheme(std::string_view text) {
  const std::size_t colon = text.find(':');
  if (colon == std::string_view::npos || colon == 0) return false;
  if (!std::isalpha(static_cast<unsigned char>(text[0]))) return false;
  for (std::size_t i = 1; i < colon; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') return false;
  }
  return true;
}

// Characters no URL may carry unencoded: controls, space, and the RFC's excluded set.
bool hasForbiddenCharacter(std::string_view text) {
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c <= 0x20 || c >= 0x7F || c == '"' || c == '<' || c == '>' || c == '\\' || c == '^' ||
        c == '`' || c == '{' || c == '|' || c == '}') {
      return true;
    }
  }
  return false;
}

std::optional<std::string> part(CURLU* handle, CURLUPart which) {
  char* value = nullptr;
  if (curl_url_get(handle, which, &value, 0) != CURLUE_OK || value == nullptr) return std::nullopt;
  std::string text(value);
  curl_free(value);
  return text;
}

}  // namespace

Url Url::parse(std::string_view text) {
  if (text.empty()) throw UrlParseError("an empty text is not a URL");
  if (hasForbiddenCharacter(text))
    throw UrlParseError("the text contains characters a URL cannot hold");
  Url url;
  url.text_ = std::string(text);
  if (!hasScheme(text)) {
    // A relative reference: only a path, a query and a fragment.
    std::string_view rest = text;
    if (const std::size_t hash = rest.find('#'); hash != std::string_view::npos) {
      url.fragment_ = std::string(rest.substr(hash + 1));
      rest = rest.substr(0, hash);
    }
    if (const std::size_t question = rest.find('?'); question != std::string_view::npos) {
      url.query_ = std::string(rest.substr(question + 1));
      rest = rest.substr(0, question);
    }
    url.path_ = std::string(rest);
    return url;
  }
  CurlUrl handle(curl_url());
  if (!handle) throw std::bad_alloc();
  const CURLUcode code = curl_url_set(handle.get(), CURLUPART_URL, url.text_.c_str(),
                                      CURLU_NON_SUPPORT_SCHEME | CURLU_PATH_AS_IS);
  if (code != CURLUE_OK) throw UrlParseError(curl_url_strerror(code));
  // As written (not case-folded), so that a caller insisting on "https" refuses "HTTPS".
  url.scheme_ = std::string(text.substr(0, text.find(':')));
  url.host_ = part(handle.get(), CURLUPART_HOST);
  url.port_ = part(handle.get(), CURLUPART_PORT);
  url.user_ = part(handle.get(), CURLUPART_USER);
  url.password_ = part(handle.get(), CURLUPART_PASSWORD);
  url.query_ = part(handle.get(), CURLUPART_QUERY);
  url.fragment_ = part(handle.get(), CURLUPART_FRAGMENT);
  url.path_ = part(handle.get(), CURLUPART_PATH).value_or("");
  return url;
}

}  // namespace vexa::platform
