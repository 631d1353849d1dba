#include <iostream>
#include <string>
#include <vector>

#include "app/bootstrap_application.h"
#include "platform/alert_presenter.h"
#include "platform/gui_application.h"
#include "platform/main_bundle.h"
#include "platform/signal_dispositions.h"
#include "platform/standard_locations.h"

int main(int argc, char** argv) {
  // Before any thread or child exists: what the parent left ignored or blocked must not decide
  // whether a tool's failure is seen.
  vexa::platform::resetSignalDispositions();
  vexa::platform::GuiApplication gui(argc, argv);
  vexa::platform::SystemAlertPresenter alerts(gui, std::cerr);
  vexa::BootstrapApplication::Services services{
      .bundle = vexa::platform::MainBundle::current(),
      .cachesDirectory = vexa::platform::cachesDirectory(),
      .alerts = alerts,
      .standardOutput = std::cout,
      // The window and its event loop take over here once the flow is in place; until then the
      // start-up ends once the cache folder and the lock are ready.
      .startApplication = {},
  };
  vexa::BootstrapApplication::main(std::vector<std::string>(argv, argv + argc), services);
  return 0;
}
