#include "release/release_command_line.h"

#include <algorithm>
#include <map>
#include <optional>
#include <set>

#include "config/install_configuration.h"
#include "platform/file_reading.h"
#include "release/installer_stamp.h"
#include "release/release_configure.h"
#include "release/release_refusal.h"
#include "release/url_check.h"

namespace vexa {
namespace {

constexpr const char* kUsage =
    "usage: vexa-release [--json] COMMAND ARGUMENTS...\n"
    "\n"
    "  configure PACKAGE --url URL --environment production|staging --ring RING --git-sha SHA\n"
    "            [--token TOKEN] [--product-version X.Y.Z] [--arch arm64|x64]\n"
    "            [--installer INSTALLER.app] [--out FILE] [--force]\n"
    "  check-url CONFIGURATION [--package PACKAGE]\n"
    "  stamp INSTALLER.app CONFIGURATION --out DIR [--force]\n"
    "\n"
    "Run vexa-release COMMAND --help for what each command checks. Exit status: 0 done, 1 refused\n"
    "(nothing written), 2 wrong usage. --json prints one JSON object on standard output.\n";

const std::map<std::string, const char*, std::less<>> kCommandHelp = {
    {"configure",
     "usage: vexa-release configure PACKAGE --url URL --environment production|staging\n"
     "         --ring alpha|beta|rc|stable --git-sha SHA [--token TOKEN]\n"
     "         [--product-version X.Y.Z] [--arch arm64|x64] [--installer INSTALLER.app]\n"
     "         [--out FILE] [--force]\n"
     "\n"
     "Writes the configuration.json for a signed product package. sizeBytes and sha256 come from\n"
     "the package; appId, productName (the bundle's name), applicationVersion\n"
     "(CFBundleShortVersionString), buildNumber (CFBundleVersion), arch (the main executable) and\n"
     "teamId (the signer) from the application bundle on its volume. productVersion is the\n"
     "version before its first hyphen unless --product-version says otherwise. The result must "
     "pass\n"
     "the installer's own validation, and the package the installer's own exact verification, "
     "with\n"
     "the tools and signing anchor of --installer (default: the installer this build made).\n"
     "Without --out the configuration goes to standard output. An existing file is replaced only\n"
     "with --force.\n"},
    {"check-url",
     "usage: vexa-release check-url CONFIGURATION [--package PACKAGE]\n"
     "\n"
     "Asks the configured installerURL what the installer will ask, through the installer's own\n"
     "request, session and response checks, with this build's deployment settings: one full\n"
     "request (exactly sizeBytes bytes with the configured SHA-256), then resume requests from "
     "the\n"
     "second byte, the middle and the last byte (status 206, exact Content-Range and length, the\n"
     "first 64 KiB equal to the full body's). Redirects are refused, TLS always verified. With\n"
     "--package the local file must be the configured package. Prints one line per check.\n"},
    {"stamp",
     "usage: vexa-release stamp INSTALLER.app CONFIGURATION --out DIR [--force]\n"
     "\n"
     "Copies the installer bundle into DIR with CONFIGURATION as Contents/Resources/\n"
     "configuration.json, then runs the copy's --self-test and compares its summary with the\n"
     "configuration before the copy takes its name. This build does not sign the installer, so\n"
     "the copy is not signed either. An existing bundle in DIR is replaced only with --force.\n"},
};

struct UsageError {
  std::string message;
};

// The command's operands and options: every "--name VALUE" listed in `valued`, every "--name"
// listed in `flags`, the rest operands in order.
struct ParsedArguments {
  std::vector<std::string> operands;
  std::map<std::string, std::string> values;
  std::set<std::string> flags;

