#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "config/install_configuration.h"
#include "install/installed_application.h"
#include "install/system_tools.h"
#include "platform/property_list.h"
#include "platform/system_version.h"

namespace vexa {

// What bundle verification needs from the system: the tools it runs and the running system's
// version ("14.5.0"). Production code takes the defaults; tests build their own.
struct VerificationServices {
  SystemTools tools = SystemTools::standard();
  std::function<std::string()> systemVersion = platform::runningSystemVersion;
};

// Deciding whether an application bundle is a genuine copy of the configured product. Every
// operation is synchronous, blocks while the system tools run (call it from a background thread),
// keeps no state and changes nothing on disk.
namespace NativeInstaller {

// The team clause used for production copies whose version begins with "0.": those were signed by
// either of two fixed teams.
inline constexpr std::string_view legacyTeams[] = {"QX7RZ2M4KD", "L3W8N5T1VB"};

// The bundle's Contents/Info.plist as a dictionary (XML or binary). A missing or unreadable file
// gives the file's std::system_error, unparsable bytes a platform::PropertyListError, both
// unchanged; a property list that is not a dictionary, or is refused for its size or nesting,
// gives InstallerFailure ("the application information is invalid").
[[nodiscard]] platform::PropertyListDictionary metadata(const std::filesystem::path& path);

// The designated requirement handed to codesign for `appId`, with the configured team or, when
// `legacyTeamClause` is set, either of the two fixed teams.
[[nodiscard]] std::string codeRequirement(const InstallConfiguration& configuration,
                                          bool legacyTeamClause);

// Checks the bundle at `path`, stopping at the first failure: no symbolic link on its path; its
// identifier is the configured appId; then, exact (`exactVersion`): the running system meets its
// minimum, its version and build are the configured release, its main executable is named sanely
// and runs on the configured processor (lipo), and it is signed by the configured team; lenient:
// its version is readable, and it is signed by the configured team (or, for production 0.x
// copies, by either fixed team). Both end with codesign and spctl. The tools (lipo, codesign,
// spctl) run side by side on threads of their own, and the failure reported is the first in that
// order, as if they had run one after the other. Throws InstallerFailure for a refused bundle (tool
// failures give NativeInstaller::toolFailure()), and passes the errors of metadata() and of
// launching a tool through unchanged.
void verify(const std::filesystem::path& path, const InstallConfiguration& configuration,
            bool exactVersion, const VerificationServices& services = {});

// Whether `info` names exactly the configured version (text equality) and build number.
[[nodiscard]] bool matchesPackagedVersion(const platform::PropertyListDictionary& info,
                                          const InstallConfiguration& configuration);

// The copy of the product at the install target `path`: nothing when nothing exists there (without
// running any tool); otherwise the lenient verification, then its version. Every failure is thrown.
[[nodiscard]] std::optional<InstalledApplication> installedApplication(
    const std::filesystem::path& path, const InstallConfiguration& configuration,
    const VerificationServices& services = {});

}  // namespace NativeInstaller
}  // namespace vexa
