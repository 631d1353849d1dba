// configuration.json as shipped in the bundle: decoding, validation and the values derived from a
// valid configuration. Bad input may only end in ConfigurationDecodingError or InstallerFailure.
#include <cstdint>
#include <string_view>

#include "config/install_configuration.h"
#include "config/installer_failure.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  vexa::InstallConfiguration configuration;
  try {
    configuration = vexa::InstallConfiguration::decode(bytes);
  } catch (const vexa::ConfigurationDecodingError&) {
    return 0;
  }
  // What encode() writes, decode() must read back unchanged.
  FUZZ_CHECK(vexa::InstallConfiguration::decode(configuration.encode()) == configuration);

  try {
    configuration.validate();
  } catch (const vexa::InstallerFailure&) {
    return 0;
  }
  (void)configuration.expectedApplicationVersion();
  (void)configuration.stagingApplicationVersion();
  (void)configuration.expectedHost();
  (void)configuration.expectedPath();
  return 0;
}
