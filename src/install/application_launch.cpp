#include "install/application_launch.h"

#include "config/installer_copy.h"
#include "config/installer_failure.h"
#include "install/bundle_verification.h"
#include "platform/detached_process.h"

namespace vexa::NativeInstaller {

void openApplication(const std::filesystem::path& bundle) {
  const platform::PropertyListDictionary info = metadata(bundle);
  const auto executable = info.find("CFBundleExecutable");
  // Only a plain name inside Contents/MacOS: a path could point the start anywhere.
  const bool plainName = executable != info.end() && executable->second.isText() &&
                         !executable->second.text().empty() && executable->second.text() != "." &&
                         executable->second.text() != ".." &&
                         executable->second.text().find('/') == std::string::npos;
  if (!plainName) {
    throw InstallerFailure(
        InstallerCopy::text("应用信息无效。", "The application information is invalid."));
  }
  platform::startDetachedProcess(bundle / "Contents" / "MacOS" / executable->second.text());
}

}  // namespace vexa::NativeInstaller
