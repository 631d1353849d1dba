#include "telemetry/telemetry_identity.h"

#include <algorithm>
#include <nlohmann/json.hpp>

namespace vexa {
namespace {

constexpr std::size_t kMaximumCampaignLength = 36;

}  // namespace

// Both checks are whole-text matches written out by hand: a pattern engine whose "$" also matches
// before a final line feed would let "123.456\n" through.
bool TelemetryIdentity::isClientIdentifier(std::string_view text) {
  // [0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}
  constexpr std::string_view shape = "xxxxxxxx-xxxx-4xxx-vxxx-xxxxxxxxxxxx";
  if (text.size() != shape.size()) return false;
  for (std::size_t i = 0; i < shape.size(); ++i) {
    const char c = text[i];
    const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
    switch (shape[i]) {
      case 'x':
        if (!hex) return false;
        break;
      case 'v':
        if (c != '8' && c != '9' && c != 'a' && c != 'b') return false;
        break;
      default:
        if (c != shape[i]) return false;
    }
  }
  return true;
}

std::optional<TelemetryIdentity> TelemetryIdentity::parse(std::string_view bytes) {
  if (bytes.size() > maximumFileBytes) return std::nullopt;
  const nlohmann::json record = nlohmann::json::parse(bytes, nullptr, /*allow_exceptions=*/false);
  if (!record.is_object() || record.empty()) return std::nullopt;

  const auto schema = record.find("schema_version");
  const auto client = record.find("analytics_client_id");
  if (schema == record.end() || !schema->is_number_integer() || *schema != 1 ||
      client == record.end() || !client->is_string() ||
      !isClientIdentifier(client->get_ref<const std::string&>())) {
    return std::nullopt;
  }
  for (const auto& [name, value] : record.items()) {
    if (name != "schema_version" && name != "analytics_client_id" && name != "attribution_cid")
      return std::nullopt;
  }
  TelemetryIdentity identity{client->get<std::string>(), std::nullopt};
  if (const auto cid = record.find("attribution_cid"); cid != record.end()) {
    if (!cid->is_string() || !isCampaignIdentifier(cid->get_ref<const std::string&>()))
      return std::nullopt;
    identity.attributionCid = cid->get<std::string>();
  }
  return identity;
}

bool TelemetryIdentity::isCampaignIdentifier(std::string_view text) {
  // [0-9]+\.[0-9]+, at most 36 characters
  const std::size_t dot = text.find('.');
  const auto digits = [](std::string_view part) {
    return !part.empty() &&
           std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  return text.size() <= kMaximumCampaignLength && dot != std::string_view::npos &&
         digits(text.substr(0, dot)) && digits(text.substr(dot + 1));
}

}  // namespace vexa
