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

std::optional<std::string> VirtualDisplay::findWindow(const std::string& title,
                                                      int timeoutSeconds) const {
  // xdotool searches again until a window appears (--sync); timeout(1) bounds the wait.
  const ProgramResult found = runProgram(
      "/usr/bin/timeout",
      {"timeout", std::to_string(timeoutSeconds), "xdotool", "search", "--sync", "--name", title},
      {{"DISPLAY", name_}});
  if (found.exitStatus != 0 || found.standardOutput.empty()) return std::nullopt;
  return found.standardOutput.substr(0, found.standardOutput.find('\n'));
}

void VirtualDisplay::pressKey(const std::string& window, const std::string& key) const {
  (void)runProgram("/usr/bin/xdotool", {"xdotool", "windowfocus", "--sync", window, "key", key},
                   {{"DISPLAY", name_}});
}

void VirtualDisplay::click(const std::string& window, int x, int y) const {
  (void)runProgram("/usr/bin/xdotool",
                   {"xdotool", "mousemove", "--window", window, std::to_string(x),
                    std::to_string(y), "click", "1"},
                   {{"DISPLAY", name_}});
}

}  // namespace vexa::testing
