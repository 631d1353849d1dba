#include "release/release_configure.h"

#include <map>

#include "config/installer_failure.h"
#include "install/bundle_verification.h"
#include "install/disk_image_mount.h"
#include "install/installed_application_version.h"
#include "platform/atomic_file.h"
#include "platform/atomic_rename.h"
#include "platform/child_process.h"
#include "platform/code_signature.h"
#include "platform/random_uuid.h"
#include "platform/sha256.h"
#include "release/release_refusal.h"

namespace vexa {
namespace {

namespace fs = std::filesystem;

// Where each member the rules may refuse came from, so that a refusal says what to change.
std::string sourceOf(const std::string& brokenRule) {
  static const std::map<std::string, std::string, std::less<>> sources = {
      {"environment", "--environment"},
      {"ring", "--ring"},
      {"arch", "the main executable's processor, or --arch"},
      {"appId", "the bundle's CFBundleIdentifier"},
      {"productName", "the bundle's name on the package's volume"},
      {"productVersion", "the bundle's version, or --product-version"},
      {"applicationVersion", "the bundle's CFBundleShortVersionString"},
      {"buildNumber", "the bundle's CFBundleVersion"},
      {"sizeBytes", "the package file"},
      {"gitSha", "--git-sha"},
      {"teamId", "the team of the bundle's signer"},
      {"installerURL", "--url"},
      {"downloadToken", "--token"},
  };
  const std::string member = brokenRule.substr(0, brokenRule.find(' '));
  const auto found = sources.find(member);
  return found == sources.end() ? std::string() : " (from " + found->second + ")";
}

// The one application bundle at the top of the package's volume.
fs::path bundleOnVolume(const fs::path& volume) {
  std::vector<fs::path> bundles;
  for (const fs::directory_entry& entry : fs::directory_iterator(volume)) {
    if (entry.path().extension() == ".app" && entry.is_directory()) bundles.push_back(entry.path());
  }
  if (bundles.size() != 1) {
    throw ReleaseRefusal(
        "package: its volume must hold exactly one application bundle (*.app) "
        "at the top; found " +
        std::to_string(bundles.size()));
  }
  return bundles.front();
}

const std::string* textValue(const platform::PropertyListDictionary& info, std::string_view key) {
  const auto found = info.find(key);
  return found != info.end() && found->second.isText() ? &found->second.text() : nullptr;
}

bool toolSucceeds(const fs::path& tool, const std::vector<std::string>& arguments) {
  return platform::runChildProcess(tool, arguments).succeeded();
}

// The processor family the bundle's main executable runs on, as the configuration names it.
std::string processorOf(const fs::path& executable, const SystemTools& tools) {
  std::vector<std::string> families;
  for (const auto& [family, lipoName] : {std::pair{"x64", "x86_64"}, std::pair{"arm64", "arm64"}}) {
    if (toolSucceeds(tools.lipo, {executable.string(), "-verify_arch", lipoName})) {
      families.emplace_back(family);
    }
  }
  if (families.size() == 1) return families.front();
  throw ReleaseRefusal("arch: the main executable " + executable.filename().string() +
                       (families.empty()
                            ? " runs on neither x86_64 nor arm64 (lipo -verify_arch)"
                            : " runs on both x86_64 and arm64; name the package's with --arch"));
}

// Which step of the installer's exact verification refused the bundle, run again one by one with
// its exit status kept (the installer folds every tool failure into one message).
std::string refusedStep(const fs::path& bundle, const InstallConfiguration& configuration,
                        const SystemTools& tools, const std::string& executable) {
  const std::string processor = configuration.arch == "x64" ? "x86_64" : "arm64";
  if (!toolSucceeds(tools.lipo, {(bundle / "Contents/MacOS" / executable).string(), "-verify_arch",
                                 processor})) {
    return "processor: the main executable does not run on " + processor + " (lipo -verify_arch)";
  }
  if (!toolSucceeds(tools.codesign, {"--verify", "--deep", "--strict", bundle.string()})) {
    return "signature: the bundle's signature does not verify against the installer's anchor "
           "(codesign --verify --deep --strict): a file changed, added or missing, or a signer "
           "from another authority";
  }
  // The signature itself holds, so what fails is the requirement: identifier or team.
  const std::string requirement = NativeInstaller::codeRequirement(configuration, false);
  if (!toolSucceeds(tools.codesign,
                    {"--verify", "--deep", "--strict", "-R", requirement, bundle.string()})) {
    return "signature: valid, but it does not satisfy the installer's requirement " +
           requirement.substr(1);
  }
  if (!toolSucceeds(tools.spctl, {"--assess", "--type", "execute", bundle.string()})) {
    return "assessment: spctl --assess --type execute refuses the bundle";
  }
  return "bundle verification";
}

}  // namespace

InstallConfiguration configureRelease(const ConfigureOptions& options, ReleaseReport& report) {
  const SystemTools tools = SystemTools::inDirectory(options.installer / "Contents/Helpers");
  if (!fs::is_regular_file(tools.hdiutil) ||
      !fs::is_regular_file(options.installer / "Contents/Resources/code-signing-anchor.pem")) {
    throw ReleaseRefusal("installer: " + options.installer.string() +
                         " must be an installer bundle with its tools in Contents/Helpers and its "
                         "signing anchor in Contents/Resources");
  }
  std::optional<platform::HashableFile> file = platform::HashableFile::open(options.package);
  if (!file) {
    throw ReleaseRefusal("package: " + options.package.string() + " must be a regular file");
  }
  InstallConfiguration configuration;
  configuration.schemaVersion = 1;
  configuration.sizeBytes = file->size();
  configuration.sha256 = file->sha256Hex(report.progress("hashing", file->size()));
  report.pass("package",
              std::to_string(configuration.sizeBytes) + " bytes, SHA-256 " + configuration.sha256);

  std::optional<DiskImageMount> mount;
  try {
    mount.emplace(options.package, tools);
  } catch (const InstallerFailure&) {
    throw ReleaseRefusal(
        "package: the installer cannot attach it read-only (hdiutil attach): "
        "it must be a disk image made with hdiutil create");
  }
  const fs::path bundle = bundleOnVolume(mount->mountPoint());
  const platform::PropertyListDictionary info = NativeInstaller::metadata(bundle);
  const std::string* identifier = textValue(info, "CFBundleIdentifier");
  const std::string* shortVersion = textValue(info, "CFBundleShortVersionString");
  const std::string* executable = textValue(info, "CFBundleExecutable");
  const std::string* minimum = textValue(info, "LSMinimumSystemVersion");
  for (const auto& [key, value] : {std::pair{"CFBundleIdentifier", identifier},
                                   std::pair{"CFBundleShortVersionString", shortVersion},
                                   std::pair{"CFBundleExecutable", executable}}) {
    if (value == nullptr) {
      throw ReleaseRefusal(std::string("bundle: Info.plist must carry ") + key + " as text");
    }
  }
  const auto build = info.find("CFBundleVersion");
  const std::string buildText = build != info.end() ? build->second.description() : "";

  configuration.environment = options.environment;
  configuration.ring = options.ring;
  configuration.appId = *identifier;
  configuration.productName = bundle.stem().string();
  configuration.applicationVersion = *shortVersion;
  configuration.productVersion =
      options.productVersion.value_or(shortVersion->substr(0, shortVersion->find('-')));
  configuration.arch =
      options.arch ? *options.arch : processorOf(bundle / "Contents/MacOS" / *executable, tools);
  const auto buildNumber = NativeInstaller::productBuildNumber(buildText, options.environment);
  if (!buildNumber) {
    throw ReleaseRefusal("buildNumber: the bundle's CFBundleVersion \"" + buildText +
                         "\" must be a positive whole number without leading zeros");
  }
  configuration.buildNumber = *buildNumber;
  configuration.gitSha = options.gitSha;
  const std::optional<std::string> team = platform::signingTeam(bundle);
  if (!team) {
    throw ReleaseRefusal("signature: " + bundle.filename().string() +
                         " is not signed (no Contents/_CodeSignature/CodeSignature); it must be "
                         "signed by the team the configuration rules accept");
  }
  configuration.teamId = *team;
  try {
    configuration.installerURL = platform::Url::parse(options.url);
  } catch (const platform::UrlParseError& error) {
    throw ReleaseRefusal("installerURL: \"" + options.url + "\" is not a URL: " + error.what());
  }
  configuration.downloadToken = options.token;
  report.pass("bundle", bundle.filename().string() + " " + configuration.appId + " " +
                            configuration.applicationVersion + " build " + buildText + ", " +
                            configuration.arch + ", signed by team " + *team +
                            (minimum ? ", needs system " + *minimum : ""));

  if (const auto broken = configuration.firstBrokenRule()) {
    throw ReleaseRefusal("configuration: " + *broken + sourceOf(*broken));
  }
  configuration.validate();
  report.pass("configuration", "every rule of the installer's validation holds");

  // The check runs on the lowest system the bundle allows: the publisher's own machine says
  // nothing about the users'.
  const VerificationServices services{
      .tools = tools,
      .systemVersion = [&] { return minimum ? *minimum : platform::runningSystemVersion(); }};
  try {
    NativeInstaller::verify(bundle, configuration, true, services);
  } catch (const InstallerFailure& failure) {
    throw ReleaseRefusal(refusedStep(bundle, configuration, tools, *executable) +
                         " (the installer would say: " + failure.what() + ")");
  }
  report.pass("verification", "the installer's exact check of the bundle passes");
  return configuration;
}

void writeNewFile(const fs::path& path, const std::string& content, bool replace) {
  if (replace) {
    platform::writeFileAtomically(path, content, 0644);
    return;
  }
  const fs::path temporary =
      path.parent_path() / ("." + path.filename().string() + "." + platform::randomUuid());
  platform::writeFileAtomically(temporary, content, 0644);
  const std::error_code error =
      platform::renameAtomically(temporary, path, platform::RenameMode::noReplace);
  if (error) {
    std::error_code ignored;
    fs::remove(temporary, ignored);
    if (error == std::errc::file_exists) {
      throw ReleaseRefusal("output: " + path.string() + " exists; use --force to replace it");
    }
    throw std::system_error(error, path.string());
  }
}

}  // namespace vexa
