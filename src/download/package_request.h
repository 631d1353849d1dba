#pragma once

#include <cstdint>

#include "config/install_configuration.h"
#include "platform/url_session.h"

// The request the installer sends for its package and the session it sends it in, in one place so
// that whatever asks the download host the installer's question (the publisher's URL check
// included) asks it exactly as the installer does.
namespace vexa {

// GET installerURL with "Accept-Encoding: identity", "Range: bytes=<received>-" when `received` is
// above 0, the download token when there is one, and a 60-second request timeout. Pure.
[[nodiscard]] platform::UrlRequest packageRequest(const InstallConfiguration& configuration,
                                                  std::int64_t received);

// `base` (normally UrlSessionConfiguration::ephemeral(), the deployment's settings) with the
// download's timeouts: 30 seconds without a byte, an hour for the whole transfer. Pure.
[[nodiscard]] platform::UrlSessionConfiguration packageSessionConfiguration(
    platform::UrlSessionConfiguration base);

}  // namespace vexa
