#include "platform/byte_count_formatter.h"

#include <gtest/gtest.h>

#include <limits>

namespace vexa::platform {
namespace {

// Rounding up to 1000 of a unit moves to the next unit (999500 bytes are "1 MB").
TEST(ByteCountFormatterTest, UsesDecimalUnitsWithTheirFractionDigits) {
  const std::pair<std::int64_t, const char*> cases[] = {
      {0, "0 bytes"},
      {1, "1 byte"},
      {1500, "2 KB"},
      {999500, "1 MB"},
      {123456789, "123.5 MB"},
      {4294967296, "4.29 GB"},
      {std::numeric_limits<std::int64_t>::min(), "-9.22 EB"}};
  for (const auto& [bytes, text] : cases) EXPECT_EQ(formatByteCount(bytes), text) << bytes;
}

}  // namespace
}  // namespace vexa::platform
