#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

namespace vexa::platform {

// The installer's own bundle, laid out as on macOS:
//   VexaInstaller.app/Contents/MacOS/VexaInstaller      the executable
//   VexaInstaller.app/Contents/Resources/                configuration.json, logo.png, the anchor
//   VexaInstaller.app/Contents/Helpers/                  the system tool stand-ins
// The bundle is relocatable: the running one is found from the executable's own path. Immutable.
class MainBundle {
 public:
  explicit MainBundle(std::filesystem::path root) : root_(std::move(root)) {}

  // The bundle that contains the running executable (/proc/self/exe, three levels up).
  [[nodiscard]] static MainBundle current();

  [[nodiscard]] const std::filesystem::path& root() const { return root_; }
  [[nodiscard]] std::filesystem::path resourcesDirectory() const;
  [[nodiscard]] std::filesystem::path helpersDirectory() const;
  // The resource "<name>.<extension>" when a regular file (or a link to one) of that name exists.
  [[nodiscard]] std::optional<std::filesystem::path> resource(std::string_view name,
                                                              std::string_view extension) const;

 private:
  std::filesystem::path root_;
};

}  // namespace vexa::platform
