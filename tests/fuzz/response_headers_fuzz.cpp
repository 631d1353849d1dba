// Feeds arbitrary response heads to the download's response check.
//
// Input: text lines separated by "\n". The first line is "<status> [<sizeBytes> [<received>]]" in
// decimal; sizes that are missing or out of range are brought into 1 <= sizeBytes and
// 0 <= received < sizeBytes. Every further line is a header field "Name: value", read as the
// session reads one (split at the first colon, blanks and a trailing "\r" trimmed).

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "config/installer_failure.h"
#include "download/response_check.h"
#include "platform/url_session.h"

namespace {

constexpr std::string_view kUrl = "https://downloads.vexa.example/package.dmg";

std::string trimmed(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r") + 1 - first);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::istringstream input(std::string(reinterpret_cast<const char*>(data), size));
  std::string line;
  std::getline(input, line);
  // A number that cannot be read counts as 0, and those after it as missing.
  long long status = 0, sizeBytes = 1000, received = 0;
  std::istringstream(line) >> status >> sizeBytes >> received;
  status %= 1000;
  if (sizeBytes < 1 || sizeBytes > (1LL << 42)) sizeBytes = 1000;
  if (received < 0 || received >= sizeBytes) received = 0;

  std::vector<std::pair<std::string, std::string>> headers;
  while (std::getline(input, line)) {
    const std::size_t colon = line.find(':');
    if (colon != std::string::npos)
      headers.emplace_back(trimmed(line.substr(0, colon)), trimmed(line.substr(colon + 1)));
  }

  const vexa::platform::UrlResponse response(static_cast<int>(status), std::string(kUrl),
                                             std::move(headers));
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
