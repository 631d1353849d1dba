// vexa-release: the publisher's tool (configure, check-url, stamp). See release_command_line.h.
#include <iostream>
#include <string>
#include <vector>

#include "platform/terminal.h"
#include "release/release_command_line.h"

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  return vexa::runReleaseTool(arguments,
                              {.standardOutput = std::cout,
                               .standardError = std::cerr,
                               .standardErrorIsTerminal = vexa::platform::standardErrorIsTerminal(),
                               .defaultInstaller = VEXA_BUNDLE_DIR});
}
