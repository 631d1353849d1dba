#include "tests/support/virtual_display.h"

#include <chrono>
#include <stdexcept>
#include <thread>

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

VirtualDisplay::~VirtualDisplay() = default;

std::optional<std::string> VirtualDisplay::findWindow(const std::string& title,
                                                      int timeoutSeconds) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  while (std::chrono::steady_clock::now() < deadline) {
    const ProgramResult result = runProgram(
        "/usr/bin/xdotool", {"xdotool", "search", "--name", title}, {{"DISPLAY", name_}});
    if (result.exitStatus == 0 && !result.standardOutput.empty()) {
      return result.standardOutput.substr(0, result.standardOutput.find('\n'));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return std::nullopt;
}

void VirtualDisplay::pressKey(const std::string& window, const std::string& key) const {
  (void)runProgram("/usr/bin/xdotool", {"xdotool", "windowfocus", "--sync", window, "key", key},
                   {{"DISPLAY", name_}});
}

}  // namespace vexa::testing
