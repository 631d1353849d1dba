#include "download/package_request.h"

#include <string>

namespace vexa {

platform::UrlRequest packageRequest(const InstallConfiguration& configuration,
                                    std::int64_t received) {
  platform::UrlRequest request{.url = configuration.installerURL.text(), .method = "GET"};
  request.headers.emplace_back("Accept-Encoding", "identity");
  if (received > 0)
    request.headers.emplace_back("Range", "bytes=" + std::to_string(received) + "-");
  if (!configuration.downloadToken.empty()) {
    request.headers.emplace_back("X-Vexa-Internal-Token", configuration.downloadToken);
  }
  request.timeout = std::chrono::seconds(60);
  return request;
}

platform::UrlSessionConfiguration packageSessionConfiguration(
    platform::UrlSessionConfiguration base) {
  base.idleTimeout = std::chrono::seconds(30);
  base.resourceTimeout = std::chrono::seconds(3600);
  return base;
}

}  // namespace vexa
