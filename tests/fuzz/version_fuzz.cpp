// Version and build texts as found in an installed application's Info.plist. The input is two
// texts separated by the first line feed (the second may be empty or absent): the version and the
// build. Reading them may only end in InstallerFailure; ordering must be consistent.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "config/install_configuration.h"
#include "config/installer_failure.h"
#include "fuzz_check.h"
#include "install/installed_application_version.h"
#include "platform/property_list.h"
#include "tests/support/configuration_samples.h"

namespace {

using vexa::NativeInstaller::compareApplicationVersions;

void checkBuildNumber(std::string_view text, std::string_view environment) {
  const std::optional<std::int64_t> number =
      vexa::NativeInstaller::productBuildNumber(text, environment);
  if (!number) return;
  FUZZ_CHECK(*number > 0);
  std::string_view digits = text;
  if (environment == "production" &&
      digits.starts_with(vexa::NativeInstaller::productionBuildPrefix)) {
    digits.remove_prefix(vexa::NativeInstaller::productionBuildPrefix.size());
  }
  FUZZ_CHECK(std::to_string(*number) == digits);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t split = input.find('\n');
  const std::string_view left = input.substr(0, split);
  const std::string_view right =
      split == std::string_view::npos ? std::string_view() : input.substr(split + 1);

  FUZZ_CHECK(compareApplicationVersions(left, left) == vexa::ComparisonResult::same);
  FUZZ_CHECK(static_cast<int>(compareApplicationVersions(left, right)) ==
             -static_cast<int>(compareApplicationVersions(right, left)));
  checkBuildNumber(right, "production");
  checkBuildNumber(right, "staging");

  vexa::platform::PropertyListDictionary info;
  info["CFBundleShortVersionString"] =
      vexa::platform::PropertyListValue::makeText(std::string(left));
  if (split != std::string_view::npos) {
    info["CFBundleVersion"] = vexa::platform::PropertyListValue::makeText(std::string(right));
  }
  const bool wellFormed = vexa::NativeInstaller::isApplicationVersion(left);
  try {
    const vexa::InstalledApplicationVersion version(info);
    FUZZ_CHECK(wellFormed && version.version() == left);
    FUZZ_CHECK(
        version.build() ==
        (split == std::string_view::npos ? std::nullopt : std::optional<std::string>(right)));
    for (const auto& configuration : {vexa::testing::validProductionConfiguration(),
                                      vexa::testing::validStagingConfiguration()}) {
      try {
        (void)version.isNewer(configuration);
      } catch (const vexa::InstallerFailure&) {
      }
    }
  } catch (const vexa::InstallerFailure&) {
    FUZZ_CHECK(!wellFormed);
  }
  return 0;
}
