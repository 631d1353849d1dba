#include "tests/support/configuration_samples.h"

#include <openssl/evp.h>

#include <cstdio>

#include "platform/deployment_settings.h"

namespace vexa::testing {

InstallConfiguration validProductionConfiguration() {
  InstallConfiguration configuration;
  configuration.schemaVersion = 1;
  configuration.environment = "production";
  configuration.ring = "beta";
  configuration.arch = "x64";
  configuration.appId = "dev.plovik.desktop";
  configuration.productName = "Vexa";
  configuration.productVersion = "1.4.0";
  configuration.applicationVersion = "1.4.0-beta.57";
  configuration.buildNumber = 57;
  configuration.gitSha = "0123456789abcdef0123456789abcdef01234567";
  configuration.teamId = "QX7RZ2M4KD";
  configuration.installerURL =
      platform::Url::parse("https://" + std::string(DeploymentSettings::productionDownloadHost) +
                           "/vexa/production/beta/mac/releases/1.4.0-build-57-x64.dmg");
  configuration.sizeBytes = 1048576;
  configuration.sha256 = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
  configuration.downloadToken = "";
  return configuration;
}

InstallConfiguration validStagingConfiguration() {
  InstallConfiguration configuration = validProductionConfiguration();
  configuration.environment = "staging";
  configuration.appId = "dev.plovik.desktop.staging";
  configuration.productName = "Vexa Staging";
  configuration.productVersion = "2.0.1";
  configuration.applicationVersion = "2.0.1-beta.9";
  configuration.buildNumber = 9;
  configuration.arch = "arm64";
  configuration.installerURL =
      platform::Url::parse("https://" + std::string(DeploymentSettings::stagingDownloadHost) +
                           "/vexa/staging/beta/mac/releases/2.0.1-build-9-arm64.dmg");
  configuration.downloadToken = "abcdefghijklmnopqrstuvwxyz_-0123";
  return configuration;
}

InstallConfiguration withPackage(InstallConfiguration configuration, std::int64_t sizeBytes,
                                 const std::string& sha256) {
  configuration.sizeBytes = sizeBytes;
  configuration.sha256 = sha256;
  return configuration;
}

std::string referenceSha256(std::string_view content) {
  unsigned char digest[32];
  unsigned int length = 0;
  EVP_Digest(content.data(), content.size(), digest, &length, EVP_sha256(), nullptr);
  char text[65];
  for (int i = 0; i < 32; ++i) std::snprintf(text + 2 * i, 3, "%02x", digest[i]);
  return std::string(text, 64);
}

}  // namespace vexa::testing
