#include "tests/support/package_service.h"

#include <nlohmann/json.hpp>

namespace vexa::testing {

ScriptedResponse servePackage(const std::string& package, const RecordedRequest& request,
                              PackageServing serving) {
  if (request.method == "POST") {
    const auto event = nlohmann::json::parse(request.body);
    return ScriptedResponse::withStatus(202, nlohmann::json{{"event_id", event.at("event_id")},
                                                            {"accepted", true},
                                                            {"receipt", "durably_received"}}
                                                 .dump());
  }
  if (serving == PackageServing::redirecting) {
    ScriptedResponse response = ScriptedResponse::withStatus(302);
    response.headers = {{"Location", request.path + ".moved"}};
    return response;
  }
  const std::string served =
      serving == PackageServing::otherBytes ? std::string(package.size(), 'x') : package;
  const auto range = request.header("Range");
  if (!range || serving == PackageServing::ignoringRanges) {
    return ScriptedResponse::withStatus(200, served);
  }
  const std::size_t from = std::stoull(range->substr(std::string("bytes=").size()));
  ScriptedResponse response = ScriptedResponse::withStatus(206, served.substr(from));
  response.headers = {{"Content-Range", "bytes " + std::to_string(from) + "-" +
                                            std::to_string(served.size() - 1) + "/" +
                                            std::to_string(served.size())}};
  return response;
}

}  // namespace vexa::testing
