// The stored telemetry identity ("identity.json"), which any process of the account may have
// written. Each input becomes that file in a private scratch folder; reading it may only end in
// std::system_error. A file that reads back must stay as it is, and adding a campaign identifier to
// it must keep the client identifier and read back the same.
#include <cstdint>
#include <string>
#include <system_error>

#include "fuzz_check.h"
#include "telemetry/installer_telemetry.h"
#include "tests/support/temporary_directory.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using vexa::testing::readFile;
  static const vexa::testing::TemporaryDirectory scratch;  // removed when the process ends
  const std::filesystem::path folder = scratch.path(), file = folder / "identity.json";
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  vexa::testing::writeFile(file, bytes);

  vexa::TelemetryIdentity stored;
  try {
    stored = vexa::InstallerTelemetry::identity(folder, std::nullopt);
  } catch (const std::system_error&) {
    FUZZ_CHECK(readFile(file) == bytes);  // a bad identity is never repaired or replaced
    FUZZ_CHECK(!std::filesystem::exists(folder / "identity.lock"));
    return 0;
  }
  FUZZ_CHECK(vexa::TelemetryIdentity::isClientIdentifier(stored.analyticsClientId));
  FUZZ_CHECK(!stored.attributionCid ||
             vexa::TelemetryIdentity::isCampaignIdentifier(*stored.attributionCid));
  FUZZ_CHECK(readFile(file) == bytes);
  if (stored.attributionCid) return 0;

  const vexa::TelemetryIdentity updated = vexa::InstallerTelemetry::identity(folder, "1234.5678");
  FUZZ_CHECK(updated.analyticsClientId == stored.analyticsClientId);
  FUZZ_CHECK(updated.attributionCid == "1234.5678");
  FUZZ_CHECK(vexa::InstallerTelemetry::identity(folder, std::nullopt) == updated);
  return 0;
}
