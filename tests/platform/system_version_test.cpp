#include "platform/system_version.h"

#include <gtest/gtest.h>

namespace vexa::platform {
namespace {

TEST(SystemVersion, TakesTheFirstThreeNumbersOfTheRelease) {
  const std::pair<const char*, const char*> cases[] = {
      {"6.1.0-18-amd64", "6.1.0"}, {"6.8", "6.8.0"}, {"v6.1", "0.0.0"}, {"6.x.3", "6.0.0"}};
  for (const auto& [release, version] : cases)
    EXPECT_EQ(systemVersionFromRelease(release), version) << release;
}

}  // namespace
}  // namespace vexa::platform
