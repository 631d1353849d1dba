#include "install/installed_application.h"

#include <gtest/gtest.h>

#include "config/installer_failure.h"
#include "tests/support/configuration_samples.h"
#include "tests/support/temporary_directory.h"

namespace vexa {
namespace {

using platform::PropertyListDictionary;
using platform::PropertyListValue;
using Version = InstalledApplicationVersion;

PropertyListDictionary info(const PropertyListValue& version,
                            std::optional<PropertyListValue> build = std::nullopt) {
  PropertyListDictionary dictionary{{"CFBundleShortVersionString", version}};
  if (build) dictionary["CFBundleVersion"] = *build;
  return dictionary;
}

// The configured release `version` with build 5.
InstallConfiguration configured(const char* version) {
  InstallConfiguration configuration = testing::validProductionConfiguration();
  configuration.applicationVersion = version, configuration.buildNumber = 5;
  return configuration;
}

// The English message of the InstallerFailure `action` throws (with its reason), or "(none)".
std::string failureOf(const std::function<void()>& action) try {
  action();
  return "(none)";
} catch (const InstallerFailure& failure) {
  return failure.what() +
         std::string(failure.reason() == InstallerFailureReason::general ? "" : " (reason)");
}

// Against the configured release with build 5: whether the copy is newer, and whether it may be
// replaced given the approval.
TEST(InstalledApplicationVersion, IsNewerByVersionThenBuildAndOnlyAnApprovedNewerIsReplaced) {
  const testing::ScopedEnvironment english{{"LANGUAGE", "en_US.UTF-8"}};
  const std::string refused = "A newer version is installed (reason)";
  const struct {
    Version installed;
    const char* configuredVersion;
    std::optional<Version> approved;
    bool newer;
    std::string expected;
  } cases[] = {
      {{"1.3.0", "7"}, "1.2.0", std::nullopt, true, refused},
      {{"1.3.0", "7"}, "1.2.0", Version("1.3.0", "7"), true, "(none)"},
      {{"1.3.0", "7"}, "1.2.0", Version("1.3.0", "8"), true, refused},
      {{"1.2.9", "999"}, "1.3.0", std::nullopt, false, "(none)"},
      {{"1.2.0", "5"}, "1.2.0", std::nullopt, false, "(none)"},
      {{"1.2.0", "6"}, "1.2.0", std::nullopt, true, refused},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.installed.isNewer(configured(c.configuredVersion)), c.newer) << c.configuredVersion;
    EXPECT_EQ(failureOf([&] {
                c.installed.requireReplacementConsent(configured(c.configuredVersion), c.approved);
              }),
              c.expected);
  }
  // A date is never a build number, whatever its seconds since 2001 would read as.
  const Version dateBuild(
      info(PropertyListValue::makeText("1.2.0"),
           platform::parsePropertyList("<?xml version=\"1.0\"?><plist version=\"1.0\"><date>"
                                       "2001-01-01T00:00:05Z</date></plist>")));
  for (const Version& installed : {dateBuild, Version("1.2.0", std::nullopt)})
    EXPECT_EQ(
        failureOf([&] { installed.requireReplacementConsent(configured("1.2.0"), installed); }),
        "Could not compare Vexa versions. Check the installed application.");
  // A version that is no text cannot be read at all.
  EXPECT_EQ(failureOf([&] { (void)Version(info(PropertyListValue::makeInteger(1))); }),
            "Could not read the Vexa version. Check the installed application.");
}

}  // namespace
}  // namespace vexa
