#include "flow/installer_flow_services.h"

namespace vexa {
namespace {

class PackageDownloader final : public InstallerDownloader {
 public:
  PackageDownloader(const InstallConfiguration& configuration, const std::filesystem::path& cache)
      : download_(configuration, cache) {}

  void start(PackageDownload::ProgressCallback progress,
             PackageDownload::CompletionCallback completion) override {
    download_.start(std::move(progress), std::move(completion));
  }
  void pause() override { download_.pause(); }
  void discard() override { download_.discard(); }

 private:
  PackageDownload download_;
};

}  // namespace

std::shared_ptr<InstallerQuitWait> productionQuitWait(const std::string& bundleIdentifier,
                                                      std::function<void()> onExit) {
  return std::make_shared<QuitWaitAdapter<ApplicationQuitWait>>(
      std::shared_ptr<ApplicationQuitWait>(
          NativeInstaller::waitForApplicationExit(bundleIdentifier, std::move(onExit))));
}

std::shared_ptr<InstallerDownloader> productionDownloader(const InstallConfiguration& configuration,
                                                          const std::filesystem::path& cache) {
  return std::make_shared<PackageDownloader>(configuration, cache);
}

std::function<EventRecorder(const InstallConfiguration&)> productionTelemetry(
    InstallerTelemetryOptions options) {
  return
      [options = std::move(options)](const InstallConfiguration& configuration) -> EventRecorder {
        auto telemetry = std::make_shared<InstallerTelemetry>(configuration, std::nullopt, options);
        return [telemetry](std::string_view event) { telemetry->record(event); };
      };
}

}  // namespace vexa
