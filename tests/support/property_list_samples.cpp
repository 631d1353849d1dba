#include "tests/support/property_list_samples.h"

namespace vexa::testing {

std::string binaryArrays(const std::vector<std::vector<std::uint32_t>>& arrays) {
  std::string bytes = "bplist00";
  std::vector<std::uint64_t> offsets;
  const auto put = [&bytes](std::uint64_t value, int size) {
    for (int shift = 8 * (size - 1); shift >= 0; shift -= 8)
      bytes.push_back(static_cast<char>(value >> shift));
  };
  for (const std::vector<std::uint32_t>& references : arrays) {
    offsets.push_back(bytes.size());
    bytes.push_back(static_cast<char>(0xA0 | references.size()));
    for (std::uint32_t reference : references) put(reference, 4);
  }
  const std::uint64_t offsetTable = bytes.size();
  for (std::uint64_t offset : offsets) put(offset, 4);
  bytes.append(6, '\0') += "\x04\x04";  // offsets and references take four bytes
  put(arrays.size(), 8);
  put(0, 8);  // top object
  put(offsetTable, 8);
  return bytes;
}

std::string nestedArrays(std::size_t levels, bool binary) {
  if (!binary) {
    std::string bytes = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">";
    for (std::size_t level = 0; level < levels; ++level) bytes += "<array>";
    for (std::size_t level = 0; level < levels; ++level) bytes += "</array>";
    return bytes + "</plist>\n";
  }
  std::vector<std::vector<std::uint32_t>> arrays(levels);
  for (std::size_t level = 0; level + 1 < levels; ++level)
    arrays[level] = {static_cast<std::uint32_t>(level + 1)};
  return binaryArrays(arrays);
}

}  // namespace vexa::testing
