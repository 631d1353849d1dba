#pragma once

#include <filesystem>

#include "config/install_configuration.h"

namespace vexa {

// Proves that the file at `package` is exactly the configured package: it must be a regular file
// (a final symbolic link is not followed) whose size equals the configured sizeBytes, and then its
// streamed SHA-256 must equal the configured sha256. Throws InstallerFailure on a mismatch
// (anything but a regular file counts as the wrong size) and std::system_error when the item cannot
// be examined or read. Changes nothing on disk; blocks for the time it takes to read the file.
void verifyDownload(const InstallConfiguration& configuration,
                    const std::filesystem::path& package);

}  // namespace vexa
