#include "config/install_configuration.h"

#include <algorithm>
#include <functional>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>

#include "config/installer_copy.h"
#include "config/installer_failure.h"
#include "platform/deployment_settings.h"

namespace vexa {
namespace {

using Json = nlohmann::json;

const Json& member(const Json& object, const char* name) {
  const auto found = object.find(name);
  if (found == object.end()) {
    throw ConfigurationDecodingError(std::string("The configuration member \"") + name +
                                     "\" is missing.");
  }
  return *found;
}

std::int64_t integerMember(const Json& object, const char* name) {
  const Json& value = member(object, name);
  if (value.is_number_integer()) {
    if (value.is_number_unsigned() &&
        value.get<std::uint64_t>() >
            static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      throw ConfigurationDecodingError(std::string("The configuration member \"") + name +
                                       "\" does not fit a signed 64-bit integer.");
    }
    return value.get<std::int64_t>();
  }
  if (value.is_number_float()) {
    // nlohmann stores integers beyond 64 bits as floating-point numbers.
    throw ConfigurationDecodingError(std::string("The configuration member \"") + name +
                                     "\" is not an integer that fits a signed 64-bit integer.");
  }
  throw ConfigurationDecodingError(std::string("The configuration member \"") + name +
                                   "\" must be a number, not " + value.type_name() + ".");
}

std::string stringMember(const Json& object, const char* name) {
  const Json& value = member(object, name);
  if (!value.is_string()) {
    throw ConfigurationDecodingError(std::string("The configuration member \"") + name +
                                     "\" must be a string, not " + value.type_name() + ".");
  }
  return value.get<std::string>();
}

// The patterns below are checked over the whole value, character by character: nothing may
// follow the last allowed character, not even a line feed (an engine whose "$" also matches before
// a final line feed would let "<token>\n" through into a request header).
bool allCharactersAre(std::string_view value, std::size_t minimum, std::size_t maximum,
                      bool (*allowed)(char)) {
  if (value.size() < minimum || value.size() > maximum) return false;
  return std::all_of(value.begin(), value.end(), allowed);
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isLowerHex(char c) { return isDigit(c) || (c >= 'a' && c <= 'f'); }
bool isTokenCharacter(char c) {
  return isDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '-';
}

// "0", or a digit 1 to 9 followed by any digits.
bool isPlainNumber(std::string_view text) {
  return !text.empty() && allCharactersAre(text, 1, text.size(), isDigit) &&
         (text == "0" || text[0] != '0');
}

// Three plain numbers separated by single dots: 1.4.0, not 1.04.0, 1.4 or v1.4.0.
bool isProductVersion(std::string_view text) {
  for (int part = 0; part < 3; ++part) {
    const std::size_t dot = text.find('.');
    if ((part < 2) == (dot == std::string_view::npos)) return false;
    if (!isPlainNumber(text.substr(0, dot))) return false;
    text = part < 2 ? text.substr(dot + 1) : std::string_view();
  }
  return true;
}

bool isOneOf(const std::string& value, std::initializer_list<std::string_view> allowed) {
  for (std::string_view candidate : allowed) {
    if (value == candidate) return true;
  }
  return false;
}

// The URL text holds nothing beyond scheme, host and path. The parser reports an empty port
// ("host:/") or an empty fragment ("….dmg#") as no component at all, so the rules on the parts
// alone would let such a text through; it is refused like any other port or fragment.
bool hasNothingHidden(const platform::Url& url) {
  return url.scheme() && url.host() &&
         url.text() == *url.scheme() + "://" + *url.host() + url.path();
}

}  // namespace

InstallConfiguration InstallConfiguration::decode(std::string_view json) {
  Json object;
  try {
    object = Json::parse(json);
  } catch (const Json::exception& error) {
    // Malformed text, and numbers beyond any floating-point range ("1e999"), which the parser
    // reports as out of range rather than as a parse error.
    throw ConfigurationDecodingError(std::string("The configuration is not valid JSON: ") +
                                     error.what());
  }
  if (!object.is_object()) {
    throw ConfigurationDecodingError(std::string("The configuration must be a JSON object, not ") +
                                     object.type_name() + ".");
  }
  InstallConfiguration configuration;
  configuration.schemaVersion = integerMember(object, "schemaVersion");
  configuration.environment = stringMember(object, "environment");
  configuration.ring = stringMember(object, "ring");
  configuration.arch = stringMember(object, "arch");
  configuration.appId = stringMember(object, "appId");
  configuration.productName = stringMember(object, "productName");
  configuration.productVersion = stringMember(object, "productVersion");
  configuration.applicationVersion = stringMember(object, "applicationVersion");
  configuration.buildNumber = integerMember(object, "buildNumber");
  configuration.gitSha = stringMember(object, "gitSha");
  configuration.teamId = stringMember(object, "teamId");
  const std::string url = stringMember(object, "installerURL");
  try {
    configuration.installerURL = platform::Url::parse(url);
  } catch (const platform::UrlParseError& error) {
    throw ConfigurationDecodingError(
        std::string("The configuration member \"installerURL\" is not a URL: ") + error.what());
  }
  configuration.sizeBytes = integerMember(object, "sizeBytes");
  configuration.sha256 = stringMember(object, "sha256");
  configuration.downloadToken = stringMember(object, "downloadToken");
  return configuration;
}

std::string InstallConfiguration::encode() const {
  const Json object = {
      {"schemaVersion", schemaVersion},
      {"environment", environment},
      {"ring", ring},
      {"arch", arch},
      {"appId", appId},
      {"productName", productName},
      {"productVersion", productVersion},
      {"applicationVersion", applicationVersion},
      {"buildNumber", buildNumber},
      {"gitSha", gitSha},
      {"teamId", teamId},
      {"installerURL", installerURL.text()},
      {"sizeBytes", sizeBytes},
      {"sha256", sha256},
      {"downloadToken", downloadToken},
  };
  return object.dump();
}

std::string InstallConfiguration::expectedApplicationVersion() const {
  if (ring == "stable") return productVersion;
  return productVersion + "-" + ring + "." + std::to_string(buildNumber);
}

std::string InstallConfiguration::stagingApplicationVersion() const {
  return productVersion + "-staging." + std::to_string(buildNumber);
}

std::string_view InstallConfiguration::expectedHost() const {
  return isStaging() ? DeploymentSettings::stagingDownloadHost
                     : DeploymentSettings::productionDownloadHost;
}

std::string InstallConfiguration::expectedPath() const {
  return "/vexa/" + environment + "/" + ring + "/mac/releases/" + productVersion + "-build-" +
         std::to_string(buildNumber) + "-" + arch + ".dmg";
}

std::optional<std::string> InstallConfiguration::firstBrokenRule() const {
  const bool staging = isStaging();
  const platform::Url& url = installerURL;
  const auto quoted = [](std::string_view text) { return "\"" + std::string(text) + "\""; };
  // One entry per rule, in the order validate() has always checked them.
  const std::pair<bool, std::function<std::string()>> rules[] = {
      {schemaVersion == 1,
       [&] { return "schemaVersion is " + std::to_string(schemaVersion) + "; it must be 1"; }},
      {isOneOf(environment, {"staging", "production"}),
       [&] {
         return "environment is " + quoted(environment) + "; it must be staging or production";
       }},
      {isOneOf(ring, {"alpha", "beta", "rc", "stable"}),
       [&] { return "ring is " + quoted(ring) + "; it must be alpha, beta, rc or stable"; }},
      {isOneOf(arch, {"arm64", "x64"}),
       [&] { return "arch is " + quoted(arch) + "; it must be arm64 or x64"; }},
      {appId == (staging ? "dev.plovik.desktop.staging" : "dev.plovik.desktop"),
       [&] {
         return "appId is " + quoted(appId) + "; the " + environment + " environment requires " +
                quoted(staging ? "dev.plovik.desktop.staging" : "dev.plovik.desktop");
       }},
      {productName == (staging ? "Vexa Staging" : "Vexa"),
       [&] {
         return "productName is " + quoted(productName) + "; the " + environment +
                " environment requires " + quoted(staging ? "Vexa Staging" : "Vexa");
       }},
      {isProductVersion(productVersion),
       [&] {
         return "productVersion is " + quoted(productVersion) +
                "; it must be three numbers without leading zeros, such as 1.4.0";
       }},
      {applicationVersion == expectedApplicationVersion() ||
           (staging && applicationVersion == stagingApplicationVersion()),
       [&] {
         return "applicationVersion is " + quoted(applicationVersion) + "; ring " + ring +
                " requires " + quoted(expectedApplicationVersion()) +
                (staging ? " or " + quoted(stagingApplicationVersion()) : "");
       }},
      {buildNumber > 0,
       [&] { return "buildNumber is " + std::to_string(buildNumber) + "; it must be at least 1"; }},
      {sizeBytes > 0 && sizeBytes <= 4294967296,
       [&] {
         return "sizeBytes is " + std::to_string(sizeBytes) +
                "; it must be between 1 and 4294967296";
       }},
      {allCharactersAre(sha256, 64, 64, isLowerHex),
       [&] { return "sha256 is " + quoted(sha256) + "; it must be 64 lower-case hex digits"; }},
      {allCharactersAre(gitSha, 40, 40, isLowerHex),
       [&] { return "gitSha is " + quoted(gitSha) + "; it must be 40 lower-case hex digits"; }},
      {teamId == "QX7RZ2M4KD",
       [&] {
         return "teamId is " + quoted(teamId) + "; the only accepted team is \"QX7RZ2M4KD\"";
       }},
      {url.scheme() == "https",
       [&] { return "installerURL " + quoted(url.text()) + " must use the https scheme"; }},
      {url.host() && *url.host() == expectedHost(),
       [&] {
         return "installerURL " + quoted(url.text()) + " must be on the " + environment +
                " download host " + quoted(expectedHost());
       }},
      {!url.port(), [&] { return "installerURL " + quoted(url.text()) + " must not name a port"; }},
      {!url.user() && !url.password() && !url.query() && !url.fragment(),
       [&] {
         return "installerURL " + quoted(url.text()) +
                " must carry no user, password, query or fragment";
       }},
      {url.path() == expectedPath(),
       [&] {
         return "installerURL " + quoted(url.text()) + " must have the path " +
                quoted(expectedPath());
       }},
      {hasNothingHidden(url),
       [&] {
         return "installerURL " + quoted(url.text()) + " must hold only scheme, host and path";
       }},
      {staging ? allCharactersAre(downloadToken, 32, 256, isTokenCharacter) : downloadToken.empty(),
       [&] {
         return staging ? std::string(
                              "downloadToken must be 32 to 256 letters, digits, _ or - "
                              "in the staging environment")
                        : std::string("downloadToken must be empty in the production environment");
       }},
  };
  for (const auto& [holds, description] : rules) {
    if (!holds) return description();
  }
  return std::nullopt;
}

void InstallConfiguration::validate() const {
  if (firstBrokenRule()) {
    throw InstallerFailure(
        InstallerCopy::text("安装器配置无效，请重新下载。",
                            "The installer configuration is invalid. Download it again."));
  }
}

}  // namespace vexa
