#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "config/install_configuration.h"
#include "platform/property_list.h"

namespace vexa {

// Three-valued ordering: ascending means the left operand is lower.
enum class ComparisonResult { ascending = -1, same = 0, descending = 1 };

// The version and build of an application bundle, read from its Info.plist. Also the form in which
// the user approves replacing a newer installed copy. Immutable value; equality is field by field
// (both builds absent, or both present and equal).
class InstalledApplicationVersion {
 public:
  // Trusted construction (for example the user's approval of a copy shown earlier).
  InstalledApplicationVersion(std::string version, std::optional<std::string> build)
      : version_(std::move(version)), build_(std::move(build)) {}
  // Reads CFBundleShortVersionString, which must be text matching major.minor.patch with an
  // optional -suffix (ASCII digits only), and CFBundleVersion in its natural description when
  // present. Throws InstallerFailure ("could not read the Vexa version") otherwise.
  explicit InstalledApplicationVersion(const platform::PropertyListDictionary& info);

  [[nodiscard]] const std::string& version() const { return version_; }
  [[nodiscard]] const std::optional<std::string>& build() const { return build_; }

  // Whether this copy is newer than the configured release: by version, and for the same version
  // by build. Throws InstallerFailure ("could not compare") when the versions are the same and
  // this copy's build is absent or not a valid build number.
  [[nodiscard]] bool isNewer(const InstallConfiguration& configuration) const;

  // Returns when this copy may be replaced by the configured release: it is older, or the same
  // version with the same or a lower build, or the user approved exactly this copy. Otherwise
  // throws InstallerFailure with reason newerApplicationInstalled; the cannot-compare failure of
  // isNewer applies as well.
  void requireReplacementConsent(const InstallConfiguration& configuration,
                                 const std::optional<InstalledApplicationVersion>& approved) const;

  bool operator==(const InstalledApplicationVersion&) const = default;

 private:
  std::string version_;
  std::optional<std::string> build_;
};

namespace NativeInstaller {

// The production build prefix a bundle's build text may carry in front of the build number.
inline constexpr std::string_view productionBuildPrefix = "20260905024501.";

// Orders two version texts: the cores (the text before the first hyphen that ends a non-empty
// piece) compare numerically (digit runs by value, other characters one by one); for equal cores a
// release is newer than its pre-releases, otherwise the whole texts compare numerically. Also used
// for system versions ("10.15.7" is lower than "11.0"). Never fails.
[[nodiscard]] ComparisonResult compareApplicationVersions(std::string_view left,
                                                          std::string_view right);

// The build number in `value`: a positive decimal integer in canonical form (no sign, no leading
// zero, fits in 64 bits), optionally behind the production prefix when `environment` is
// "production". Nothing when the text is anything else.
[[nodiscard]] std::optional<std::int64_t> productBuildNumber(std::string_view value,
                                                             std::string_view environment);

// Whether `text` has the form of an application version ("1.2.3", "1.2.3-beta.1").
[[nodiscard]] bool isApplicationVersion(std::string_view text);

}  // namespace NativeInstaller
}  // namespace vexa
