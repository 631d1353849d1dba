#include "attached_volume.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <system_error>

#include "file_descriptor.h"

namespace vexa::tools {

namespace fs = std::filesystem;

fs::path attachmentRecordPath(const fs::path& mountPoint) {
  const fs::path normal = mountPoint.lexically_normal();
  return normal.parent_path() / ("." + normal.filename().string() + ".hdiutil-attached");
}

// Record layout: the image path, then pairs of octal mode and relative path, each ended by NUL
// (paths may hold any byte but NUL).
void writeAttachmentRecord(const AttachedVolume& volume, const fs::path& image) {
  std::string record = image.string() + '\0';
  for (const auto& [path, mode] : volume.modes) {
    char octal[16];
    std::snprintf(octal, sizeof octal, "%o", mode);
    record += octal + std::string(1, '\0') + path + '\0';
  }
  const fs::path file = attachmentRecordPath(volume.mountPoint);
  std::ofstream stream(file, std::ios::binary | std::ios::trunc);
  stream << record;
  if (!stream.flush())
    throw std::system_error(errno ? errno : EIO, std::generic_category(), file.string());
}

std::optional<AttachedVolume> attachedVolumeContaining(const fs::path& path) {
  std::error_code error;
  fs::path candidate = fs::absolute(path, error).lexically_normal();
  if (error) return std::nullopt;
  for (; candidate.has_relative_path(); candidate = candidate.parent_path()) {
    if (candidate.filename().empty()) continue;
    const fs::path record = attachmentRecordPath(candidate);
    if (!fs::is_regular_file(fs::symlink_status(record, error))) continue;
    std::string bytes;
    try {
      bytes = readFileBytes(record);
    } catch (const std::exception&) {
      return std::nullopt;
    }
    AttachedVolume volume{candidate, {}};
    std::size_t position = bytes.find('\0');
    while (position != std::string::npos && position + 1 < bytes.size()) {
      const std::size_t modeEnd = bytes.find('\0', position + 1);
      if (modeEnd == std::string::npos) break;
      const std::size_t pathEnd = bytes.find('\0', modeEnd + 1);
      if (pathEnd == std::string::npos) break;
      const unsigned mode = static_cast<unsigned>(
          std::strtoul(bytes.substr(position + 1, modeEnd - position - 1).c_str(), nullptr, 8));
      volume.modes[bytes.substr(modeEnd + 1, pathEnd - modeEnd - 1)] = mode;
      position = pathEnd;
    }
    return volume;
  }
  return std::nullopt;
}

}  // namespace vexa::tools
