#include "platform/main_bundle.h"

#include <string>
#include <system_error>

namespace vexa::platform {

MainBundle MainBundle::current() {
  std::error_code error;
  const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return MainBundle(std::filesystem::current_path());
  // <root>/Contents/MacOS/<executable>
  return MainBundle(executable.parent_path().parent_path().parent_path());
}

std::filesystem::path MainBundle::resourcesDirectory() const {
  return root_ / "Contents" / "Resources";
}

std::filesystem::path MainBundle::helpersDirectory() const {
  return root_ / "Contents" / "Helpers";
}

std::optional<std::filesystem::path> MainBundle::resource(std::string_view name,
                                                          std::string_view extension) const {
  std::filesystem::path candidate =
      resourcesDirectory() / (std::string(name) + "." + std::string(extension));
  std::error_code error;
  if (!std::filesystem::is_regular_file(candidate, error)) return std::nullopt;
  return candidate;
}

}  // namespace vexa::platform
