#include "platform/internet_date_time.h"

#include <cstdio>
#include <ctime>

namespace vexa::platform {

std::chrono::system_clock::time_point systemClock() { return std::chrono::system_clock::now(); }

std::string internetDateTime(std::chrono::system_clock::time_point time) {
  using namespace std::chrono;
  // floor, not truncation towards zero, so instants before 1970 keep a positive millisecond part.
  const auto milliseconds = floor<std::chrono::milliseconds>(time.time_since_epoch());
  const auto seconds = floor<std::chrono::seconds>(milliseconds);
  const std::time_t whole = static_cast<std::time_t>(seconds.count());
  std::tm utc{};
  ::gmtime_r(&whole, &utc);
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<int>((milliseconds - seconds).count()));
  return text;
}

}  // namespace vexa::platform
