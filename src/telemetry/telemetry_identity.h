#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vexa {

// The anonymous identity every telemetry event carries, as stored in "identity.json" of the
// telemetry folder: {"schema_version": 1, "analytics_client_id": <lower-case random v4 UUID>}
// plus, once one has been given, "attribution_cid": <digits.digits>. The client identifier never
// changes once written; the first campaign identifier ever stored wins. Created, validated and
// updated only by InstallerTelemetry::identity (installer_telemetry.h). Immutable value.
struct TelemetryIdentity {
  std::string analyticsClientId;
  std::optional<std::string> attributionCid;

  // The largest identity file accepted.
  static constexpr std::size_t maximumFileBytes = 4096;

  // The record held by the bytes of an identity file, or nothing when they are not an acceptable
  // record: more than 4096 bytes, not a non-empty JSON object, "schema_version" other than the
  // integer 1, a missing or malformed client identifier, a malformed campaign identifier, or any
  // other member. Pure; never throws for any input.
  [[nodiscard]] static std::optional<TelemetryIdentity> parse(std::string_view bytes);

  // Full matches only: a trailing line feed or any other extra character is not accepted.
  [[nodiscard]] static bool isClientIdentifier(std::string_view text);
  // At most 36 characters: digits, one dot, digits.
  [[nodiscard]] static bool isCampaignIdentifier(std::string_view text);

  bool operator==(const TelemetryIdentity&) const = default;
};

}  // namespace vexa
