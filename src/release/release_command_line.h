#pragma once

#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "platform/url_session.h"

namespace vexa {

// Streams and settings of one run of the release tool, so that tests can run it in-process.
struct ReleaseToolEnvironment {
  std::ostream& standardOutput;
  std::ostream& standardError;
  bool standardErrorIsTerminal = false;
  // The installer bundle `configure` judges packages with when --installer is not given: the one
  // this build made.
  std::filesystem::path defaultInstaller;
  // Sessions of check-url: the installer's default, this build's deployment settings.
  std::function<platform::UrlSessionConfiguration()> sessionConfiguration =
      &platform::UrlSessionConfiguration::ephemeral;
};

// The whole tool: `arguments` without the program name ("configure", "PACKAGE", "--url", ...).
// Returns the exit status: 0 done, 1 refused (the refusal or the failed checks are printed; nothing
// was written), 2 a usage error (the usage is printed on standard error). Other failures (a file
// that cannot be read, a tool that cannot be started) are refusals too, with the system's text.
// Main thread only.
[[nodiscard]] int runReleaseTool(const std::vector<std::string>& arguments,
                                 const ReleaseToolEnvironment& environment);

}  // namespace vexa
