#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Hostile property lists, written by hand: libplist itself recurses and cannot write them.
namespace vexa::testing {

// A binary property list in which object i is an array of the objects listed in arrays[i]
// (fewer than 15 each, cycles allowed); object 0 is the top.
[[nodiscard]] std::string binaryArrays(const std::vector<std::vector<std::uint32_t>>& arrays);
// `levels` arrays nested in one another, the innermost empty, as XML or as a binary list.
[[nodiscard]] std::string nestedArrays(std::size_t levels, bool binary);

}  // namespace vexa::testing
