#include "config/install_configuration.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "config/installer_failure.h"
#include "platform/deployment_settings.h"
#include "tests/support/configuration_samples.h"
#include "tests/support/temporary_directory.h"

namespace vexa {
namespace {

using nlohmann::json;
using testing::validProductionConfiguration;
using testing::validStagingConfiguration;

const std::string kInvalidMessage = "The installer configuration is invalid. Download it again.";
// Each case patches one rule into a valid sample (1: the staging one); it then passes or fails with
// the one message. "$P"/"$S" stand for the download hosts, "$R" for the releases folder, "$F" for
// the sample's package in it, "version" for the product version wherever it appears, and a number
// for a token of that many characters.
TEST(InstallConfigurationTest, Validate_AcceptsOrRefusesEachRule) {
  testing::ScopedEnvironment english{{"LANGUAGE", "en"}};
  std::string table = R"([
    [0, {}, true], [1, {}, true], [0, {"schemaVersion": 2}, false], [0, {"ring": "nightly"}, false],
    [0, {"environment": "Production"}, false], [0, {"arch": "x86_64"}, false],
    [0, {"appId": "dev.plovik.desktop.staging"}, false], [0, {"productName": "Vexa Staging"}, false],
    [0, {"version": "1.4.0.1"}, false], [0, {"version": "01.4.0"}, false], [0, {"version": "0.0.0"}, true],
    [0, {"applicationVersion": "1.4.0-beta.58"}, false], [0, {"applicationVersion": "1.4.0-staging.57"}, false],
    [1, {"applicationVersion": "2.0.1-staging.9"}, true],
    [0, {"ring": "stable", "applicationVersion": "1.4.0", "installerURL": "https://$P/vexa/production/stable/mac/releases/1.4.0-build-57-x64.dmg"}, true],
    [0, {"buildNumber": 0}, false], [0, {"sizeBytes": 4294967296}, true], [0, {"sizeBytes": 4294967297}, false],
    [0, {"gitSha": "0123456789abcdef0123456789abcdef012345670"}, false], [0, {"teamId": "L3W8N5T1VB"}, false],
    [0, {"sha256": "A123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef"}, false],
    [0, {"installerURL": "http://$P$F"}, false], [0, {"installerURL": "https://$P:443$F"}, false],
    [0, {"installerURL": "https://$P:$F"}, false], [0, {"installerURL": "https://user:pw@$P$F"}, false],
    [0, {"installerURL": "https://$S$F"}, false], [0, {"installerURL": "https://$P$R1.4.0-build-58-x64.dmg"}, false],
    [0, {"downloadToken": 32}, false], [1, {"downloadToken": 31}, false], [1, {"downloadToken": 256}, true],
    [1, {"downloadToken": 257}, false], [1, {"downloadToken": "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa."}, false]
  ])";
  for (const auto& [token, value] :
       {std::pair{"$P", DeploymentSettings::productionDownloadHost},
        {"$S", DeploymentSettings::stagingDownloadHost},
        {"$F", std::string_view("$R1.4.0-build-57-x64.dmg")},
        {"$R", std::string_view("/vexa/production/beta/mac/releases/")}}) {
    for (std::size_t at; (at = table.find(token)) != std::string::npos;)
      table.replace(at, 2, value);
  }
  for (const json& c : json::parse(table)) {
    json object = json::parse(
        (c[0] == 1 ? validStagingConfiguration() : validProductionConfiguration()).encode());
    json patch = c[1];
    if (patch.contains("version")) {
      const std::string v = patch["version"];
      std::string url = object["installerURL"];
      patch = {{"productVersion", v},
               {"applicationVersion", v + "-beta.57"},
               {"installerURL", url.replace(url.find("1.4.0"), 5, v)}};
    }
    if (patch.contains("downloadToken") && patch["downloadToken"].is_number())
      patch["downloadToken"] = std::string(patch["downloadToken"].get<std::size_t>(), 'Z');
    object.merge_patch(patch);
    const InstallConfiguration configuration = InstallConfiguration::decode(object.dump());
    EXPECT_EQ(testing::failureMessage<InstallerFailure>([&] { configuration.validate(); }),
              c[2] ? "" : kInvalidMessage)
        << c.dump();
  }
}

TEST(InstallConfigurationTest, Decode_RoundTripsOrRefusesWithADescriptionNamingTheProblem) {
  // Extra members are ignored and a build number may be as large as int64 allows.
  const InstallConfiguration original = validStagingConfiguration();
  json object = json::parse(original.encode());
  object["preview"] = true;
  EXPECT_EQ(InstallConfiguration::decode(object.dump()), original);
  object["buildNumber"] = 9223372036854775807LL;
  EXPECT_EQ(InstallConfiguration::decode(object.dump()).buildNumber, 9223372036854775807LL);
  const auto patched = [&](const json& patch) {
    json changed = object;
    changed.merge_patch(patch);
    return changed.dump();
  };
  const std::pair<std::string, const char*> cases[] = {
      {patched({{"gitSha", nullptr}}), "\"gitSha\""},
      {patched({{"sizeBytes", 9223372036854775808ULL}}), "\"sizeBytes\""},
      {patched({{"installerURL", "https://a b/"}}), "\"installerURL\""},
      {patched({{"installerURL", "https://a/b`c"}}), "\"installerURL\""},
      {R"({"schemaVersion": 1e999})", "JSON"},
      {"[]", "object"},
  };
  for (const auto& [text, mentions] : cases) {
    EXPECT_NE(testing::failureMessage<ConfigurationDecodingError>([&] {
                (void)InstallConfiguration::decode(text);
              }).find(mentions),
              std::string::npos)
        << text;
  }
}

}  // namespace
}  // namespace vexa
