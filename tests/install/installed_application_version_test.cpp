#include <gtest/gtest.h>

#include "install/installed_application_version.h"

namespace vexa {
namespace {

using NativeInstaller::compareApplicationVersions;

TEST(CompareApplicationVersions, OrdersNumericallyWithReleasesAfterPreReleases) {
  // Each pair is listed lower first; equal pairs say so.
  const std::tuple<const char*, const char*, ComparisonResult> cases[] = {
      {"1.9.9", "1.10.0", ComparisonResult::ascending},
      {"2.0.0-beta.1", "2.0.0", ComparisonResult::ascending},
      {"11.0", "11.0.0", ComparisonResult::ascending},  // a proper prefix is lower
      {"1.2.3-beta-2", "1.2.3-beta-10", ComparisonResult::ascending},
      {"1.0.0", "-2.0.0", ComparisonResult::ascending},  // leading hyphens are skipped
      {"99999999999999999999998.0", "99999999999999999999999.0", ComparisonResult::ascending},
      {"1.2.3", "1.2.3", ComparisonResult::same},
      {"1.02.0", "1.2.0", ComparisonResult::same},  // digit runs compare by value
  };
  for (const auto& [lower, higher, expected] : cases) {
    const auto reversed =
        expected == ComparisonResult::same ? expected : ComparisonResult::descending;
    EXPECT_EQ(compareApplicationVersions(lower, higher), expected) << lower << " vs " << higher;
    EXPECT_EQ(compareApplicationVersions(higher, lower), reversed) << higher << " vs " << lower;
  }
}

TEST(ProductBuildNumber, AcceptsOnlyCanonicalPositiveNumbersAndTheProductionPrefix) {
  const std::tuple<const char*, const char*, std::optional<std::int64_t>> cases[] = {
      {"20260905024501.42", "production", 42},
      {"20260905024501.42", "staging", std::nullopt},
      {"42", "staging", 42},
  };
  for (const auto& [value, environment, expected] : cases)
    EXPECT_EQ(NativeInstaller::productBuildNumber(value, environment), expected) << value;
  for (const char* refused : {"", "0", "042", "9223372036854775808", "20260905024501."})
    EXPECT_EQ(NativeInstaller::productBuildNumber(refused, "production"), std::nullopt) << refused;
}

TEST(IsApplicationVersion, AcceptsThreeNumbersAndAnOptionalSuffix) {
  for (const std::string& version :
       std::vector<std::string>{"0.0.0", "1.22.333-beta.1-RC", "1.2.3-" + std::string(30000, 'a')})
    EXPECT_TRUE(NativeInstaller::isApplicationVersion(version)) << version;
  for (const std::string& version :
       std::vector<std::string>{"1.2.3-", "1.2", "1.2.3.4", "1.2.3-beta_1", "１.2.3", ""})
    EXPECT_FALSE(NativeInstaller::isApplicationVersion(version)) << version;
}

}  // namespace
}  // namespace vexa
