#pragma once

#include <cerrno>
#include <string>

namespace vexa::platform {

// Throws the failure of a system call as std::system_error in std::generic_category(), with
// `what` (usually the path or the call concerned) in front of the system's message. `error`
// defaults to errno as it is when the call is made, so call it right after the failed call.
[[noreturn]] void throwErrno(const std::string& what, int error = errno);

}  // namespace vexa::platform
