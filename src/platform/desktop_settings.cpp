#include "platform/desktop_settings.h"

#include <QFileSystemWatcher>
#include <QSettings>
#include <QString>
#include <QVariant>
#include <cstdlib>
#include <filesystem>

#include "platform/standard_locations.h"

namespace vexa::platform {
namespace {

std::filesystem::path configurationDirectory() {
  const char* configured = std::getenv("XDG_CONFIG_HOME");
  if (configured != nullptr && std::filesystem::path(configured).is_absolute()) return configured;
  return homeDirectory() / ".config";
}

// The settings files, most authoritative first: the newest toolkit's file wins when both exist,
// as it does for the desktop itself.
const char* const kGtkFiles[] = {"gtk-4.0/settings.ini", "gtk-3.0/settings.ini"};
const char* const kKdeFile = "kdeglobals";

// The value of `key` in an INI file, or an invalid variant when the file or the key is missing.
QVariant iniValue(const std::filesystem::path& file, const char* key) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(file, error)) return {};
  const QSettings settings(QString::fromStdString(file.string()), QSettings::IniFormat);
  return settings.value(QString::fromLatin1(key));
}

QString text(const QVariant& value) { return value.toString().trimmed().toLower(); }

bool reduceMotionIn(const std::filesystem::path& config) {
  for (const char* gtk : kGtkFiles) {
    const QVariant animations = iniValue(config / gtk, "Settings/gtk-enable-animations");
    if (animations.isValid()) return text(animations) == "false" || text(animations) == "0";
  }
  const QVariant factor = iniValue(config / kKdeFile, "KDE/AnimationDurationFactor");
  if (!factor.isValid()) return false;
  bool ok = false;
  const double value = text(factor).toDouble(&ok);
  return ok && value == 0.0;
}

bool increaseContrastIn(const std::filesystem::path& config) {
  for (const char* gtk : kGtkFiles) {
    const QVariant theme = iniValue(config / gtk, "Settings/gtk-theme-name");
    if (theme.isValid()) return text(theme).contains("highcontrast");
  }
  // QSettings reads an INI file's [General] group as its top level.
  return text(iniValue(config / kKdeFile, "ColorScheme")).contains("highcontrast");
}

}  // namespace

DesktopSettings readDesktopSettings() {
  const std::filesystem::path config = configurationDirectory();
  return {.reduceMotion = reduceMotionIn(config), .increaseContrast = increaseContrastIn(config)};
}

class DesktopSettingsWatch::Watcher : public QFileSystemWatcher {
 public:
  explicit Watcher(std::function<void(const DesktopSettings&)> onChange)
      : onChange_(std::move(onChange)), config_(configurationDirectory()) {
    watchWhatExists();
    current_ = readDesktopSettings();
    connect(this, &QFileSystemWatcher::directoryChanged, this, &Watcher::reread);
    connect(this, &QFileSystemWatcher::fileChanged, this, &Watcher::reread);
  }

  const DesktopSettings& current() const { return current_; }

 private:
  // A settings file is usually replaced by a rename, and its folder may appear after start: the
  // folders are watched for that, the files for changes in place.
  void watchWhatExists() {
    QStringList paths;
    std::error_code error;
    for (const std::filesystem::path& path :
         {config_, config_ / "gtk-4.0", config_ / "gtk-3.0", config_ / kGtkFiles[0],
          config_ / kGtkFiles[1], config_ / kKdeFile}) {
      if (std::filesystem::exists(path, error)) paths << QString::fromStdString(path.string());
    }
    paths.removeIf([this](const QString& path) {
      return files().contains(path) || directories().contains(path);
    });
    if (!paths.isEmpty()) addPaths(paths);
  }

  void reread() {
    watchWhatExists();
    const DesktopSettings settings = readDesktopSettings();
    if (settings == current_) return;
    current_ = settings;
    if (onChange_) onChange_(current_);
  }

  const std::function<void(const DesktopSettings&)> onChange_;
  const std::filesystem::path config_;
  DesktopSettings current_;
};

DesktopSettingsWatch::DesktopSettingsWatch(std::function<void(const DesktopSettings&)> onChange)
    : watcher_(std::make_unique<Watcher>(std::move(onChange))) {}

DesktopSettingsWatch::~DesktopSettingsWatch() = default;

const DesktopSettings& DesktopSettingsWatch::current() const { return watcher_->current(); }

}  // namespace vexa::platform
