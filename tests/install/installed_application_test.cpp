#include "install/installed_application.h"

#include <gtest/gtest.h>

#include "config/installer_failure.h"
#include "tests/support/configuration_samples.h"
#include "tests/support/temporary_directory.h"

namespace vexa {
namespace {

using NativeInstaller::compareApplicationVersions;
using NativeInstaller::productBuildNumber;
using platform::PropertyListDictionary;
using platform::PropertyListValue;

constexpr auto ascending = ComparisonResult::ascending;
constexpr auto same = ComparisonResult::same;
constexpr auto descending = ComparisonResult::descending;

TEST(CompareApplicationVersions, OrdersNumericallyWithReleasesAfterPreReleases) {
  struct Case {
    const char* left;
    const char* right;
    ComparisonResult expected;
  } cases[] = {
      {"1.10.0", "1.9.9", descending},
      {"2.0.0-beta.1", "2.0.0", ascending},
      {"2.0.0", "2.0.0-beta.1", descending},
      {"2.0.0-beta.2", "2.0.0-beta.10", ascending},
      {"2.0.0-rc.1", "2.0.0-beta.3", descending},
      {"1.2.3", "1.2.3", same},
      {"10.15.7", "11.0", ascending},
      {"11.0.0", "11.0", descending},   // a proper prefix is lower
      {"1.2.3-", "1.2.3", descending},  // no second part: equal cores, then the whole texts
      {"1.2.3-beta-2", "1.2.3-beta-10", ascending},
      {"1.2.3-beta-2", "1.2.3", ascending},
      {"-1.2.3", "1.2.3", ascending},  // leading hyphens are skipped for the core only
      {"", "0", ascending},
      {"", "", same},
      {"1.2.3-Beta", "1.2.3-beta", ascending},  // case-sensitive
      {"1.02.0", "1.2.0", same},                // digit runs compare by value
      {"99999999999999999999999.0.0", "99999999999999999999998.0.0", descending},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(compareApplicationVersions(c.left, c.right), c.expected)
        << c.left << " vs " << c.right;
  }
}

TEST(ProductBuildNumber, AcceptsOnlyCanonicalPositiveNumbersAndTheProductionPrefix) {
  struct Case {
    const char* value;
    const char* environment;
    std::optional<std::int64_t> expected;
  } cases[] = {
      {"20260905024501.42", "production", 42},
      {"20260905024501.42", "staging", std::nullopt},
      {"42", "production", 42},
      {"42", "staging", 42},
      {"9223372036854775807", "staging", INT64_MAX},
      {"9223372036854775808", "staging", std::nullopt},
      {"", "production", std::nullopt},
      {"0", "production", std::nullopt},
      {"042", "production", std::nullopt},
      {"+42", "production", std::nullopt},
      {"-3", "production", std::nullopt},
      {"4 2", "production", std::nullopt},
      {" 42", "production", std::nullopt},
      {"20260905024501.", "production", std::nullopt},
      {"20260905024501.20260905024501.1", "production", std::nullopt},
      {"١٢", "production", std::nullopt},  // Arabic-Indic digits are not digits here
  };
  for (const Case& c : cases) {
    EXPECT_EQ(productBuildNumber(c.value, c.environment), c.expected)
        << c.value << " in " << c.environment;
  }
}

PropertyListDictionary info(std::optional<std::string> version,
                            std::optional<PropertyListValue> build = std::nullopt) {
  PropertyListDictionary dictionary;
  if (version) dictionary["CFBundleShortVersionString"] = PropertyListValue::makeText(*version);
  if (build) dictionary["CFBundleVersion"] = *build;
  return dictionary;
}

TEST(InstalledApplicationVersion, ReadsVersionAndBuildInTheirNaturalDescription) {
  const InstalledApplicationVersion textBuild(
      info("1.2.3", PropertyListValue::makeText("20260905024501.7")));
  EXPECT_EQ(textBuild, InstalledApplicationVersion("1.2.3", "20260905024501.7"));
  const InstalledApplicationVersion numberBuild(
      info("1.2.3-beta.1", PropertyListValue::makeInteger(42)));
  EXPECT_EQ(numberBuild, InstalledApplicationVersion("1.2.3-beta.1", "42"));
  EXPECT_EQ(InstalledApplicationVersion(info("1.2.3")).build(), std::nullopt);
  const std::string longVersion =
      "1.2.3-" + std::string(30000, 'a');  // no length limit in the pattern
  EXPECT_EQ(InstalledApplicationVersion(info(longVersion)).version(), longVersion);
}

TEST(InstalledApplicationVersion, RefusesVersionsOutsideThePattern) {
  testing::ScopedEnvironment english{{"LANGUAGE", "en_US"}};
  for (const std::string& version : std::vector<std::string>{
           "1.2.3-", "v1.2.3", "1.2", "1.2.3.4", "1.2.3-beta_1", "１.2.3", "1.2.3\n", "", "1..2.3",
           "1.2.3-beta/1", "1.2.3-" + std::string(30000, 'a') + "!"}) {
    try {
      (void)InstalledApplicationVersion(info(version));
      ADD_FAILURE() << "accepted " << version;
    } catch (const InstallerFailure& failure) {
      EXPECT_STREQ(failure.what(),
                   "Could not read the Vexa version. Check the installed application.");
      EXPECT_EQ(failure.reason(), InstallerFailureReason::general);
    }
  }
  PropertyListDictionary numeric;
  numeric["CFBundleShortVersionString"] = PropertyListValue::makeInteger(1);
  EXPECT_THROW((void)InstalledApplicationVersion(numeric), InstallerFailure);
}

InstallConfiguration configured(const char* version, std::int64_t build) {
  InstallConfiguration configuration = testing::validProductionConfiguration();
  configuration.applicationVersion = version;
  configuration.buildNumber = build;
  return configuration;
}

TEST(InstalledApplicationVersion, IsNewerByVersionThenByBuild) {
  EXPECT_TRUE(InstalledApplicationVersion("1.3.0", "1").isNewer(configured("1.2.9", 999)));
  EXPECT_TRUE(InstalledApplicationVersion("1.3.0", std::nullopt).isNewer(configured("1.2.9", 1)));
  EXPECT_FALSE(InstalledApplicationVersion("1.2.9", "999").isNewer(configured("1.3.0", 1)));
  EXPECT_TRUE(
      InstalledApplicationVersion("1.2.0", "20260905024501.6").isNewer(configured("1.2.0", 5)));
  EXPECT_FALSE(InstalledApplicationVersion("1.2.0", "5").isNewer(configured("1.2.0", 5)));
  EXPECT_FALSE(InstalledApplicationVersion("1.2.0-beta.1", "9").isNewer(configured("1.2.0", 1)));
  EXPECT_TRUE(InstalledApplicationVersion("1.2.0", "1").isNewer(configured("1.2.0-beta.1", 9)));
  // A date is never a build number, whatever its seconds since 2001 would read as.
  const InstalledApplicationVersion dateBuild(info(
      "1.2.0",
      platform::parsePropertyList("<?xml version=\"1.0\"?><plist "
                                  "version=\"1.0\"><date>2001-01-01T00:00:05Z</date></plist>")));
  EXPECT_EQ(dateBuild.build(), "2001-01-01 00:00:05 +0000");
  EXPECT_THROW((void)dateBuild.isNewer(configured("1.2.0", 1)), InstallerFailure);
}

TEST(InstalledApplicationVersion, SameVersionWithUnreadableBuildCannotBeCompared) {
  testing::ScopedEnvironment english{{"LANGUAGE", "en"}};
  for (const std::optional<std::string>& build :
       {std::optional<std::string>(), std::optional<std::string>("05"),
        std::optional<std::string>("abc")}) {
    const InstalledApplicationVersion installed("1.2.0", build);
    for (bool consent : {false, true}) {
      try {
        if (consent) {
          installed.requireReplacementConsent(configured("1.2.0", 5), installed);
        } else {
          (void)installed.isNewer(configured("1.2.0", 5));
        }
        ADD_FAILURE() << "answered for build " << build.value_or("(none)");
      } catch (const InstallerFailure& failure) {
        EXPECT_STREQ(failure.what(),
                     "Could not compare Vexa versions. Check the installed application.");
        EXPECT_EQ(failure.reason(), InstallerFailureReason::general);
      }
    }
  }
}

TEST(InstalledApplicationVersion, ReplacementConsentNeedsApprovalOfExactlyTheNewerCopy) {
  testing::ScopedEnvironment chinese{{"LANGUAGE", "zh_CN.UTF-8"}};
  using Approval = std::optional<InstalledApplicationVersion>;
  struct Case {
    InstalledApplicationVersion installed;
    InstallConfiguration configuration;
    Approval approved;
    bool allowed;
  } cases[] = {
      {{"1.3.0", "7"}, configured("1.2.0", 1), std::nullopt, false},
      {{"1.3.0", "7"}, configured("1.2.0", 1), InstalledApplicationVersion("1.3.0", "7"), true},
      {{"1.3.0", "7"}, configured("1.2.0", 1), InstalledApplicationVersion("1.3.0", "8"), false},
      {{"1.3.0", "7"},
       configured("1.2.0", 1),
       InstalledApplicationVersion("1.3.0", std::nullopt),
       false},
      {{"1.2.0", "5"}, configured("1.2.0", 5), std::nullopt, true},
      {{"1.2.0", "4"}, configured("1.2.0", 5), std::nullopt, true},
      {{"1.2.0", "6"}, configured("1.2.0", 5), std::nullopt, false},
      {{"1.2.0", "6"}, configured("1.2.0", 5), InstalledApplicationVersion("1.2.0", "6"), true},
      {{"1.2.0-beta.1", std::nullopt}, configured("1.2.0", 5), std::nullopt, true},
      {{"1.2.0", "1"}, configured("1.2.0-beta.1", 5), std::nullopt, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.installed.version() + " build " + c.installed.build().value_or("(none)") +
                 " against " + c.configuration.applicationVersion);
    if (c.allowed) {
      EXPECT_NO_THROW(c.installed.requireReplacementConsent(c.configuration, c.approved));
      continue;
    }
    try {
      c.installed.requireReplacementConsent(c.configuration, c.approved);
      ADD_FAILURE() << "replacement allowed";
    } catch (const InstallerFailure& failure) {
      EXPECT_STREQ(failure.what(), "已安装更高版本");
      EXPECT_EQ(failure.reason(), InstallerFailureReason::newerApplicationInstalled);
    }
  }
}

}  // namespace
}  // namespace vexa
