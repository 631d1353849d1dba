#include "install/installed_application_version.h"

#include <algorithm>
#include <charconv>

#include "config/installer_copy.h"
#include "config/installer_failure.h"

namespace vexa {
namespace {

// A version split at its first hyphen that ends a non-empty piece: "1.2.3-beta-2" gives
// "1.2.3" and "beta-2"; "1.2.3-" gives only "1.2.3"; leading hyphens are skipped.
struct VersionParts {
  int count = 0;
  std::string_view core;
  std::string_view suffix;
};

VersionParts splitVersion(std::string_view text) {
  std::size_t start = 0;
  for (std::size_t index = 0; index < text.size(); ++index) {
    if (text[index] != '-') continue;
    if (index > start) {
      VersionParts parts{1, text.substr(start, index - start), {}};
      if (index + 1 < text.size()) {
        parts.count = 2;
        parts.suffix = text.substr(index + 1);
      }
      return parts;
    }
    start = index + 1;
  }
  if (start < text.size()) return VersionParts{1, text.substr(start), {}};
  return VersionParts{};
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

ComparisonResult order(int difference) {
  if (difference < 0) return ComparisonResult::ascending;
  if (difference > 0) return ComparisonResult::descending;
  return ComparisonResult::same;
}

// Numeric text comparison: runs of ASCII digits compare by value, everything else byte by byte;
// a proper prefix is lower.
ComparisonResult compareNumerically(std::string_view left, std::string_view right) {
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < left.size() && j < right.size()) {
    if (isDigit(left[i]) && isDigit(right[j])) {
      std::size_t iEnd = i;
      std::size_t jEnd = j;
      while (iEnd < left.size() && isDigit(left[iEnd])) ++iEnd;
      while (jEnd < right.size() && isDigit(right[jEnd])) ++jEnd;
      // Compare the values without converting: skip leading zeros, then longer is larger, then
      // digit by digit. Arbitrarily long runs cannot overflow.
      std::size_t iStart = i;
      std::size_t jStart = j;
      while (iStart + 1 < iEnd && left[iStart] == '0') ++iStart;
      while (jStart + 1 < jEnd && right[jStart] == '0') ++jStart;
      const std::size_t iLength = iEnd - iStart;
      const std::size_t jLength = jEnd - jStart;
      if (iLength != jLength)
        return iLength < jLength ? ComparisonResult::ascending : ComparisonResult::descending;
      if (int c = left.substr(iStart, iLength).compare(right.substr(jStart, jLength)); c != 0)
        return order(c);
      i = iEnd;
      j = jEnd;
      continue;
    }
    const auto a = static_cast<unsigned char>(left[i]);
    const auto b = static_cast<unsigned char>(right[j]);
    if (a != b) return a < b ? ComparisonResult::ascending : ComparisonResult::descending;
    ++i;
    ++j;
  }
  const bool leftDone = i >= left.size();
  const bool rightDone = j >= right.size();
  if (leftDone && rightDone) return ComparisonResult::same;
  return leftDone ? ComparisonResult::ascending : ComparisonResult::descending;
}

InstallerFailure cannotCompare() {
  return InstallerFailure(
      InstallerCopy::text("无法比较 Vexa 版本，请检查已安装的应用。",
                          "Could not compare Vexa versions. Check the installed application."));
}

// The installed build number when the versions are the same; throws cannotCompare otherwise.
std::int64_t comparableBuild(const std::optional<std::string>& build,
                             const InstallConfiguration& configuration) {
  if (!build) throw cannotCompare();
  std::optional<std::int64_t> number =
      NativeInstaller::productBuildNumber(*build, configuration.environment);
  if (!number) throw cannotCompare();
  return *number;
}

}  // namespace

namespace NativeInstaller {

ComparisonResult compareApplicationVersions(std::string_view left, std::string_view right) {
  const VersionParts leftParts = splitVersion(left);
  const VersionParts rightParts = splitVersion(right);
  if (ComparisonResult cores = compareNumerically(leftParts.core, rightParts.core);
      cores != ComparisonResult::same) {
    return cores;
  }
  // A release is newer than its own pre-releases.
  if (leftParts.count == 1 && rightParts.count == 2) return ComparisonResult::descending;
  if (leftParts.count == 2 && rightParts.count == 1) return ComparisonResult::ascending;
  return compareNumerically(left, right);
}

std::optional<std::int64_t> productBuildNumber(std::string_view value,
                                               std::string_view environment) {
  std::string_view text = value;
  if (environment == "production" && text.starts_with(productionBuildPrefix)) {
    text.remove_prefix(productionBuildPrefix.size());
  }
  std::int64_t number = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  if (number <= 0) return std::nullopt;
  // Signs, leading zeros and anything but the canonical digits are refused.
  if (std::to_string(number) != text) return std::nullopt;
  return number;
}

bool isApplicationVersion(std::string_view text) {
  // Three dot-separated runs of ASCII digits, then optionally a hyphen and one or more letters,
  // digits, dots or hyphens. Matched in one pass, so the length of the text does not matter.
  std::size_t at = 0;
  for (int number = 0; number < 3; ++number) {
    if (number > 0) {
      if (at == text.size() || text[at] != '.') return false;
      ++at;
    }
    const std::size_t digits = at;
    while (at < text.size() && isDigit(text[at])) ++at;
    if (at == digits) return false;
  }
  if (at == text.size()) return true;
  if (text[at] != '-' || at + 1 == text.size()) return false;
  return std::all_of(text.begin() + static_cast<std::ptrdiff_t>(at) + 1, text.end(), [](char c) {
    return isDigit(c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '.' || c == '-';
  });
}

}  // namespace NativeInstaller

InstalledApplicationVersion::InstalledApplicationVersion(
    const platform::PropertyListDictionary& info) {
  auto version = info.find("CFBundleShortVersionString");
  if (version == info.end() || !version->second.isText() ||
      !NativeInstaller::isApplicationVersion(version->second.text())) {
    throw InstallerFailure(
        InstallerCopy::text("无法读取 Vexa 版本，请检查已安装的应用。",
                            "Could not read the Vexa version. Check the installed application."));
  }
  version_ = version->second.text();
  if (auto build = info.find("CFBundleVersion"); build != info.end())
    build_ = build->second.description();
}

bool InstalledApplicationVersion::isNewer(const InstallConfiguration& configuration) const {
  const ComparisonResult c =
      NativeInstaller::compareApplicationVersions(version_, configuration.applicationVersion);
  if (c != ComparisonResult::same) return c == ComparisonResult::descending;
  return comparableBuild(build_, configuration) > configuration.buildNumber;
}

void InstalledApplicationVersion::requireReplacementConsent(
    const InstallConfiguration& configuration,
    const std::optional<InstalledApplicationVersion>& approved) const {
  const ComparisonResult c =
      NativeInstaller::compareApplicationVersions(version_, configuration.applicationVersion);
  if (c == ComparisonResult::ascending) return;
  if (c == ComparisonResult::same &&
      comparableBuild(build_, configuration) <= configuration.buildNumber)
    return;
  if (approved && *approved == *this) return;
  throw InstallerFailure(InstallerCopy::text("已安装更高版本", "A newer version is installed"),
                         InstallerFailureReason::newerApplicationInstalled);
}

}  // namespace vexa
