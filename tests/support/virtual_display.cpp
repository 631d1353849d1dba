#include "tests/support/virtual_display.h"

#include <stdexcept>

namespace vexa::testing {

VirtualDisplay::VirtualDisplay() {
  // Xvfb writes its display number to standard output once it accepts connections.
  server_ = std::make_unique<BackgroundProgram>(
      "/bin/sh",
      std::vector<std::string>{
          "sh", "-c", "exec Xvfb -displayfd 1 -nolisten tcp -screen 0 1280x800x24 2>/dev/null"});
  const std::optional<std::string> number = server_->readLine(20000);
  if (!number || number->empty()) throw std::runtime_error("Xvfb did not start");
  name_ = ":" + *number;
}

std::optional<std::string> VirtualDisplay::xdotool(const std::vector<std::string>& arguments,
                                                   int timeoutSeconds) const {
  // timeout(1) bounds commands that wait, such as a search that repeats until a window appears.
  std::vector<std::string> command{"timeout", std::to_string(timeoutSeconds), "xdotool"};
  command.insert(command.end(), arguments.begin(), arguments.end());
  const ProgramResult result = runProgram("/usr/bin/timeout", command, {{"DISPLAY", name_}});
  if (result.exitStatus != 0 || result.standardOutput.empty()) return std::nullopt;
  return result.standardOutput.substr(0, result.standardOutput.find('\n'));
}

}  // namespace vexa::testing
