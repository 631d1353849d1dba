#pragma once

#include <memory>
#include <optional>
#include <string>

#include "tests/support/program_run.h"

namespace vexa::testing {

// A private X server (Xvfb) for tests that need real windows, with xdotool to find them and send
// keys. The server picks a free display number itself (-displayfd); it is killed when the object
// goes, or with the test process however that ends (it runs as a BackgroundProgram, and the
// shell that starts it execs it, so the kill reaches the server itself). Not thread-safe.
class VirtualDisplay {
 public:
  VirtualDisplay();

  // ":N", for the DISPLAY variable of the programs under test.
  [[nodiscard]] const std::string& name() const { return name_; }

  // The id of the first window whose title matches `title` (a regular expression), waiting up
  // to `timeoutSeconds`; nullopt when none appears.
  [[nodiscard]] std::optional<std::string> findWindow(const std::string& title,
                                                      int timeoutSeconds = 20) const;
  // Focuses the window and types a key (xdotool key names: "Return", "Escape").
  void pressKey(const std::string& window, const std::string& key) const;
  // Clicks at a point of the window, in its own coordinates.
  void click(const std::string& window, int x, int y) const;

 private:
  std::unique_ptr<BackgroundProgram> server_;
  std::string name_;
};

}  // namespace vexa::testing
