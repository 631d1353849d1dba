#include "install/system_tools.h"

#include "config/installer_copy.h"
#include "platform/child_process.h"
#include "platform/main_bundle.h"

namespace vexa {

SystemTools SystemTools::standard() {
#ifdef __APPLE__
  return SystemTools{"/usr/bin/hdiutil", "/usr/bin/ditto", "/usr/bin/codesign", "/usr/sbin/spctl",
                     "/usr/bin/lipo"};
#else
  return inDirectory(platform::MainBundle::current().helpersDirectory());
#endif
}

SystemTools SystemTools::inDirectory(const std::filesystem::path& directory) {
  return SystemTools{directory / "hdiutil", directory / "ditto", directory / "codesign",
                     directory / "spctl", directory / "lipo"};
}

namespace NativeInstaller {

InstallerFailure toolFailure() {
  return InstallerFailure(
      InstallerCopy::text(
          "安装包验证或文件操作失败，请检查磁盘空间与权限后重试。",
          "Installer file check failed. Check disk space and permissions, then retry."),
      InstallerFailureReason::general);
}

std::string run(const std::filesystem::path& tool, const std::vector<std::string>& arguments,
                std::chrono::milliseconds timeLimit) {
  platform::ChildProcessResult result =
      platform::runChildProcess(tool, arguments, {.timeLimit = timeLimit});
  if (!result.succeeded()) throw toolFailure();
  return std::move(result.standardOutput);
}

}  // namespace NativeInstaller
}  // namespace vexa
