#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "install/system_tools.h"
#include "tests/support/test_certificate_authority.h"

namespace vexa::testing {

// What goes into a test application bundle. Defaults describe a plausible product bundle.
struct BundleLayout {
  enum class Processor { x86_64, arm64 };

  std::string identifier = "dev.plovik.desktop";
  std::optional<std::string> shortVersion = "1.4.0-beta.57";
  std::optional<std::string> buildText = "57";  // CFBundleVersion; nothing leaves the key out
  std::optional<std::string> minimumSystemVersion;
  // CFBundleExecutable; the file Contents/MacOS/<name> is written when the name is a plain name.
  std::optional<std::string> executableName = "Vexa";
  Processor processor = Processor::x86_64;
  // Adds Contents/Frameworks/VexaCore.framework, a bundle of its own (signed separately with
  // --deep).
  bool nestedBundle = false;
};

// Builds, signs and packages application bundles like the product's, for tests and the demo.
// The main executable is a copy of the fake_application program (for arm64 with its ELF machine
// patched, so only the header tells the processors apart). Tools are the built bundle's helpers
// unless a test passes its own. Throws std::runtime_error with the tool's diagnostics on failure.
class PackageBuilder {
 public:
  explicit PackageBuilder(SystemTools tools = SystemTools::inDirectory(
                              std::filesystem::path(VEXA_BUNDLE_DIR) / "Contents" / "Helpers"))
      : tools_(std::move(tools)) {}

  // Writes the bundle folder `bundle` (which should not exist yet) as `layout` describes.
  void makeBundle(const std::filesystem::path& bundle, const BundleLayout& layout) const;
  // Signs `bundle` and its nested bundles with a fresh leaf of `authority` for `team`.
  void sign(const std::filesystem::path& bundle, const TestCertificateAuthority& authority,
            const std::string& team) const;
  // Packs the content of `folder` (the future volume) into the image `image` with hdiutil create.
  void makeImage(const std::filesystem::path& folder, const std::filesystem::path& image) const;

 private:
  SystemTools tools_;
};

// A private copy of the tool stand-ins that trusts `authority`: <directory>/Tools.app with the
// tools in Contents/Helpers and the authority's certificate as Contents/Resources/
// code-signing-anchor.pem, where the tools look for their anchor.
class TrustedToolset {
 public:
  TrustedToolset(const std::filesystem::path& directory, const TestCertificateAuthority& authority);
  [[nodiscard]] const SystemTools& tools() const { return tools_; }

 private:
  SystemTools tools_;
};

}  // namespace vexa::testing
