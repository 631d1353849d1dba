#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "install/system_tools.h"
#include "tests/support/test_certificate_authority.h"

// Builds, signs and packages application bundles like the product's, for tests and the demo, with
// the built bundle's helpers. The main executable is a copy of the fake_application program (for
// arm64 with its ELF machine patched, so only the header tells the processors apart). Every
// function throws std::runtime_error with the tool's diagnostics on failure.
namespace vexa::testing {

// What goes into a test application bundle. Defaults describe a plausible product bundle.
struct BundleLayout {
  enum class Processor { x86_64, arm64 };

  std::string identifier = "dev.plovik.desktop";
  std::optional<std::string> shortVersion = "1.4.0-beta.57";
  std::optional<std::string> buildText = "57";  // CFBundleVersion; nothing leaves the key out
  std::optional<std::string> minimumSystemVersion = std::nullopt;
  // CFBundleExecutable; the file Contents/MacOS/<name> is written when the name is a plain name.
  std::string executableName = "Vexa";
  Processor processor = Processor::x86_64;
  // Adds Contents/Frameworks/VexaCore.framework, a bundle of its own (signed separately with
  // --deep).
  bool nestedBundle = false;
};

// Writes the bundle folder `bundle` (which should not exist yet) as `layout` describes.
void makeBundle(const std::filesystem::path& bundle, const BundleLayout& layout = {});
// Signs `bundle` and its nested bundles with a fresh leaf of `authority` for `team`.
void signBundle(const std::filesystem::path& bundle, const TestCertificateAuthority& authority,
                const std::string& team);
// Packs the content of `folder` (the future volume) into the image `image` with hdiutil create.
void makeImage(const std::filesystem::path& folder, const std::filesystem::path& image);

// A private copy of the tool stand-ins that trusts `authority`: <directory>/Tools.app with the
// tools in Contents/Helpers and the authority's certificate as Contents/Resources/
// code-signing-anchor.pem, where the tools look for their anchor.
[[nodiscard]] SystemTools trustedTools(const std::filesystem::path& directory,
                                       const TestCertificateAuthority& authority);

}  // namespace vexa::testing
