#include <iostream>
#include <string>
#include <vector>

#include "app/application_start.h"
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
  const std::vector<std::string> arguments(argv, argv + argc);
  vexa::platform::GuiApplication gui(argc, argv);
  vexa::platform::SystemAlertPresenter alerts(gui, std::cerr);
  vexa::BootstrapApplication::Services services{
      .bundle = vexa::platform::MainBundle::current(),
      .cachesDirectory = vexa::platform::cachesDirectory(),
      .alerts = alerts,
      .standardOutput = std::cout,
      .startApplication =
          [&](const vexa::InstallConfiguration& configuration, const std::filesystem::path& cache,
              const std::function<void()>& releaseLock) {
            vexa::ApplicationStart::run(gui, configuration, cache, arguments, releaseLock);
          },
  };
  vexa::BootstrapApplication::main(arguments, services);
  return 0;
}
