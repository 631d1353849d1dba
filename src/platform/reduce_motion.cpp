#include "platform/reduce_motion.h"

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

// The value of `key` in an INI file, or an invalid variant when the file or the key is missing.
QVariant iniValue(const std::filesystem::path& file, const char* key) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(file, error)) return {};
  const QSettings settings(QString::fromStdString(file.string()), QSettings::IniFormat);
  return settings.value(QString::fromLatin1(key));
}

bool isFalse(const QVariant& value) {
  const QString text = value.toString().trimmed().toLower();
  return text == QLatin1String("false") || text == QLatin1String("0");
}

}  // namespace

bool reduceMotion() {
  const std::filesystem::path config = configurationDirectory();
  // The newest toolkit's file wins when both exist, as it does for the desktop itself.
  for (const char* toolkit : {"gtk-4.0", "gtk-3.0"}) {
    const QVariant animations =
        iniValue(config / toolkit / "settings.ini", "Settings/gtk-enable-animations");
    if (animations.isValid()) return isFalse(animations);
  }
  const QVariant factor = iniValue(config / "kdeglobals", "KDE/AnimationDurationFactor");
  if (factor.isValid()) {
    bool ok = false;
    const double value = factor.toString().trimmed().toDouble(&ok);
    return ok && value == 0.0;
  }
  return false;
}

}  // namespace vexa::platform
