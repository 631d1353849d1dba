#include "install/bundle_verification.h"

#include <chrono>
#include <exception>
#include <functional>
#include <future>
#include <system_error>
#include <vector>

#include "config/installer_copy.h"
#include "platform/file_reading.h"
#include "platform/path_safety.h"

namespace vexa::NativeInstaller {
namespace {

InstallerFailure versionMismatch() {
  return InstallerFailure(
      InstallerCopy::text("应用版本不符。", "The application version does not match."));
}

// The value of `key` when it is text.
const std::string* textValue(const platform::PropertyListDictionary& info, std::string_view key) {
  auto found = info.find(key);
  if (found == info.end() || !found->second.isText()) return nullptr;
  return &found->second.text();
}

// Runs the tool checks of one bundle side by side and reports as if they had run one by one: the
// failure thrown is that of the first check in `checks` that failed. They only read the bundle,
// and codesign and spctl each hash all of it, so together they take about as long as one alone
// where there is more than one processor. The extra work after a failure is harmless: nothing
// is changed. When no thread can be had, the checks run in turn on this one.
void runChecks(const std::vector<std::function<void()>>& checks) {
  std::vector<std::future<void>> others;
  for (std::size_t index = 1; index < checks.size(); ++index) {
    try {
      others.push_back(std::async(std::launch::async, checks[index]));
    } catch (const std::system_error&) {
      others.push_back(std::async(std::launch::deferred, checks[index]));
    }
  }
  std::exception_ptr first;
  try {
    checks.front()();
  } catch (...) {
    first = std::current_exception();
  }
  for (std::future<void>& other : others) {
    // A deferred check runs only while no earlier one has failed, as in a sequential run.
    if (first && other.wait_for(std::chrono::seconds(0)) == std::future_status::deferred) continue;
    try {
      other.get();
    } catch (...) {
      if (!first) first = std::current_exception();
    }
  }
  if (first) std::rethrow_exception(first);
}

}  // namespace

platform::PropertyListDictionary metadata(const std::filesystem::path& path) {
  const auto invalid = [] {
    return InstallerFailure(
        InstallerCopy::text("应用信息无效。", "The application information is invalid."));
  };
  // One byte past the cap is enough to tell an oversized file from one of exactly that size.
  const std::string bytes = platform::readWholeFile(path / "Contents" / "Info.plist",
                                                    {.limit = platform::maxPropertyListBytes + 1});
  std::optional<platform::PropertyListDictionary> info;
  try {
    info = platform::asDictionary(platform::parsePropertyList(bytes));
  } catch (const platform::PropertyListLimitError&) {
    throw invalid();
  }
  if (!info) throw invalid();
  return std::move(*info);
}

std::string codeRequirement(const InstallConfiguration& configuration, bool legacyTeamClause) {
  std::string requirement =
      "=anchor apple generic and identifier \"" + configuration.appId + "\" and ";
  if (legacyTeamClause) {
    requirement += "(certificate leaf[subject.OU] = \"" + std::string(legacyTeams[0]) +
                   "\" or certificate leaf[subject.OU] = \"" + std::string(legacyTeams[1]) + "\")";
  } else {
    requirement += "certificate leaf[subject.OU] = \"" + configuration.teamId + "\"";
  }
  return requirement;
}

void verify(const std::filesystem::path& path, const InstallConfiguration& configuration,
            bool exactVersion, const VerificationServices& services) {
  if (!platform::resolvesToItself(path)) {
    throw InstallerFailure(
        InstallerCopy::text("应用路径无效。", "The application path is invalid."));
  }
  const platform::PropertyListDictionary info = metadata(path);
  const std::string* identifier = textValue(info, "CFBundleIdentifier");
  if (identifier == nullptr || *identifier != configuration.appId) {
    throw InstallerFailure(
        InstallerCopy::text("应用身份不符。", "The application identity does not match."));
  }

  bool legacyTeamClause = false;
  std::vector<std::function<void()>> checks;
  if (exactVersion) {
    if (const std::string* minimum = textValue(info, "LSMinimumSystemVersion")) {
      if (compareApplicationVersions(services.systemVersion(), *minimum) ==
          ComparisonResult::ascending) {
        throw InstallerFailure(InstallerCopy::text(
            "此版本需要更新的 macOS，请升级系统后重试。",
            "This version needs a newer macOS. Update the system, then retry."));
      }
    }
    if (!matchesPackagedVersion(info, configuration)) throw versionMismatch();
    const std::string* executable = textValue(info, "CFBundleExecutable");
    if (executable == nullptr || executable->empty() ||
        executable->find('/') != std::string::npos) {
      throw versionMismatch();
    }
    const std::string architecture = configuration.arch == "x64" ? "x86_64" : "arm64";
    checks.emplace_back([&services, &path, architecture, executable] {
      (void)run(services.tools.lipo, {(path / "Contents" / "MacOS" / *executable).string(),
                                      "-verify_arch", architecture});
    });
  } else {
    (void)InstalledApplicationVersion(info);
    const std::string* shortVersion = textValue(info, "CFBundleShortVersionString");
    legacyTeamClause = configuration.environment == "production" && shortVersion != nullptr &&
                       shortVersion->starts_with("0.");
  }

  const std::string requirement = codeRequirement(configuration, legacyTeamClause);
  checks.emplace_back([&services, &path, &requirement] {
    (void)run(services.tools.codesign,
              {"--verify", "--deep", "--strict", "-R", requirement, path.string()});
  });
  checks.emplace_back([&services, &path] {
    (void)run(services.tools.spctl, {"--assess", "--type", "execute", path.string()});
  });
  // In this order: lipo (exact form only), codesign, spctl.
  runChecks(checks);
}

bool matchesPackagedVersion(const platform::PropertyListDictionary& info,
                            const InstallConfiguration& configuration) {
  const std::string* shortVersion = textValue(info, "CFBundleShortVersionString");
  if (shortVersion == nullptr || *shortVersion != configuration.applicationVersion) return false;
  auto build = info.find("CFBundleVersion");
  const std::string buildText = build != info.end() ? build->second.description() : std::string();
  const std::optional<std::int64_t> number =
      productBuildNumber(buildText, configuration.environment);
  return number && *number == configuration.buildNumber;
}

std::optional<InstalledApplication> installedApplication(const std::filesystem::path& path,
                                                         const InstallConfiguration& configuration,
                                                         const VerificationServices& services) {
  // exists() follows a final link, answers false for a missing item and throws for an item it
  // cannot examine (a refused permission is not "nothing installed").
  if (!std::filesystem::exists(path)) return std::nullopt;
  verify(path, configuration, false, services);
  return InstalledApplication{path, InstalledApplicationVersion(metadata(path))};
}

}  // namespace vexa::NativeInstaller
