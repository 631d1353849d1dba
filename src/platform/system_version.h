#pragma once

#include <string>
#include <string_view>

namespace vexa::platform {

// The running system's version as major.minor.patch, each in decimal ("6.1.0"). On Linux it is the
// first three numbers of the kernel release (uname -r); a missing number is 0, so "6.1" gives
// "6.1.0" and "6.1.0-18-amd64" gives "6.1.0". Never fails: an unreadable release gives "0.0.0".
[[nodiscard]] std::string runningSystemVersion();

// The same reading applied to a release text; exposed for tests.
[[nodiscard]] std::string systemVersionFromRelease(std::string_view release);

}  // namespace vexa::platform
