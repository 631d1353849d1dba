#include "tests/support/package_builder.h"

#include <plist/plist.h>

#include <memory>
#include <stdexcept>

#include "tests/support/program_run.h"
#include "tests/support/temporary_directory.h"

namespace vexa::testing {
namespace {

namespace fs = std::filesystem;

const fs::path kHelpers = fs::path(VEXA_BUNDLE_DIR) / "Contents" / "Helpers";

void runTool(const char* name, std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), name);
  const ProgramResult result = runProgram(kHelpers / name, arguments);
  if (result.exitStatus != 0)
    throw std::runtime_error(std::string(name) + " failed: " + result.standardError);
}

std::string infoPlist(const BundleLayout& layout) {
  std::unique_ptr<void, decltype(&plist_free)> root(plist_new_dict(), &plist_free);
  const std::pair<const char*, std::optional<std::string>> entries[] = {
      {"CFBundleIdentifier", layout.identifier},
      {"CFBundleShortVersionString", layout.shortVersion},
      {"CFBundleVersion", layout.buildText},
      {"LSMinimumSystemVersion", layout.minimumSystemVersion},
      {"CFBundleExecutable", layout.executableName}};
  for (const auto& [key, value] : entries) {
    if (value) plist_dict_set_item(root.get(), key, plist_new_string(value->c_str()));
  }
  char* bytes = nullptr;
  uint32_t length = 0;
  plist_to_xml(root.get(), &bytes, &length);
  std::string encoded(bytes, length);
  plist_to_xml_free(bytes);
  return encoded;
}

}  // namespace

void makeBundle(const fs::path& bundle, const BundleLayout& layout) {
  const fs::path contents = bundle / "Contents";
  // The fake application built for this machine, relabelled (ELF e_machine) for the processor.
  std::string executable = readFile(fs::path(VEXA_DEMO_PROGRAMS_DIR) / "fake_application");
  executable[18] = layout.processor == BundleLayout::Processor::arm64 ? 183 : 62;
  const auto program = [&](const fs::path& path) {
    writeFile(path, executable);
    fs::permissions(path, static_cast<fs::perms>(0755));
  };
  writeFile(contents / "Info.plist", infoPlist(layout));
  const std::string& name = layout.executableName;
  if (name.find_first_not_of('.') != std::string::npos && name.find('/') == std::string::npos)
    program(contents / "MacOS" / name);
  if (layout.nestedBundle) {
    const fs::path framework = contents / "Frameworks/VexaCore.framework/Contents";
    writeFile(framework / "Info.plist",
              infoPlist({.identifier = layout.identifier + ".core", .executableName = "VexaCore"}));
    program(framework / "MacOS/VexaCore");
    fs::create_symlink("VexaCore.framework/Contents/MacOS/VexaCore",
                       contents / "Frameworks/VexaCore");
  }
}

void signBundle(const fs::path& bundle, const TestCertificateAuthority& authority,
                const std::string& team) {
  TemporaryDirectory keys;
  const IssuedCertificate leaf =
      authority.issueCodeSigningCertificate("Vexa Test Developer (" + team + ")", team);
  // The authority's own certificate rides along: for an intermediate it completes the chain, for
  // the root it is harmless.
  writeFile(keys / "identity.pem", leaf.certificatePem + authority.authority().certificatePem);
  leaf.writePrivateKey(keys / "identity-key.pem");
  runTool("codesign", {"--sign", (keys / "identity.pem").string(), "--key",
                       (keys / "identity-key.pem").string(), "--deep", bundle.string()});
}

void makeImage(const fs::path& folder, const fs::path& image) {
  runTool("hdiutil",
          {"create", "-srcfolder", folder.string(), "-volname", "Vexa", "-ov", image.string()});
}

SystemTools trustedTools(const fs::path& directory, const TestCertificateAuthority& authority) {
  const fs::path helpers = directory / "Tools.app" / "Contents" / "Helpers";
  fs::create_directories(helpers);
  for (const char* name : {"hdiutil", "ditto", "codesign", "spctl", "lipo"})
    fs::copy_file(kHelpers / name, helpers / name, fs::copy_options::overwrite_existing);
  authority.writeCertificate(directory / "Tools.app/Contents/Resources/code-signing-anchor.pem");
  return SystemTools::inDirectory(helpers);
}

}  // namespace vexa::testing
