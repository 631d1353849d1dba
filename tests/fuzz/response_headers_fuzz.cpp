// Feeds arbitrary response heads to the download's response check.
//
// Input: text lines separated by "\n" (a trailing "\r" is dropped). The first line is
// "<status> [<sizeBytes> [<received>]]" in decimal; sizes that are missing or out of range are
// brought into 1 <= sizeBytes and 0 <= received < sizeBytes. Every further line is a header field
// "Name: value", read as the session reads one (split at the first colon, blanks trimmed).

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "config/installer_failure.h"
#include "download/response_check.h"
#include "platform/url_session.h"

namespace {

constexpr std::string_view kUrl = "https://downloads.vexa.example/package.dmg";

std::string_view trimmed(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

// The next decimal number of `line`, or `fallback`.
std::int64_t number(std::string_view& line, std::int64_t fallback) {
  line = trimmed(line);
  std::int64_t value = fallback;
  const auto [end, error] = std::from_chars(line.data(), line.data() + line.size(), value);
  if (error != std::errc()) return fallback;
  line.remove_prefix(static_cast<std::size_t>(end - line.data()));
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t firstEnd = input.find('\n');
  std::string_view first = input.substr(0, firstEnd);
  input = firstEnd == std::string_view::npos ? std::string_view() : input.substr(firstEnd + 1);

  const auto status = static_cast<int>(number(first, 0) % 1000);
  std::int64_t sizeBytes = number(first, 1000);
  if (sizeBytes < 1 || sizeBytes > (std::int64_t{1} << 42)) sizeBytes = 1000;
  std::int64_t received = number(first, 0);
  if (received < 0 || received >= sizeBytes) received = 0;

  std::vector<std::pair<std::string, std::string>> headers;
  while (!input.empty()) {
    const std::size_t end = input.find('\n');
    const std::string_view line = trimmed(input.substr(0, end));
    input = end == std::string_view::npos ? std::string_view() : input.substr(end + 1);
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    headers.emplace_back(std::string(trimmed(line.substr(0, colon))),
                         std::string(trimmed(line.substr(colon + 1))));
  }

  const vexa::platform::UrlResponse response(status, std::string(kUrl), std::move(headers));
  try {
    const vexa::ResponseBody body = vexa::checkPackageResponse(response, kUrl, sizeBytes, received);
    // Only the two success statuses, each with its own placement, and only unencoded bodies pass.
    const auto encoding = response.header("Content-Encoding");
    if ((body == vexa::ResponseBody::wholePackage) != (status == 200) ||
        (status != 200 && status != 206) || (encoding && *encoding != "identity")) {
      __builtin_trap();
    }
  } catch (const vexa::InstallerFailure&) {
    // A refusal is an expected outcome.
  }
  return 0;
}