  [[nodiscard]] std::optional<std::string> value(const std::string& name) const {
    const auto found = values.find(name);
    return found == values.end() ? std::nullopt : std::optional(found->second);
  }
  [[nodiscard]] std::string required(const std::string& name) const {
    if (auto found = value(name)) return *found;
    throw UsageError{"missing --" + name};
  }
};

ParsedArguments parse(const std::vector<std::string>& arguments, std::size_t first,
                      const std::set<std::string>& valued, const std::set<std::string>& flags,
                      std::size_t operandCount) {
  ParsedArguments parsed;
  for (std::size_t index = first; index < arguments.size(); ++index) {
    const std::string& argument = arguments[index];
    if (argument.starts_with("--")) {
      const std::string name = argument.substr(2);
      if (flags.contains(name)) {
        parsed.flags.insert(name);
      } else if (valued.contains(name) && index + 1 < arguments.size()) {
        if (!parsed.values.emplace(name, arguments[++index]).second) {
          throw UsageError{"--" + name + " given twice"};
        }
      } else {
        throw UsageError{"unknown option or missing value: " + argument};
      }
    } else {
      parsed.operands.push_back(argument);
    }
  }
  if (parsed.operands.size() != operandCount) {
    throw UsageError{"expected " + std::to_string(operandCount) + " operands, got " +
                     std::to_string(parsed.operands.size())};
  }
  return parsed;
}

InstallConfiguration readConfiguration(const std::filesystem::path& path) {
  try {
    return InstallConfiguration::decode(platform::readWholeFile(path, {.limit = 1 << 20}));
  } catch (const ConfigurationDecodingError& error) {
    throw ReleaseRefusal("configuration: " + path.string() + ": " + error.what());
  }
}

}  // namespace

int runReleaseTool(const std::vector<std::string>& arguments,
                   const ReleaseToolEnvironment& environment) {
  std::size_t first = 0;
  const bool json = !arguments.empty() && arguments[0] == "--json";
  if (json) ++first;
  if (first >= arguments.size() || arguments[first] == "--help" || arguments[first] == "-h") {
    (first < arguments.size() ? environment.standardOutput : environment.standardError) << kUsage;
    return first < arguments.size() ? 0 : 2;
  }
  const std::string command = arguments[first];
  const auto help = kCommandHelp.find(command);
  if (help == kCommandHelp.end()) {
    environment.standardError << "vexa-release: unknown command " << command << "\n\n" << kUsage;
    return 2;
  }
  for (std::size_t index = first + 1; index < arguments.size(); ++index) {
    if (arguments[index] == "--help" || arguments[index] == "-h") {
      environment.standardOutput << help->second;
      return 0;
    }
  }

  const bool configureToStandardOutput =
      command == "configure" &&
      std::find(arguments.begin(), arguments.end(), "--out") == arguments.end();
  // The configuration itself owns standard output when it is printed there.
  ReleaseReport report(
      command, json,
      {.lines = configureToStandardOutput ? environment.standardError : environment.standardOutput,
       .jsonOutput = environment.standardOutput,
       .progress = environment.standardError},
      environment.standardErrorIsTerminal);
  std::optional<std::string> refusal;
  std::string success;
  try {
    if (command == "configure") {
      const ParsedArguments parsed = parse(arguments, first + 1,
                                           {"url", "environment", "ring", "git-sha", "token",
                                            "product-version", "arch", "installer", "out"},
                                           {"force"}, 1);
      const std::optional<std::string> out = parsed.value("out");
      if (out && !parsed.flags.contains("force") &&
          std::filesystem::exists(std::filesystem::symlink_status(*out))) {
        throw ReleaseRefusal("output: " + *out + " exists; use --force to replace it");
      }
      const InstallConfiguration configuration = configureRelease(
          {.package = parsed.operands[0],
           .url = parsed.required("url"),
           .environment = parsed.required("environment"),
           .ring = parsed.required("ring"),
           .gitSha = parsed.required("git-sha"),
           .token = parsed.value("token").value_or(""),
           .productVersion = parsed.value("product-version"),
           .arch = parsed.value("arch"),
           .installer = parsed.value("installer").value_or(environment.defaultInstaller.string())},
          report);
      report.set("configuration", nlohmann::json::parse(configuration.encode()));
      if (out) {
        writeNewFile(*out, configuration.encode() + "\n", parsed.flags.contains("force"));
        report.set("output", *out);
        success = "wrote " + *out;
      } else if (!json) {
        environment.standardOutput << configuration.encode() << '\n';
        success = "configuration printed";
      }
    } else if (command == "check-url") {
      const ParsedArguments parsed = parse(arguments, first + 1, {"package"}, {}, 1);
      const std::optional<std::string> package = parsed.value("package");
      checkUrl(readConfiguration(parsed.operands[0]),
               package ? std::optional<std::filesystem::path>(*package) : std::nullopt, report,
               environment.sessionConfiguration);
      success = "the installer will download this package from its URL";
    } else {
      const ParsedArguments parsed = parse(arguments, first + 1, {"out"}, {"force"}, 2);
      const std::filesystem::path stamped =
          stampInstaller({.installer = parsed.operands[0],
                          .configuration = parsed.operands[1],
                          .outputFolder = parsed.required("out"),
                          .replace = parsed.flags.contains("force")},
                         report);
      report.set("output", stamped.string());
      success = "wrote " + stamped.string();
    }
  } catch (const UsageError& error) {
    environment.standardError << "vexa-release " << command << ": " << error.message << "\n\n"
                              << help->second;
    return 2;
  } catch (const std::exception& error) {
    // Refusals name their check; anything else (a file or tool error) is shown as the system
    // reports it, and counts as a refusal as well: nothing was written.
    refusal = error.what();
  }
  return report.finish(refusal, success);
}

}  // namespace vexa
