#include "config/install_configuration.h"

#include <gtest/gtest.h>

#include <functional>
#include <nlohmann/json.hpp>

#include "config/installer_failure.h"
#include "platform/deployment_settings.h"
#include "tests/support/configuration_samples.h"
#include "tests/support/temporary_directory.h"

namespace vexa {
namespace {

using testing::validProductionConfiguration;
using testing::validStagingConfiguration;

const std::string kInvalidMessage = "The installer configuration is invalid. Download it again.";

class InstallConfigurationTest : public ::testing::Test {
 protected:
  testing::ScopedEnvironment environment_{{"LANGUAGE", "en"}};
};

std::string productionUrl(const std::string& tail) {
  return "https://" + std::string(DeploymentSettings::productionDownloadHost) + tail;
}
const std::string kProductionPath = "/vexa/production/beta/mac/releases/1.4.0-build-57-x64.dmg";

// Changes the product version everywhere it appears, so that only the version rule can object.
void setProductVersion(InstallConfiguration& c, const std::string& version) {
  c.productVersion = version;
  c.applicationVersion = version + "-beta.57";
  c.installerURL = platform::Url::parse(
      productionUrl("/vexa/production/beta/mac/releases/" + version + "-build-57-x64.dmg"));
}

struct Case {
  const char* name;
  bool staging;  // start from the staging sample instead of the production one
  std::function<void(InstallConfiguration&)> change;
  bool valid;
};

// Each case changes one thing; the configuration then passes or fails with the one message.
const Case kCases[] = {
    {"production sample", false, [](InstallConfiguration&) {}, true},
    {"staging sample", true, [](InstallConfiguration&) {}, true},
    {"schema 2", false, [](auto& c) { c.schemaVersion = 2; }, false},
    {"environment Production", false, [](auto& c) { c.environment = "Production"; }, false},
    {"ring nightly", false, [](auto& c) { c.ring = "nightly"; }, false},
    {"arch x86_64", false, [](auto& c) { c.arch = "x86_64"; }, false},
    {"staging app id in production", false, [](auto& c) { c.appId = "dev.plovik.desktop.staging"; },
     false},
    {"staging name in production", false, [](auto& c) { c.productName = "Vexa Staging"; }, false},
    {"version 1.02.3", false, [](auto& c) { setProductVersion(c, "1.02.3"); }, false},
    {"version 1.2", false, [](auto& c) { setProductVersion(c, "1.2"); }, false},
    {"version v1.2.3", false, [](auto& c) { setProductVersion(c, "v1.2.3"); }, false},
    {"version 1.4.0.1", false, [](auto& c) { setProductVersion(c, "1.4.0.1"); }, false},
    {"version 1.4.", false, [](auto& c) { setProductVersion(c, "1.4."); }, false},
    {"version 01.4.0", false, [](auto& c) { setProductVersion(c, "01.4.0"); }, false},
    {"version with trailing line feed", false, [](auto& c) { c.productVersion = "1.4.0\n"; },
     false},
    {"version 10.0.0", false, [](auto& c) { setProductVersion(c, "10.0.0"); }, true},
    {"version 0.0.0", false, [](auto& c) { setProductVersion(c, "0.0.0"); }, true},
    {"application version of another build", false,
     [](auto& c) { c.applicationVersion = "1.4.0-beta.58"; }, false},
    {"staging form in production", false,
     [](auto& c) { c.applicationVersion = "1.4.0-staging.57"; }, false},
    {"staging form in staging", true, [](auto& c) { c.applicationVersion = "2.0.1-staging.9"; },
     true},
    {"stable ring takes the bare version", false,
     [](auto& c) {
       c.ring = "stable";
       c.applicationVersion = "1.4.0";
       c.installerURL = platform::Url::parse(
           productionUrl("/vexa/production/stable/mac/releases/1.4.0-build-57-x64.dmg"));
     },
     true},
    {"stable ring refuses the ring form", false,
     [](auto& c) {
       c.ring = "stable";
       c.applicationVersion = "1.4.0-stable.57";
       c.installerURL = platform::Url::parse(
           productionUrl("/vexa/production/stable/mac/releases/1.4.0-build-57-x64.dmg"));
     },
     false},
    {"build 0", false, [](auto& c) { c.buildNumber = 0; }, false},
    {"size 0", false, [](auto& c) { c.sizeBytes = 0; }, false},
    {"size 4 GiB", false, [](auto& c) { c.sizeBytes = 4294967296; }, true},
    {"size 4 GiB + 1", false, [](auto& c) { c.sizeBytes = 4294967297; }, false},
    {"upper-case digest", false, [](auto& c) { c.sha256[0] = 'A'; }, false},
    {"digest of 63 digits", false, [](auto& c) { c.sha256.pop_back(); }, false},
    {"digest with trailing line feed", false, [](auto& c) { c.sha256 += "\n"; }, false},
    {"git sha of 41 digits", false, [](auto& c) { c.gitSha += "0"; }, false},
    {"other team", false, [](auto& c) { c.teamId = "L3W8N5T1VB"; }, false},
    {"http", false,
     [](auto& c) {
       c.installerURL = platform::Url::parse(
           "http://" + std::string(DeploymentSettings::productionDownloadHost) + kProductionPath);
     },
     false},
    {"port 443", false,
     [](auto& c) {
       c.installerURL = platform::Url::parse(
           "https://" + std::string(DeploymentSettings::productionDownloadHost) + ":443" +
           kProductionPath);
     },
     false},
    {"query", false,
     [](auto& c) {
       c.installerURL = platform::Url::parse(productionUrl(kProductionPath + "?a=1"));
     },
     false},
    {"fragment", false,
     [](auto& c) {
       c.installerURL = platform::Url::parse(productionUrl(kProductionPath + "#top"));
     },
     false},
    // The parser reports these empty components as absent; the text still carries them.
    {"empty port", false,
     [](auto& c) { c.installerURL = platform::Url::parse(productionUrl(":" + kProductionPath)); },
     false},
    {"empty query", false,
     [](auto& c) { c.installerURL = platform::Url::parse(productionUrl(kProductionPath + "?")); },
     false},
    {"empty fragment", false,
     [](auto& c) { c.installerURL = platform::Url::parse(productionUrl(kProductionPath + "#")); },
     false},
    {"empty user information", false,
     [](auto& c) {
       c.installerURL = platform::Url::parse(
           "https://@" + std::string(DeploymentSettings::productionDownloadHost) + kProductionPath);
     },
     false},
    {"user information", false,
     [](auto& c) {
       c.installerURL = platform::Url::parse(
           "https://user:pw@" + std::string(DeploymentSettings::productionDownloadHost) +
           kProductionPath);
     },
     false},
    {"staging host in production", false,
     [](auto& c) {
       c.installerURL = platform::Url::parse(
           "https://" + std::string(DeploymentSettings::stagingDownloadHost) + kProductionPath);
     },
     false},
    {"production host in staging", true,
     [](auto& c) {
       c.installerURL = platform::Url::parse(
           "https://" + std::string(DeploymentSettings::productionDownloadHost) +
           "/vexa/staging/beta/mac/releases/2.0.1-build-9-arm64.dmg");
     },
     false},
    {"path of another build", false,
     [](auto& c) {
       c.installerURL = platform::Url::parse(
           productionUrl("/vexa/production/beta/mac/releases/1.4.0-build-58-x64.dmg"));
     },
     false},
    {"relative URL", false, [](auto& c) { c.installerURL = platform::Url::parse(kProductionPath); },
     false},
    {"token in production", false, [](auto& c) { c.downloadToken = std::string(32, 'a'); }, false},
    {"token of 31 in staging", true, [](auto& c) { c.downloadToken = std::string(31, 'a'); },
     false},
    {"token of 32 in staging", true, [](auto& c) { c.downloadToken = std::string(32, 'a'); }, true},
    {"token of 256 in staging", true, [](auto& c) { c.downloadToken = std::string(256, 'Z'); },
     true},
    {"token of 257 in staging", true, [](auto& c) { c.downloadToken = std::string(257, 'Z'); },
     false},
    {"token with a dot", true, [](auto& c) { c.downloadToken = std::string(31, 'a') + "."; },
     false},
    // A token that ends in a line feed must never reach a request header.
    {"token with trailing line feed", true,
     [](auto& c) { c.downloadToken = std::string(32, 'a') + "\n"; }, false},
    {"empty token in staging", true, [](auto& c) { c.downloadToken = ""; }, false},
};

TEST_F(InstallConfigurationTest, Validate_AcceptsOrRefusesEachRule) {
  for (const Case& testCase : kCases) {
    InstallConfiguration configuration =
        testCase.staging ? validStagingConfiguration() : validProductionConfiguration();
    testCase.change(configuration);
    if (testCase.valid) {
      EXPECT_NO_THROW(configuration.validate()) << testCase.name;
      continue;
    }
    try {
      configuration.validate();
      ADD_FAILURE() << testCase.name << ": accepted";
    } catch (const InstallerFailure& failure) {
      EXPECT_EQ(failure.what(), kInvalidMessage) << testCase.name;
      EXPECT_EQ(failure.reason(), InstallerFailureReason::general) << testCase.name;
    }
  }
}

TEST_F(InstallConfigurationTest, Validate_SpeaksChineseToChineseUsers) {
  testing::ScopedEnvironment chinese{{"LANGUAGE", "zh_CN"}};
  InstallConfiguration configuration = validProductionConfiguration();
  configuration.schemaVersion = 0;
  try {
    configuration.validate();
    FAIL() << "accepted";
  } catch (const InstallerFailure& failure) {
    EXPECT_STREQ(failure.what(), "安装器配置无效，请重新下载。");
  }
}

TEST_F(InstallConfigurationTest, Decode_RoundTripsTheEncodedForm) {
  const InstallConfiguration original = validStagingConfiguration();
  const InstallConfiguration decoded = InstallConfiguration::decode(original.encode());
  EXPECT_EQ(decoded, original);
  EXPECT_NO_THROW(decoded.validate());
  EXPECT_EQ(nlohmann::json::parse(original.encode()).size(), 15u);
}

TEST_F(InstallConfigurationTest, Decode_IgnoresExtraMembers) {
  nlohmann::json object = nlohmann::json::parse(validProductionConfiguration().encode());
  object["preview"] = true;
  EXPECT_EQ(InstallConfiguration::decode(object.dump()), validProductionConfiguration());
}

TEST_F(InstallConfigurationTest, Decode_RefusesWithADescriptionNamingTheProblem) {
  const nlohmann::json valid = nlohmann::json::parse(validProductionConfiguration().encode());
  struct DecodeCase {
    const char* name;
    std::function<std::string()> text;
    const char* mentions;
  };
  const DecodeCase cases[] = {
      {"missing gitSha",
       [&] {
         auto o = valid;
         o.erase("gitSha");
         return o.dump();
       },
       "\"gitSha\""},
      {"build as text",
       [&] {
         auto o = valid;
         o["buildNumber"] = "57";
         return o.dump();
       },
       "\"buildNumber\""},
      {"token as number",
       [&] {
         auto o = valid;
         o["downloadToken"] = 5;
         return o.dump();
       },
       "\"downloadToken\""},
      {"size as fraction",
       [&] {
         auto o = valid;
         o["sizeBytes"] = 1.5;
         return o.dump();
       },
       "\"sizeBytes\""},
      {"size beyond 64 bits",
       [&] {
         auto text = valid.dump();
         auto at = text.find("1048576");
         return text.replace(at, 7, "18446744073709551616");
       },
       "\"sizeBytes\""},
      {"size just beyond signed 64 bits",
       [&] {
         auto text = valid.dump();
         auto at = text.find("1048576");
         return text.replace(at, 7, "9223372036854775808");
       },
       "\"sizeBytes\""},
      {"URL with a space",
       [&] {
         auto o = valid;
         o["installerURL"] = "https://a b/";
         return o.dump();
       },
       "\"installerURL\""},
      {"malformed JSON", [&] { return valid.dump().substr(0, 40); }, "JSON"},
      {"number beyond any double", [] { return std::string(R"({"schemaVersion": 1e999})"); },
       "JSON"},
      {"an array", [] { return std::string("[]"); }, "object"},
  };
  for (const DecodeCase& testCase : cases) {
    try {
      (void)InstallConfiguration::decode(testCase.text());
      ADD_FAILURE() << testCase.name << ": decoded";
    } catch (const ConfigurationDecodingError& error) {
      EXPECT_NE(std::string(error.what()).find(testCase.mentions), std::string::npos)
          << testCase.name << ": " << error.what();
    }
  }
}

TEST_F(InstallConfigurationTest, Decode_KeepsTheLargestSigned64BitInteger) {
  nlohmann::json object = nlohmann::json::parse(validProductionConfiguration().encode());
  object["buildNumber"] = 9223372036854775807LL;
  EXPECT_EQ(InstallConfiguration::decode(object.dump()).buildNumber, 9223372036854775807LL);
}

}  // namespace
}  // namespace vexa
