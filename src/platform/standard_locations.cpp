#include "platform/standard_locations.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <system_error>
#include <vector>

#include "platform/path_safety.h"

namespace vexa::platform {
namespace {

// XDG base directories count only when absolute; a relative value is ignored by the XDG rules.
const char* absoluteVariable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] == '/' ? value : nullptr;
}

}  // namespace

std::filesystem::path homeDirectory() {
  if (const char* home = absoluteVariable("HOME")) return home;
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found) {
    return found->pw_dir;
  }
  return "/";
}

std::filesystem::path cachesDirectory() {
  if (const char* cache = absoluteVariable("XDG_CACHE_HOME")) return cache;
  return homeDirectory() / ".cache";
}

std::filesystem::path applicationSupportDirectory() {
  if (const char* data = absoluteVariable("XDG_DATA_HOME")) return data;
  return homeDirectory() / ".local" / "share";
}

std::filesystem::path applicationsDirectory() {
  // Resolved, so a home reached through a link (/home -> /var/home) still passes the install
  // target's link check; the Applications component itself is left as it is.
  return resolvedPath(homeDirectory()) / "Applications";
}

std::filesystem::path temporaryDirectory() {
  const char* tmp = absoluteVariable("TMPDIR");
  const std::filesystem::path folder = tmp != nullptr ? tmp : "/tmp";
  try {
    return resolvedPath(folder);
  } catch (const std::system_error&) {
    // Not a safety check: a folder that cannot be resolved fails where it is first used.
    return standardizedPath(folder);
  }
}

}  // namespace vexa::platform
