#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>

// hdiutil's records of what is attached where, read back by ditto. Single-threaded like the
// tools.
namespace vexa::tools {

// An image attached by hdiutil is an extraction whose write bits were removed to make it read-only.
// The record of the attachment, a file next to the mount point, keeps every item's own mode, so
// that copies taken from the volume get the modes the image holds (as on a real read-only volume).
struct AttachedVolume {
  std::filesystem::path mountPoint;
  std::map<std::string, unsigned> modes;  // relative path ("" for the root) to its mode bits
};

// The record file of an attachment at `mountPoint`.
[[nodiscard]] std::filesystem::path attachmentRecordPath(const std::filesystem::path& mountPoint);
// Writes the record (the image path and every item's mode). Throws std::system_error.
void writeAttachmentRecord(const AttachedVolume& volume, const std::filesystem::path& image);
// The attached volume that `path` lies in (or is the root of), if any.
[[nodiscard]] std::optional<AttachedVolume> attachedVolumeContaining(
    const std::filesystem::path& path);

}  // namespace vexa::tools
