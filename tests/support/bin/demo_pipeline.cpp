// The installer's main job as far as its pieces exist, run against the configuration inside a
// built installer bundle and with that build's deployment settings (the demo builds one whose
// connect-to overrides and extra authority point at a local HTTPS server):
//
//   demo_pipeline INSTALLER_BUNDLE WORK_FOLDER
//
// 1. decode and validate Contents/Resources/configuration.json;
// 2. download the package into WORK_FOLDER/cache/<appId>.installer, pausing once midway and
//    continuing from the partial file;
// 3. verify the package's size and SHA-256;
// 4. attach the image read-only with the bundle's hdiutil stand-in and verify the application in
//    it exactly (identity, version, build, processor, minimum system, signature, assessment);
// 5. record the installer's telemetry events under WORK_FOLDER/data and wait for their receipts.
// Prints each step; exits 0 when every step succeeded.

#include <QCoreApplication>
#include <QTimer>
#include <cstdio>
#include <iostream>

#include "config/install_configuration.h"
#include "download/package_download.h"
#include "install/bundle_verification.h"
#include "install/disk_image_mount.h"
#include "platform/file_reading.h"
#include "platform/main_bundle.h"
#include "platform/private_directory.h"
#include "telemetry/installer_telemetry.h"

namespace {

std::string describe(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& exception) {
    return exception.what();
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: demo_pipeline INSTALLER_BUNDLE WORK_FOLDER\n";
    return 2;
  }
  QCoreApplication application(argc, argv);
  const vexa::platform::MainBundle bundle{std::filesystem::path(argv[1])};
  const std::filesystem::path work = argv[2];
  try {
    const auto configuration = vexa::InstallConfiguration::decode(
        vexa::platform::readWholeFile(bundle.resourcesDirectory() / "configuration.json"));
    configuration.validate();
    std::cout << "configuration: " << configuration.productName << " " << configuration.applicationVersion
              << ", " << configuration.sizeBytes << " bytes from " << configuration.installerURL.text() << std::endl;

    vexa::InstallerTelemetry telemetry(configuration, work / "data" / configuration.productName / "Attribution");
    telemetry.record("vexa_downloader_open");

    const std::filesystem::path cache = work / "cache" / (configuration.appId + ".installer");
    vexa::platform::createPrivateDirectories(cache);
    vexa::PackageDownload download(configuration, cache);
    std::optional<vexa::DownloadResult> outcome;
    int reported = -1;
    bool pausedOnce = false;
    std::function<void()> startDownload = [&] {
      download.start(
          [&](double fraction) {
            const int percent = static_cast<int>(fraction * 100);
            if (percent / 10 != reported / 10) {
              reported = percent;
              std::cout << "  downloaded " << percent << "%" << std::endl;
            }
            if (!pausedOnce && fraction >= 0.4) {
              pausedOnce = true;
              download.pause();
            }
          },
          [&](vexa::DownloadResult result) {
            if (!result.succeeded() && pausedOnce && !outcome && reported < 100 &&
                describe(result.error).find("paused") != std::string::npos) {
              std::cout << "  " << describe(result.error) << " (partial file: "
                        << std::filesystem::file_size(download.partialFile()) << " bytes); continuing"
                        << std::endl;
              QTimer::singleShot(200, [&] { startDownload(); });
              return;
            }
            outcome = std::move(result);
            QCoreApplication::quit();
          });
    };
    telemetry.record("vexa_download_started");
    QTimer::singleShot(0, [&] { startDownload(); });
    if (!outcome) QCoreApplication::exec();
    if (!outcome->succeeded()) std::rethrow_exception(outcome->error);
    telemetry.record("vexa_download_completed");
    std::cout << "download: " << outcome->package.string() << std::endl;

    configuration.verifyDownload(outcome->package);
    std::cout << "package verified: size and SHA-256 match" << std::endl;

    telemetry.record("vexa_install_started");
    vexa::VerificationServices services;
    services.tools = vexa::SystemTools::inDirectory(bundle.helpersDirectory());
    {
      vexa::DiskImageMount mount(outcome->package, services.tools);
      const std::filesystem::path application = mount.mountPoint() / (configuration.productName + ".app");
      std::cout << "image attached read-only at " << mount.mountPoint().string() << std::endl;
      vexa::NativeInstaller::verify(application, configuration, true, services);
      std::cout << "application verified: " << application.filename().string()
                << " (identity, version, build, processor, minimum system, signature, assessment)" << std::endl;
    }
    std::cout << "image detached, workspace removed" << std::endl;
    telemetry.record("vexa_install_completed");

    // Telemetry never reaches the user; here we only wait for the receipts so the demo can show them.
    QTimer wait;
    QObject::connect(&wait, &QTimer::timeout, [&] {
      if (telemetry.idle()) QCoreApplication::quit();
    });
    wait.start(50);
    QTimer::singleShot(15000, [] { QCoreApplication::quit(); });
    QCoreApplication::exec();
    std::cout << "telemetry settled under " << telemetry.directory().string() << std::endl;
    return 0;
  } catch (const std::exception& error) {
    std::cout << "failed: " << error.what() << std::endl;
    return 1;
  }
}
