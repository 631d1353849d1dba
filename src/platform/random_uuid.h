#pragma once

#include <string>

namespace vexa::platform {

// A fresh random (version 4) UUID in its canonical 36-character form, upper-case hexadecimal as
// the platform prints it ("E621E1F8-C36C-495A-93FC-0C247A3E6E5F"). Lower-case it where a format
// asks for lower case. Uses the system's cryptographic random source; throws std::system_error
// only if that source fails.
[[nodiscard]] std::string randomUuid();

}  // namespace vexa::platform
