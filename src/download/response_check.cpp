#include "download/response_check.h"

#include <charconv>
#include <optional>
#include <string>
#include <string_view>

#include "config/installer_copy.h"
#include "config/installer_failure.h"

namespace vexa {
namespace {

[[noreturn]] void fail(std::string_view chinese, std::string_view english) {
  throw InstallerFailure(InstallerCopy::text(chinese, english));
}

// A Content-Length value: an optional sign, then decimal digits only, within 64 bits.
std::optional<std::int64_t> parseLength(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  const std::size_t firstDigit = !text.empty() && text.front() == '-' ? 1 : 0;
  if (text.size() <= firstDigit) return std::nullopt;
  for (std::size_t i = firstDigit; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
  }
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

ResponseBody checkPackageResponse(const platform::UrlResponse& response, std::string_view url,
                                  std::int64_t sizeBytes, std::int64_t received) {
  const auto contentEncoding = response.header("Content-Encoding");
  if (response.statusCode() < 100 || response.url() != url ||
      (contentEncoding && *contentEncoding != "identity")) {
    fail("下载服务返回无效响应。", "The download service returned an invalid response.");
  }

  ResponseBody body = ResponseBody::remainder;
  if (response.statusCode() == 200) {
    body = ResponseBody::wholePackage;
  } else if (response.statusCode() != 206 ||
             response.header("Content-Range") != "bytes " + std::to_string(received) + "-" +
                                                     std::to_string(sizeBytes - 1) + "/" +
                                                     std::to_string(sizeBytes)) {
    fail("下载服务暂不可用或恢复位置不符，请重试。",
         "The download service is unavailable or resume data does not match. Retry.");
  }

  // A whole package is measured from its first byte.
  const std::int64_t expectedLength =
      sizeBytes - (body == ResponseBody::wholePackage ? 0 : received);
  if (const auto contentLength = response.header("Content-Length")) {
    const auto length = parseLength(*contentLength);
    if (!length || *length != expectedLength) {
      fail("安装包大小不符，请重新下载。", "The installer size does not match. Download it again.");
    }
  }
  return body;
}

}  // namespace vexa
