#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/url.h"

namespace vexa {

// A configuration.json that cannot be decoded: malformed JSON, a missing member, a member of the
// wrong JSON type, an integer outside the signed 64-bit range, or an installerURL that is not a
// URL. what() names the member and says what is wrong with it.
class ConfigurationDecodingError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The one description of what this installer installs, read from the bundle's configuration.json
// and handed by value to every subsystem. A plain immutable value: copies cross threads freely.
//
// decode() checks only the JSON shape; validate() decides whether the content names exactly one
// release the installer knows how to install. Both throw; neither has side effects.
struct InstallConfiguration {
  std::int64_t schemaVersion = 0;
  std::string environment;
  std::string ring;
  std::string arch;
  std::string appId;
  std::string productName;
  std::string productVersion;
  std::string applicationVersion;
  std::int64_t buildNumber = 0;
  std::string gitSha;
  std::string teamId;
  platform::Url installerURL;
  std::int64_t sizeBytes = 0;
  std::string sha256;
  std::string downloadToken;

  // Decodes the fifteen members (extra members are ignored). Throws ConfigurationDecodingError.
  [[nodiscard]] static InstallConfiguration decode(std::string_view json);
  // The same fifteen members as one compact JSON object.
  [[nodiscard]] std::string encode() const;

  // Checks every rule in order and throws the one InstallerFailure ("the installer configuration
  // is invalid") at the first that fails. Which rule failed is deliberately not reported.
  void validate() const;
  // The first rule validate() finds broken, as an English sentence that names the member and says
  // what it must be; nothing when every rule holds. For the publisher's tools: the installer itself
  // tells its user no more than that the configuration is invalid.
  [[nodiscard]] std::optional<std::string> firstBrokenRule() const;

  [[nodiscard]] bool isStaging() const { return environment == "staging"; }
  // productVersion, or productVersion-ring.build outside the stable ring.
  [[nodiscard]] std::string expectedApplicationVersion() const;
  // productVersion-staging.build, the second form staging accepts.
  [[nodiscard]] std::string stagingApplicationVersion() const;
  // The download host for this environment (a deployment setting).
  [[nodiscard]] std::string_view expectedHost() const;
  // /vexa/<environment>/<ring>/mac/releases/<productVersion>-build-<buildNumber>-<arch>.dmg
  [[nodiscard]] std::string expectedPath() const;

  bool operator==(const InstallConfiguration&) const = default;
};

}  // namespace vexa
