#pragma once

#include <exception>
#include <functional>
#include <string>
#include <string_view>

#include "config/install_configuration.h"

namespace vexa::testing {

// Configurations that pass validate(), built against the compiled-in download hosts.
// Production: ring beta, 1.4.0 build 57, x64, no token. Staging: ring beta, 2.0.1 build 9, arm64,
// a 32-character token.
[[nodiscard]] InstallConfiguration validProductionConfiguration();
[[nodiscard]] InstallConfiguration validStagingConfiguration();

// The same configuration describing a package of the given size and SHA-256 digest.
[[nodiscard]] InstallConfiguration withPackage(InstallConfiguration configuration,
                                               std::int64_t sizeBytes, const std::string& sha256);

// The SHA-256 of `content` as 64 lower-case hexadecimal digits, computed in one call (a reference
// that does not share the streaming code under test).
[[nodiscard]] std::string referenceSha256(std::string_view content);

// The message `call` fails with as a Failure, or "" when it returns.
template <typename Failure>
[[nodiscard]] std::string failureMessage(const std::function<void()>& call) {
  try {
    call();
  } catch (const Failure& failure) {
    return failure.what();
  }
  return "";
}

// The message of the exception `error` holds.
[[nodiscard]] inline std::string messageOf(const std::exception_ptr& error) {
  return failureMessage<std::exception>([&] { std::rethrow_exception(error); });
}

}  // namespace vexa::testing
