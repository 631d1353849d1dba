#include "tests/ui/screen_samples.h"

#include <QWidget>
#include <stdexcept>

#include "config/installer_copy.h"
#include "config/installer_failure.h"
#include "tests/support/configuration_samples.h"
#include "ui/accent_button.h"
#include "ui/installer_window.h"

namespace vexa::testing {

InstallConfiguration windowConfiguration() {
  InstallConfiguration configuration = validProductionConfiguration();
  configuration.productName = "Vexa";
  configuration.applicationVersion = "1.4.2";
  configuration.sizeBytes = 123456789;
  return configuration;
}

const std::vector<ScreenSample>& screenSamples() {
  using InstallerCopy::text;
  static const std::vector<ScreenSample> samples = {
      {"welcome", [](InstallerWindow& window) { window.welcome(); }},
      {"checking",
       [](InstallerWindow& window) {
         window.working(text("正在检查…", "Checking…"), "", std::nullopt);
       }},
      {"downloading",
       [](InstallerWindow& window) {
         window.working(text("正在下载安装包", "Downloading installer"),
                        window.downloadDetail(std::nullopt), 0.0);
       }},
      {"downloading-progress",
       [](InstallerWindow& window) {
         window.working(text("正在下载安装包", "Downloading installer"),
                        window.downloadDetail(std::nullopt), 0.0);
         window.downloadProgress(0.42);
       }},
      {"installing",
       [](InstallerWindow& window) {
         window.working(text("正在安装…", "Installing…"),
                        text("正在校验并安装 Vexa", "Verifying and installing Vexa"), std::nullopt);
       }},
      {"failure",
       [](InstallerWindow& window) {
         window.showFailure(std::make_exception_ptr(InstallerFailure(
                                text("网络连接中断，点击重试。已保留下载进度。",
                                     "Network interrupted. Download progress was saved; retry."))),
                            false);
       }},
      {"failure-paused",
       [](InstallerWindow& window) {
         window.showFailure(
             std::make_exception_ptr(InstallerFailure(
                 text("下载已暂停，点击继续下载。", "Download paused. Select Continue Download."))),
             true);
       }},
      {"failure-long-message",
       [](InstallerWindow& window) {
         std::string message;
         for (int i = 0; i < 12; ++i)
           message +=
               text("这是一段很长的错误说明，用来检查换行和截断。",
                    "This is a long error description that wraps and is cut off by its frame. ");
         window.showFailure(std::make_exception_ptr(std::runtime_error(message)), false);
       }},
      {"newer-application", [](InstallerWindow& window) { window.showNewerApplication(); }},
      {"application-running", [](InstallerWindow& window) { window.showApplicationRunning(); }},
      {"quit-wait", [](InstallerWindow& window) { window.showQuitWait(); }},
      {"opening", [](InstallerWindow& window) { window.showOpening(); }},
      {"opening-failed",
       [](InstallerWindow& window) {
         window.showOpening();
         window.showOpeningFailed(std::make_exception_ptr(
             std::system_error(std::make_error_code(std::errc::permission_denied), "Vexa.app")));
       }},
  };
  return samples;
}

const std::vector<ScreenLanguage>& screenLanguages() {
  static const std::vector<ScreenLanguage> languages = {{"zh-CN", "zh"}, {"en", "en"}};
  return languages;
}

QImage renderWidget(QWidget& widget) {
  QImage image(widget.size(), QImage::Format_ARGB32_Premultiplied);
  image.setDevicePixelRatio(1);
  image.fill(Qt::transparent);
  widget.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
  return image;
}

}  // namespace vexa::testing
