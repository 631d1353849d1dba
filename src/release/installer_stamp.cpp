#include "release/installer_stamp.h"

#include <atomic>
#include <future>
#include <nlohmann/json.hpp>
#include <thread>

#include "config/install_configuration.h"
#include "install/system_tools.h"
#include "platform/atomic_file.h"
#include "platform/atomic_rename.h"
#include "platform/child_process.h"
#include "platform/file_reading.h"
#include "platform/random_uuid.h"
#include "release/release_refusal.h"

namespace vexa {
namespace {

namespace fs = std::filesystem;

// A folder that is removed with everything in it unless release() is called first.
class ScratchFolder {
 public:
  explicit ScratchFolder(fs::path path) : path_(std::move(path)) {}
  ~ScratchFolder() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  [[nodiscard]] const fs::path& path() const { return path_; }
  void release() { path_.clear(); }

 private:
  fs::path path_;
};

std::int64_t bytesUnder(const fs::path& folder) {
  std::int64_t total = 0;
  std::error_code error;
  for (auto entry = fs::recursive_directory_iterator(folder, error);
       !error && entry != fs::recursive_directory_iterator(); entry.increment(error)) {
    std::error_code ignored;
    if (entry->is_regular_file(ignored) && !entry->is_symlink(ignored)) {
      total += static_cast<std::int64_t>(entry->file_size(ignored));
    }
  }
  return total;
}

// Copies with the installer's ditto on a worker thread while this one draws the progress.
void copyBundle(const fs::path& ditto, const fs::path& from, const fs::path& to,
                ReleaseReport& report) {
  const auto progress = report.progress("copying", bytesUnder(from));
  auto copy = std::async(std::launch::async, [&] {
    (void)NativeInstaller::run(ditto, {from.string(), to.string()});
  });
  while (copy.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) {
    progress(bytesUnder(to));
  }
  copy.get();
}

// What the installer's --self-test must print for `configuration`.
nlohmann::json expectedSummary(const InstallConfiguration& configuration) {
  return {{"environment", configuration.environment},
          {"appId", configuration.appId},
          {"arch", configuration.arch},
          {"productVersion", configuration.productVersion},
          {"buildNumber", configuration.buildNumber},
          {"credentialPresent", !configuration.downloadToken.empty()},
          {"preview", false}};
}

}  // namespace

fs::path stampInstaller(const StampOptions& options, ReleaseReport& report) {
  const std::string text = platform::readWholeFile(options.configuration, {.limit = 1 << 20});
  InstallConfiguration configuration;
  try {
    configuration = InstallConfiguration::decode(text);
  } catch (const ConfigurationDecodingError& error) {
    throw ReleaseRefusal(std::string("configuration: ") + error.what());
  }
  if (const auto broken = configuration.firstBrokenRule()) {
    throw ReleaseRefusal("configuration: " + *broken);
  }
  configuration.validate();
  report.pass("configuration", "every rule of the installer's validation holds");

  const fs::path executable = options.installer / "Contents/MacOS/VexaInstaller";
  if (!fs::is_regular_file(executable)) {
    throw ReleaseRefusal("installer: " + options.installer.string() +
                         " must be an installer bundle (Contents/MacOS/VexaInstaller)");
  }
  if (fs::exists(options.installer / "Contents/_CodeSignature")) {
    throw ReleaseRefusal("signing: " + options.installer.string() +
                         " is signed, and this build has no step that signs the installer again");
  }
  const fs::path output = options.outputFolder / options.installer.filename();
  if (!options.replace && fs::exists(fs::symlink_status(output))) {
    throw ReleaseRefusal("output: " + output.string() + " exists; use --force to replace it");
  }

  // An output folder made here goes again with a failure, so that a refusal leaves nothing behind.
  ScratchFolder createdFolder(fs::exists(options.outputFolder) ? fs::path() : options.outputFolder);
  fs::create_directories(options.outputFolder);
  ScratchFolder staged(options.outputFolder / (".vexa-stamp-" + platform::randomUuid() + ".app"));
  copyBundle(options.installer / "Contents/Helpers/ditto", options.installer, staged.path(),
             report);
  platform::writeFileAtomically(staged.path() / "Contents/Resources/configuration.json", text,
                                0644);
  report.pass("copy", "the bundle with the configuration in Contents/Resources");

  const platform::ChildProcessResult run =
      platform::runChildProcess(staged.path() / "Contents/MacOS/VexaInstaller", {"--self-test"},
                                {.timeLimit = std::chrono::seconds(60)});
  const nlohmann::json expected = expectedSummary(configuration);
  const nlohmann::json summary =
      nlohmann::json::parse(run.standardOutput, nullptr, /*allow_exceptions=*/false);
  if (!run.succeeded() || summary != expected) {
    throw ReleaseRefusal("self-test: the stamped installer's --self-test printed \"" +
                         run.standardOutput.substr(0, run.standardOutput.find('\n')) +
                         "\"; expected " + expected.dump());
  }
  report.pass("self-test", summary.dump());

  const platform::RenameMode mode = options.replace && fs::exists(fs::symlink_status(output))
                                        ? platform::RenameMode::exchange
                                        : platform::RenameMode::noReplace;
  if (const std::error_code error = platform::renameAtomically(staged.path(), output, mode)) {
    if (error == std::errc::file_exists || error == std::errc::directory_not_empty) {
      throw ReleaseRefusal("output: " + output.string() + " exists; use --force to replace it");
    }
    throw std::system_error(error, output.string());
  }
  // After an exchange the hidden name holds the bundle that was replaced: the scratch folder's
  // removal takes it away. After a plain rename there is nothing left to remove.
  if (mode == platform::RenameMode::noReplace) staged.release();
  createdFolder.release();
  return output;
}

}  // namespace vexa
