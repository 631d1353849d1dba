// The telemetry service's answer to a posted event. Whatever the body, the check returns a verdict;
// a confirmed receipt must really name the event and be within the size limit.
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string_view>

#include "fuzz_check.h"
#include "telemetry/installer_telemetry.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr std::string_view eventId = "0f8b5c1e-2d4a-4b6f-9e3c-7a1d2e3f4a5b";
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  const bool accepted = vexa::isAcceptedReceipt(202, body, eventId);
  FUZZ_CHECK(!vexa::isAcceptedReceipt(200, body, eventId));
  if (!accepted) return 0;
  FUZZ_CHECK(body.size() <= 2048);
  FUZZ_CHECK(!vexa::isAcceptedReceipt(202, body, "0f8b5c1e-2d4a-4b6f-9e3c-7a1d2e3f4a5c"));
  const auto receipt = nlohmann::json::parse(body, nullptr, /*allow_exceptions=*/false);
  FUZZ_CHECK(receipt.is_object() && receipt.value("event_id", std::string()) == eventId);
  return 0;
}
