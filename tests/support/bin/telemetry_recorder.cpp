// Records telemetry events from a process of its own, for the tests that run several installers
// against one telemetry folder at the same time.
//
//   telemetry_recorder FOLDER COUNT [--cid=CAMPAIGN]
//
// Records COUNT events into FOLDER, then waits until each is stored or dropped and its submission
// has ended. Submissions go to a loopback port where nothing listens, so they fail at once and the
// event files stay. Exit status 0, or 2 for bad arguments.
#include <QCoreApplication>
#include <QTimer>
#include <string>
#include <vector>

#include "platform/deployment_settings.h"
#include "telemetry/installer_telemetry.h"
#include "tests/support/configuration_samples.h"

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const std::vector<std::string> arguments(argv, argv + argc);
  const int count = std::stoi(arguments[2]);
  QCoreApplication application(argc, argv);

  vexa::InstallerTelemetryOptions options;
  options.campaignIdentifier = vexa::campaignIdentifier(arguments);
  options.sessionConfiguration = [] {
    vexa::platform::UrlSessionConfiguration configuration;
    configuration.connectTo = {std::string(vexa::DeploymentSettings::productionTelemetryHost) +
                               ":443:127.0.0.1:1"};
    return configuration;
  };
  vexa::InstallerTelemetry telemetry(vexa::testing::validProductionConfiguration(), arguments[1],
                                     options);
  for (int i = 0; i < count; ++i)
    telemetry.record(i == 0 ? "vexa_downloader_open" : "vexa_download_started");

  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (telemetry.idle()) application.quit();
  });
  poll.start(5);
  application.exec();
  return 0;
}
