#include "app/application_start.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QSessionManager>
#include <QTimer>
#include <chrono>
#include <memory>

#include "flow/installer_flow.h"
#include "platform/gui_application.h"
#include "platform/quit_signals.h"
#include "telemetry/installer_telemetry.h"
#include "ui/installer_window.h"

namespace vexa::ApplicationStart {
namespace {

// How long the process may stay after its window closed, for telemetry still in flight.
constexpr std::chrono::milliseconds deliveryGrace{3000};

}  // namespace

void run(platform::GuiApplication& gui, const InstallConfiguration& configuration,
         const std::filesystem::path& cache, const std::vector<std::string>& arguments,
         const std::function<void()>& windowClosed, InstallerFlow::Services services) {
  QApplication& application = gui.application();
  // The flow ends the loop itself once the window has closed (and only then).
  application.setQuitOnLastWindowClosed(false);

  // The recorder is kept here too, so that what it still sends when the window has closed can
  // arrive (see below).
  std::shared_ptr<InstallerTelemetry> telemetry;
  services.makeTelemetry =
      [&telemetry, &arguments](const InstallConfiguration& configuration) -> EventRecorder {
    telemetry = std::make_shared<InstallerTelemetry>(
        configuration, std::nullopt,
        InstallerTelemetryOptions{.campaignIdentifier = campaignIdentifier(arguments)});
    return [recorder = telemetry](std::string_view event) { recorder->record(event); };
  };

  // The window outlives the flow that draws on it: declared first, destroyed last.
  InstallerWindow window(configuration, {});
  std::shared_ptr<InstallerFlow> flow =
      InstallerFlow::create(configuration, cache, window, std::move(services));
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
  QObject::connect(&application, &QGuiApplication::commitDataRequest, &window,
                   [&window, controller](QSessionManager& manager) {
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
  // Nothing of this attempt runs any more but its telemetry, which guards its own files: a new
  // installer may start while the last events wait for their receipts.
  if (windowClosed) windowClosed();

  // The last events (the installation's completion, recorded just before the application opens and
  // the window closes) are usually still on their way. The window is gone; give them a moment to
  // get their receipts rather than waiting in their files for the next start to send them.
  if (telemetry) {
    const QDeadlineTimer deadline(deliveryGrace);
    QTimer wake;
    wake.start(50);
    while (!telemetry->idle() && !deadline.hasExpired()) {
      QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    // What has not been answered by now is left to a later start: cancel it, so that nothing of
    // it outlives the event loop, and let its completions and deferred deletions run.
    telemetry->cancelSubmissions();
    const QDeadlineTimer settling(std::chrono::milliseconds(500));
    while (!telemetry->idle() && !settling.hasExpired()) {
      QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }
}

}  // namespace vexa::ApplicationStart
