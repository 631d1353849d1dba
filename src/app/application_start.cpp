#include "app/application_start.h"

#include <QApplication>
#include <QSessionManager>
#include <memory>

#include "flow/installer_flow.h"
#include "platform/gui_application.h"
#include "platform/quit_signals.h"
#include "telemetry/installer_telemetry.h"
#include "ui/installer_window.h"

namespace vexa::ApplicationStart {

void run(platform::GuiApplication& gui, const InstallConfiguration& configuration,
         const std::filesystem::path& cache, const std::vector<std::string>& arguments,
         InstallerFlowServices services) {
  QApplication& application = gui.application();
  // The flow ends the loop itself once the window has closed (and only then).
  application.setQuitOnLastWindowClosed(false);

  services.makeTelemetry =
      productionTelemetry(InstallerTelemetryOptions{.campaignIdentifier = campaignIdentifier(arguments)});

  // The window outlives the flow that draws on it: declared first, destroyed last.
  InstallerWindow window(configuration);
  std::shared_ptr<InstallerFlow> flow = InstallerFlow::create(configuration, cache, window, std::move(services));
  InstallerFlow* controller = flow.get();
  window.setActions({
      .primary = [controller] { controller->primaryPressed(); },
      .secondary = [controller] { controller->secondaryPressed(); },
      .close = [controller] { controller->closePressed(); },
      .shouldClose = [controller] { return controller->shouldClose(); },
      .willClose = [controller] { controller->windowWillClose(); },
  });

  // A quit request closes the window the ordinary way, which asks the close decision first.
  platform::QuitSignalWatcher quitSignals([&window] { window.close(); });
  QObject::connect(&application, &QGuiApplication::commitDataRequest, &window, [&window, controller](QSessionManager& manager) {
    if (controller->shouldClose()) {
      window.closeWindow();
    } else {
      manager.cancel();
    }
  });

  window.show();
  window.raise();
  window.activateWindow();
  application.exec();
  window.setActions({});
  flow.reset();
}

}  // namespace vexa::ApplicationStart
