#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/program_run.h"

namespace vexa::testing {

// A private X server (Xvfb) for tests that need real windows, with xdotool to find them and send
// keys and clicks. The server picks a free display number itself (-displayfd); it is killed when
// the object goes, or with the test process however that ends (it runs as a BackgroundProgram, and
// the shell that starts it execs it, so the kill reaches the server itself). Not thread-safe.
class VirtualDisplay {
 public:
  VirtualDisplay();

  // ":N", for the DISPLAY variable of the programs under test.
  [[nodiscard]] const std::string& name() const { return name_; }

  // Runs xdotool with `arguments` on this display for at most `timeoutSeconds` ("windowfocus
  // --sync ID key Return", "mousemove --window ID X Y click 1"); the first line it prints, nullopt
  // when it fails or prints nothing.
  std::optional<std::string> xdotool(const std::vector<std::string>& arguments,
                                     int timeoutSeconds = 20) const;
  // The id of the first window whose title matches `title` (a regular expression), waiting up
  // to `timeoutSeconds`; nullopt when none appears.
  [[nodiscard]] std::optional<std::string> findWindow(const std::string& title,
                                                      int timeoutSeconds = 20) const {
    return xdotool({"search", "--sync", "--name", title}, timeoutSeconds);
  }

 private:
  std::unique_ptr<BackgroundProgram> server_;
  std::string name_;
};

}  // namespace vexa::testing
