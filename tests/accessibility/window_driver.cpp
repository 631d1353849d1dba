// The installer window, real and shown, driven line by line from standard input for the
// accessibility suite (window_accessibility_test.py): each line names a screen or an action, and
// "ok" answers once it has been handled. The window's actions are printed as "action <name>"; with
// "busy 1" the close request is refused the way the installation flow refuses it.
#include <QApplication>
#include <QScreen>
#include <QSocketNotifier>
#include <iostream>
#include <map>
#include <string>

#include "config/installer_copy.h"
#include "config/installer_failure.h"
#include "tests/support/configuration_samples.h"
#include "ui/installer_window.h"

using namespace vexa;

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  application.setApplicationName("vexa-window-driver");
  InstallConfiguration configuration = testing::validProductionConfiguration();
  configuration.applicationVersion = "1.4.2", configuration.sizeBytes = 123456789;
  InstallerWindow window(configuration, {.bundle = platform::MainBundle(VEXA_BUNDLE_DIR)});
  bool busy = false;  // the close request is refused, as the flow refuses it while working
  const auto say = [](const std::string& line) { std::cout << line << std::endl; };
  window.setActions({
      .primary = [&] { say("action primary"); },
      .secondary = [&] { say("action secondary"); },
      .close = [&] { say("action close"), busy ? window.closeRefused() : void(); },
      .shouldClose = [&] { return say("action shouldClose"), false; },
  });
  const auto failure = [] {
    return std::make_exception_ptr(InstallerFailure(InstallerCopy::text(
        "网络连接中断，下载进度已保存，请重试。", "Network interrupted. Progress was saved.")));
  };
  const std::map<std::string, std::function<void()>> commands = {
      {"welcome", [&] { window.welcome(); }},
      {"checking", [&] { window.working(InstallerCopy::text("正在检查…", "Checking…"), "", {}); }},
      {"downloading",
       [&] { window.working("Downloading", window.downloadDetail(std::nullopt), 0.0); }},
      {"progress", [&] { window.downloadProgress(0.42); }},
      {"installing", [&] { window.working("Installing…", "Verifying", std::nullopt); }},
      {"failure", [&] { window.showFailure(failure(), false); }},
      {"newer", [&] { window.showNewerApplication(); }},
      {"running", [&] { window.showApplicationRunning(); }},
      {"quit-wait", [&] { window.showQuitWait(); }},
      {"opening", [&] { window.showOpening(); }},
      {"opening-failed", [&] { window.showOpeningFailed(failure()); }},
      {"busy", [&] { busy = true; }},
  };
  QSocketNotifier input(0, QSocketNotifier::Read);
  QObject::connect(&input, &QSocketNotifier::activated, [&] {
    std::string line;
    if (!std::getline(std::cin, line)) return application.quit();
    if (const auto command = commands.find(line); command != commands.end()) command->second();
    // "grab FILE": the whole screen as the X server shows it, as a binary PPM.
    if (line.rfind("grab ", 0) == 0)
      window.screen()->grabWindow(0).save(line.substr(5).c_str(), "PPM");
    QApplication::processEvents();
    say("ok");
  });
  window.show();
  window.activateWindow();
  say("ok");
  return application.exec();
}
