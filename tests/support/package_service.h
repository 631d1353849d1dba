#pragma once

#include <string>

#include "tests/support/https_test_server.h"

namespace vexa::testing {

// How a scripted download host serves the package.
enum class PackageServing {
  exact,           // 200 for the whole package, 206 with the exact Content-Range for "bytes=N-"
  ignoringRanges,  // always 200 with the whole package
  redirecting,     // 302 to another address on the same host
  otherBytes,      // as `exact`, with every byte of the package replaced
};

// The download and telemetry host in one handler for HttpsTestServer::setHandler: a GET gets
// `package` as `serving` says; a POST (a telemetry event) gets a durable receipt for its event_id.
[[nodiscard]] ScriptedResponse servePackage(const std::string& package,
                                            const RecordedRequest& request,
                                            PackageServing serving = PackageServing::exact);

}  // namespace vexa::testing
