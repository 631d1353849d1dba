#include "platform/byte_count_formatter.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <string_view>

namespace vexa::platform {
namespace {

struct Unit {
  std::string_view name;
  int fractionDigits;
};

constexpr std::array<Unit, 6> kUnits{{
    {"KB", 0},
    {"MB", 1},
    {"GB", 2},
    {"TB", 2},
    {"PB", 2},
    {"EB", 2},
}};

// `value` rounded half away from zero to `digits` fraction digits, without trailing zeros.
std::string decimal(double value, int digits) {
  std::array<char, 64> buffer{};
  std::snprintf(buffer.data(), buffer.size(), "%.*f", digits, value);
  std::string text(buffer.data());
  if (text.find('.') != std::string::npos) {
    while (text.back() == '0') text.pop_back();
    if (text.back() == '.') text.pop_back();
  }
  return text;
}

}  // namespace

std::string formatByteCount(std::int64_t bytes) {
  const std::string sign = bytes < 0 ? "-" : "";
  // The magnitude as unsigned: -INT64_MIN does not fit a signed integer.
  const std::uint64_t magnitude =
      bytes < 0 ? 0 - static_cast<std::uint64_t>(bytes) : static_cast<std::uint64_t>(bytes);
  if (magnitude < 1000) {
    return sign + std::to_string(magnitude) + (magnitude == 1 ? " byte" : " bytes");
  }
  double scaled = static_cast<double>(magnitude) / 1000.0;
  std::size_t unit = 0;
  for (;;) {
    const double factor = std::pow(10.0, kUnits[unit].fractionDigits);
    const double rounded = std::round(scaled * factor) / factor;
    if (rounded < 1000.0 || unit + 1 == kUnits.size()) {
      return sign + decimal(rounded, kUnits[unit].fractionDigits) + " " +
             std::string(kUnits[unit].name);
    }
    scaled /= 1000.0;
    ++unit;
  }
}

}  // namespace vexa::platform
