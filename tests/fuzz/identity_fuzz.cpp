// The stored telemetry identity ("identity.json"), which any process of the account may have
// written. Each input becomes that file in a private scratch folder; reading it may only end in
// std::system_error. A file that reads back must stay as it is, and adding a campaign identifier to
// it must keep the client identifier and read back the same.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>

#include "fuzz_check.h"
#include "telemetry/installer_telemetry.h"

namespace {

// One scratch folder per process, removed when the process ends normally.
class ScratchFolder {
 public:
  ScratchFolder() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "vexa-identity-fuzz-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      std::perror("mkdtemp");
      std::abort();
    }
    path_ = pattern;
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  [[nodiscard]] const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

std::string contents(const std::filesystem::path& file) {
  std::ifstream stream(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const ScratchFolder scratch;
  const std::filesystem::path folder = scratch.path();
  const std::filesystem::path file = folder / "identity.json";
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  {
    std::ofstream stream(file, std::ios::binary | std::ios::trunc);
    stream.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    FUZZ_CHECK(stream.good());
  }

  vexa::TelemetryIdentity stored;
  try {
    stored = vexa::InstallerTelemetry::identity(folder, std::nullopt);
  } catch (const std::system_error&) {
    FUZZ_CHECK(contents(file) == bytes);  // a bad identity is never repaired or replaced
    FUZZ_CHECK(!std::filesystem::exists(folder / "identity.lock"));
    return 0;
  }
  FUZZ_CHECK(vexa::TelemetryIdentity::isClientIdentifier(stored.analyticsClientId));
  FUZZ_CHECK(!stored.attributionCid ||
             vexa::TelemetryIdentity::isCampaignIdentifier(*stored.attributionCid));
  FUZZ_CHECK(contents(file) == bytes);
  if (stored.attributionCid) return 0;

  const vexa::TelemetryIdentity updated = vexa::InstallerTelemetry::identity(folder, "1234.5678");
  FUZZ_CHECK(updated.analyticsClientId == stored.analyticsClientId);
  FUZZ_CHECK(updated.attributionCid == "1234.5678");
  FUZZ_CHECK(vexa::InstallerTelemetry::identity(folder, std::nullopt) == updated);
  return 0;
}
