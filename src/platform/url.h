#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vexa::platform {

// A text that cannot be read as a URL at all (for example one with spaces or a malformed
// authority). what() says why.
class UrlParseError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// A URL split into its components, parsed by libcurl's URL parser.
//
// Like the platform URL type it stands in for, a text without a scheme is accepted as a relative
// reference (no scheme, no host): deciding that a URL must be absolute HTTPS is the caller's rule,
// not the parser's. Components are kept exactly as written (no percent-decoding, no default port),
// so a caller can insist that a component is absent or equal to an expected text. Immutable value.
class Url {
 public:
  Url() = default;
  // Throws UrlParseError.
  [[nodiscard]] static Url parse(std::string_view text);

  // The text the URL was parsed from, unchanged.
  [[nodiscard]] const std::string& text() const { return text_; }
  [[nodiscard]] const std::optional<std::string>& scheme() const { return scheme_; }  // as written
  [[nodiscard]] const std::optional<std::string>& host() const { return host_; }
  // Only an explicit port ("https://h:443/" has one, "https://h/" has none).
  [[nodiscard]] const std::optional<std::string>& port() const { return port_; }
  [[nodiscard]] const std::optional<std::string>& user() const { return user_; }
  [[nodiscard]] const std::optional<std::string>& password() const { return password_; }
  [[nodiscard]] const std::optional<std::string>& query() const { return query_; }
  [[nodiscard]] const std::optional<std::string>& fragment() const { return fragment_; }
  [[nodiscard]] const std::string& path() const { return path_; }

  bool operator==(const Url& other) const { return text_ == other.text_; }

 private:
  std::string text_;
  std::optional<std::string> scheme_, host_, port_, user_, password_, query_, fragment_;
  std::string path_;
};

}  // namespace vexa::platform
