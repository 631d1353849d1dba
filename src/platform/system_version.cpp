#include "platform/system_version.h"

#include <sys/utsname.h>

#include <cctype>
#include <cstdint>

namespace vexa::platform {

std::string systemVersionFromRelease(std::string_view release) {
  std::uint64_t numbers[3] = {0, 0, 0};
  std::size_t position = 0;
  for (int index = 0; index < 3; ++index) {
    if (position >= release.size() || !std::isdigit(static_cast<unsigned char>(release[position])))
      break;
    std::uint64_t value = 0;
    while (position < release.size() &&
           std::isdigit(static_cast<unsigned char>(release[position]))) {
      // Saturate instead of overflowing on an absurd release text.
      if (value < 100000000000ULL)
        value = value * 10 + static_cast<std::uint64_t>(release[position] - '0');
      ++position;
    }
    numbers[index] = value;
    if (position >= release.size() || release[position] != '.') break;
    ++position;
  }
  return std::to_string(numbers[0]) + "." + std::to_string(numbers[1]) + "." +
         std::to_string(numbers[2]);
}

std::string runningSystemVersion() {
  struct utsname name {};
  if (::uname(&name) != 0) return "0.0.0";
  return systemVersionFromRelease(name.release);
}

}  // namespace vexa::platform
