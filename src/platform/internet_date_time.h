#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace vexa::platform {

// The wall clock as a replaceable service: production takes systemClock, tests pin the time.
using Clock = std::function<std::chrono::system_clock::time_point()>;
[[nodiscard]] std::chrono::system_clock::time_point systemClock();

// `time` as an ISO 8601 internet date-time in UTC with milliseconds, "2026-12-06T17:32:42.125Z"
// (fractions truncated, not rounded). Pure; any thread.
[[nodiscard]] std::string internetDateTime(std::chrono::system_clock::time_point time);

}  // namespace vexa::platform
