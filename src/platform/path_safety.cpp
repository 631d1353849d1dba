#include "platform/path_safety.h"

#include <system_error>

namespace vexa::platform {

std::filesystem::path standardizedPath(const std::filesystem::path& path) {
  std::filesystem::path normal = path.lexically_normal();
  // "a/b/" normalizes to "a/b/" (an empty last element); the platform's standardized form has no
  // trailing separator except for the root itself.
  if (!normal.has_filename() && normal.has_relative_path()) normal = normal.parent_path();
  return normal;
}

std::filesystem::path resolvedPath(const std::filesystem::path& path) {
  std::error_code error;
  std::filesystem::path resolved = std::filesystem::weakly_canonical(path, error);
  if (error) return standardizedPath(path);
  return standardizedPath(resolved);
}

bool resolvesToItself(const std::filesystem::path& path) {
  return resolvedPath(path).native() == standardizedPath(path).native();
}

}  // namespace vexa::platform
