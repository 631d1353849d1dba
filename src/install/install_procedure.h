#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "config/install_configuration.h"
#include "install/application_quit_wait.h"
#include "install/bundle_verification.h"
#include "install/installed_application_version.h"

namespace vexa::NativeInstaller {

// Whether the product with the given bundle identifier is running right now.
using RunningCheck = std::function<bool(const std::string& bundleIdentifier)>;

// Turns the downloaded package `dmg` into <parent>/<productName>.app and returns that path.
//
// Checks the configuration and the package again, refuses while the product runs
// (applicationRunning) or over a newer installed copy the user did not approve in `replacing`
// (newerApplicationInstalled), clears what killed installs left (unfinished hidden copies in the
// parent, their workspaces in the temporary folder), attaches the package read-only in a private
// workspace, verifies the bundle inside exactly, refuses at once when it cannot fit in the parent's
// file system (the generic file-check failure a copy running out of space gives), copies it next
// to the target under a hidden name (written as .vexa-install-<appId>-<UUID>.incomplete, renamed to
// .app once whole), verifies the copy, repeats the running and newer-copy checks, and hands the
// copy to InstallPaths::replace, which swaps it in atomically, verifies it at its final path and
// rolls back on rejection. After a successful replacement, whole hidden copies left by earlier
// attempts in the parent are removed, but only those this user owns that are genuine signed copies
// of the product; nothing else is ever removed, and failures there are ignored.
//
// Every failure is thrown (InstallerFailure for the installer's own checks, the platform's errors
// unchanged). On every exit the staged copy is removed unless the replacement took it over, then
// the package is detached, then the workspace removed; clean-up failures are ignored. Tools this
// call runs never outlive the process. Blocks for the whole installation: call it from a
// background thread.
[[nodiscard]] std::filesystem::path install(
    const std::filesystem::path& dmg, const std::filesystem::path& parent,
    const InstallConfiguration& configuration,
    const std::optional<InstalledApplicationVersion>& replacing,
    const RunningCheck& applicationIsRunning = NativeInstaller::applicationIsRunning,
    const VerificationServices& services = {});

}  // namespace vexa::NativeInstaller
