#include "platform/path_safety.h"

#include <sys/stat.h>

#include <cerrno>
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
  const std::filesystem::path absolute = std::filesystem::absolute(path);
  // The longest prefix that exists, judged with lstat so that a link counts as existing even when
  // its target does not: canonical() below then refuses a dangling link instead of the walk taking
  // it for the start of a missing tail. Only ENOENT ends the prefix; any other error (a file in
  // the middle, no search permission, a link loop) means the path cannot be resolved.
  std::filesystem::path existing = absolute.root_path();
  std::filesystem::path missing;
  for (auto part = std::next(absolute.begin()); part != absolute.end(); ++part) {
    if (!missing.empty()) {
      missing /= *part;
      continue;
    }
    const std::filesystem::path candidate = existing / *part;
    struct stat status {};
    if (::lstat(candidate.c_str(), &status) == 0) {
      existing = candidate;
    } else if (errno == ENOENT) {
      missing = *part;
    } else {
      throw std::system_error(errno, std::generic_category(), candidate.string());
    }
  }
  std::error_code error;
  std::filesystem::path resolved = std::filesystem::canonical(existing, error);
  if (error) throw std::system_error(error, existing.string());
  if (!missing.empty()) resolved /= missing;
  return standardizedPath(resolved);
}

bool resolvesToItself(const std::filesystem::path& path) {
  try {
    return resolvedPath(path).native() == standardizedPath(path).native();
  } catch (const std::system_error&) {
    return false;  // a path that cannot be resolved cannot be shown to be free of links
  }
}

}  // namespace vexa::platform
