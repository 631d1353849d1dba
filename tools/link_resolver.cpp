#include "link_resolver.h"

#include <deque>
#include <string>
#include <system_error>
#include <vector>

namespace vexa::tools {
namespace {

namespace fs = std::filesystem;

// As many links as the kernel follows on one path before it gives up with ELOOP.
constexpr int kMaxLinksOnAPath = 40;

void appendComponents(std::deque<std::string>& parts, const fs::path& path, bool atFront) {
  std::vector<std::string> components;
  for (const fs::path& component : path) components.push_back(component.string());
  if (atFront) {
    parts.insert(parts.begin(), components.begin(), components.end());
  } else {
    parts.insert(parts.end(), components.begin(), components.end());
  }
}

}  // namespace

bool linkStaysInside(const fs::path& root, const fs::path& relative) {
  std::vector<std::string> resolved;  // the folders below `root` reached so far, links resolved
  for (const fs::path& component : relative.parent_path()) resolved.push_back(component.string());
  std::deque<std::string> pending;
  std::error_code error;
  const fs::path first = fs::read_symlink(root / relative, error);
  if (error) return false;
  appendComponents(pending, first, false);
  int links = 1;
  while (!pending.empty()) {
    const std::string part = std::move(pending.front());
    pending.pop_front();
    if (part.empty() || part == ".") continue;
    if (part == "/") return false;
    if (part == "..") {
      if (resolved.empty()) return false;
      resolved.pop_back();
      continue;
    }
    fs::path here = root;
    for (const std::string& folder : resolved) here /= folder;
    here /= part;
    if (!fs::is_symlink(fs::symlink_status(here, error))) {
      resolved.push_back(part);
      continue;
    }
    if (++links > kMaxLinksOnAPath) return false;
    const fs::path target = fs::read_symlink(here, error);
    if (error || target.is_absolute()) return false;
    appendComponents(pending, target, true);
  }
  return true;
}

}  // namespace vexa::tools
