#pragma once

#include <filesystem>
#include <functional>
#include <optional>

#include "config/install_configuration.h"
#include "platform/url_session.h"
#include "release/release_report.h"

namespace vexa {

// Asks the configured installerURL what the installer will ask, with the installer's own request,
// session settings and response check: one full request (its body must be exactly sizeBytes bytes
// with the configured SHA-256), then resume requests from the second byte, the middle and the last
// byte, each of which must be answered 206 with the exact Content-Range and length, and whose
// first bytes (up to 64 KiB) must equal the full body's at that offset. Redirects are refused and
// never followed; TLS is always verified. With `package`, the local file is first proven to be the
// configured package (the installer's verifyDownload), so the served bytes are compared with it.
//
// Each check is a line of `report`; a check that fails does not stop the others. Runs the event
// loop (main thread only) and blocks until every request has ended. Throws ReleaseRefusal when
// the configuration breaks a rule of the installer's validation (nothing is requested then).
// `sessionConfiguration` is the installer's default: the build's deployment settings.
void checkUrl(const InstallConfiguration& configuration,
              const std::optional<std::filesystem::path>& package, ReleaseReport& report,
              const std::function<platform::UrlSessionConfiguration()>& sessionConfiguration =
                  &platform::UrlSessionConfiguration::ephemeral);

}  // namespace vexa
