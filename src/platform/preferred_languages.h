#pragma once

#include <string>
#include <vector>

namespace vexa::platform {

// The user's preferred languages, most preferred first, as language tags ("zh-CN", "en-US").
// Read from the environment on every call: LANGUAGE (a colon-separated list) when set and not
// empty, else the first set of LC_ALL, LC_MESSAGES, LANG. A POSIX locale name "zh_CN.UTF-8@x"
// becomes the tag "zh-CN"; "C" and "POSIX" mean no preference (an empty list).
[[nodiscard]] std::vector<std::string> preferredLanguages();

}  // namespace vexa::platform
