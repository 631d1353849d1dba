#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "config/install_configuration.h"
#include "flow/installer_flow.h"

namespace vexa::platform {
class GuiApplication;
}

// The second half of the process entry: turns the process into an ordinary windowed application
// once the configuration is valid and the cache folder and its lock are held. It makes the one
// installer window and the flow that drives it, shows, raises and activates the window and runs
// the event loop until the flow ends it (the window closes, or a quit request is granted).
//
// Quit requests (the quit shortcut, the session manager's quit, SIGTERM, SIGINT, SIGHUP) all ask
// the flow's close decision, so they follow the rules of closing the window: refused while
// checking or installing, pausing a running download, granted otherwise.
//
// Main thread only. Returns when the event loop ends, after at most three more seconds in which
// telemetry events still in flight may get their receipts; the window, the flow (with its timer,
// quit wait, download session) and the telemetry worker are gone by then, before the application
// object. `windowClosed` is called once the window and the flow are gone, before those seconds:
// from then on another installer may start (what it finds of this one's telemetry, it leaves to
// this one while this one is still sending it).
namespace vexa::ApplicationStart {

// `arguments` is the whole command line (the campaign identifier comes from it).
void run(platform::GuiApplication& gui, const InstallConfiguration& configuration,
         const std::filesystem::path& cache, const std::vector<std::string>& arguments,
         const std::function<void()>& windowClosed, InstallerFlow::Services services = {});

}  // namespace vexa::ApplicationStart
