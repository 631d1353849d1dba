#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "config/install_configuration.h"
#include "release/release_report.h"

namespace vexa {

// What `vexa-release configure` is told; everything else comes from the package.
struct ConfigureOptions {
  std::filesystem::path package;
  std::string url;
  std::string environment;
  std::string ring;
  std::string gitSha;
  std::string token;
  // Only where the bundle's version does not settle them: by default productVersion is the
  // version's part before its first hyphen, and arch is the one processor the executable runs on.
  std::optional<std::string> productVersion;
  std::optional<std::string> arch;
  // The installer bundle whose tools (and so whose signing anchor) judge the package.
  std::filesystem::path installer;
};

// Builds the configuration.json for a signed product package: size and SHA-256 of the package
// (the installer's own streamed hashing), the package attached read-only with the installer's
// mount code, the bundle on its volume read (identifier, name, versions, build, processor, minimum
// system, the signer's team), then the installer's own validate() and its exact bundle
// verification of the package against the result. Each step that passes is a line of `report`.
//
// Blocks for the hashing and the tools; main thread of the tool. Throws ReleaseRefusal naming the
// member or check that fails; tool launch and file errors pass through. Writes nothing (the
// mount's scratch folder is removed again).
[[nodiscard]] InstallConfiguration configureRelease(const ConfigureOptions& options,
                                                    ReleaseReport& report);

// Writes `content` to `path` so that no reader ever sees part of it: a temporary file in the same
// folder, flushed, then renamed into place, without replacing anything unless `replace` is set.
// Throws ReleaseRefusal when `path` exists and `replace` is not set (the temporary file is removed
// again), std::system_error for other failures.
void writeNewFile(const std::filesystem::path& path, const std::string& content, bool replace);

}  // namespace vexa
