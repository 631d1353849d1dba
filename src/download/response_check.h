#pragma once

#include <cstdint>
#include <string_view>

#include "platform/url_session.h"

namespace vexa {

// Where the body of an accepted download response belongs in the partial file.
enum class ResponseBody {
  wholePackage,  // status 200: the package from its first byte, whatever range was asked for
  remainder,     // status 206: exactly the bytes from the resume offset to the end
};

// Decides on the head of a package download response before any body byte is written. `url` is
// the address that was asked for (redirects are never followed, so the response must come from
// it). `received`
// is the resume offset the request asked from (0: no range), `sizeBytes` the package's exact
// length; 0 <= received < sizeBytes. Header fields are read through UrlResponse::header, so a
// repeated Content-Encoding, Content-Range or Content-Length is judged by all its values joined and
// never passes as its first.
//
// Pure and thread-safe: it decides only; truncating the partial file for a whole-package answer is
// the caller's, and only once this has accepted the response. Throws InstallerFailure with the
// message for an invalid response (not HTTP, another address, or an encoding other than
// "identity"), an unavailable service or a range that does not continue the partial file, or a
// length that does not match.
[[nodiscard]] ResponseBody checkPackageResponse(const platform::UrlResponse& response,
                                                std::string_view url, std::int64_t sizeBytes,
                                                std::int64_t received);

}  // namespace vexa
