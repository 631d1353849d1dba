// hdiutil stand-in for squashfs images (the package format on Linux).
//   hdiutil attach -readonly -nobrowse -noautoopen -mountpoint MOUNTPOINT IMAGE
//   hdiutil detach MOUNTPOINT
//   hdiutil create -srcfolder FOLDER [-volname NAME] [-ov] [-format F] IMAGE
// Attaching extracts the image at MOUNTPOINT (which must be absent or an empty folder) and removes
// every write, set-user-id and set-group-id bit of its files, so their content is read-only to
// their owner's tools (FUSE is not available everywhere; an extraction behaves the same for a
// reader). Folders keep their owner's write bit alone: an extraction left behind by a killed
// installer must stay removable by a plain recursive delete of the user it belongs to. A record
// next to the mount point keeps the attachment and the items' own modes (ditto copies those);
// detach refuses a folder it did not attach. Exit status 0 on success, 1 on failure, 2 on a usage
// error.
#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "attached_volume.h"
#include "tool_support.h"

namespace {

namespace fs = std::filesystem;
using namespace vexa::tools;
constexpr const char* kTool = "hdiutil";

int usage() {
  complain(kTool,
           "usage: hdiutil attach -readonly -nobrowse -noautoopen -mountpoint dir image | "
           "hdiutil detach dir | hdiutil create -srcfolder dir [-volname name] [-ov] image");
  return 2;
}

fs::path markerFor(const fs::path& mountPoint) { return attachmentRecordPath(mountPoint); }

// Applies `change` to every item below and including `root`, folders after their content (so a
// folder losing its write bit does not stop the walk). Links are never followed.
template <typename Change>
void forEachBottomUp(const fs::path& root, Change change) {
  struct stat status {};
  if (::lstat(root.c_str(), &status) != 0 || S_ISLNK(status.st_mode)) return;
  if (S_ISDIR(status.st_mode)) {
    std::error_code error;
    for (fs::directory_iterator it(root, error), end; !error && it != end; it.increment(error)) {
      forEachBottomUp(it->path(), change);
    }
  }
  change(root, status);
}

void removeTree(const fs::path& root) {
  // Folders need their write bit back before their content can go.
  std::error_code error;
  for (fs::recursive_directory_iterator it(root, error), end; !error && it != end;
       it.increment(error)) {
    std::error_code ignored;
    if (it->is_directory(ignored) && !it->is_symlink(ignored)) ::chmod(it->path().c_str(), 0700);
  }
  ::chmod(root.c_str(), 0700);
  fs::remove_all(root);
}

int attach(const std::vector<std::string>& arguments) {
  std::optional<fs::path> mountPoint;
  std::optional<fs::path> image;
  bool readOnly = false;
  for (std::size_t index = 0; index < arguments.size(); ++index) {
    const std::string& argument = arguments[index];
    if (argument == "-readonly") {
      readOnly = true;
    } else if (argument == "-nobrowse" || argument == "-noautoopen" || argument == "-noverify" ||
               argument == "-quiet") {
    } else if (argument == "-mountpoint") {
      if (++index >= arguments.size()) return usage();
      mountPoint = arguments[index];
    } else if (!argument.empty() && argument[0] != '-' && !image) {
      image = argument;
    } else {
      return usage();
    }
  }
  if (!mountPoint || !image) return usage();
  if (!readOnly) {
    complain(kTool, "only read-only attachment is supported");
    return 1;
  }
  std::error_code error;
  if (!fs::is_regular_file(*image, error)) {
    complain(kTool, image->string() + ": no such image");
    return 1;
  }
  if (fs::exists(fs::symlink_status(*mountPoint, error))) {
    if (!fs::is_directory(fs::symlink_status(*mountPoint)) || !fs::is_empty(*mountPoint)) {
      complain(kTool, mountPoint->string() + ": mount point is not an empty folder");
      return 1;
    }
    fs::remove(*mountPoint);
  }
  const fs::path marker = markerFor(*mountPoint);
  // unsquashfs's data and fragment queues default to 256 MiB each, and it fills them as fast as it
  // reads, so its resident memory grows with the image (400 MiB for a 1 GiB one); 8 MiB queues
  // keep it under 20 MiB and extract just as fast (the writes, not the queues, set the pace).
  if (runQuietly("unsquashfs", {"-no-progress", "-quiet", "-no-xattrs", "-da", "8", "-fr", "8",
                                "-dest", mountPoint->string(), image->string()}) != 0) {
    complain(kTool, "attach failed: " + image->string() + " is not a readable image");
    if (fs::exists(fs::symlink_status(*mountPoint, error))) removeTree(*mountPoint);
    return 1;
  }
  AttachedVolume volume{mountPoint->lexically_normal(), {}};
  forEachBottomUp(volume.mountPoint, [&](const fs::path& path, const struct stat& status) {
    const mode_t own = status.st_mode & 07777 & ~static_cast<mode_t>(S_ISUID | S_ISGID);
    const fs::path relative = path.lexically_relative(volume.mountPoint);
    volume.modes[relative == "." ? std::string() : relative.generic_string()] = own;
    ::chmod(path.c_str(), S_ISDIR(status.st_mode) ? (own & 07555) | S_IWUSR : own & 07555);
  });
  try {
    writeAttachmentRecord(volume, *image);
  } catch (const std::exception& failure) {
    complain(kTool, std::string("cannot record the attachment: ") + failure.what());
    removeTree(*mountPoint);
    fs::remove(marker, error);
    return 1;
  }
  return 0;
}

int detach(const std::vector<std::string>& arguments) {
  std::optional<fs::path> mountPoint;
  for (const std::string& argument : arguments) {
    if (argument == "-force" || argument == "-quiet") continue;
    if (mountPoint || argument.empty() || argument[0] == '-') return usage();
    mountPoint = argument;
  }
  if (!mountPoint) return usage();
  const fs::path marker = markerFor(*mountPoint);
  std::error_code error;
  if (!fs::is_regular_file(fs::symlink_status(marker, error)) ||
      !fs::is_directory(fs::symlink_status(*mountPoint, error))) {
    complain(kTool, mountPoint->string() + ": no image is attached there");
    return 1;
  }
  try {
    removeTree(*mountPoint);
    fs::remove(marker);
  } catch (const std::exception& failure) {
    complain(kTool, std::string("detach failed: ") + failure.what());
    return 1;
  }
  return 0;
}

int create(const std::vector<std::string>& arguments) {
  std::optional<fs::path> source;
  std::optional<fs::path> image;
  bool overwrite = false;
  for (std::size_t index = 0; index < arguments.size(); ++index) {
    const std::string& argument = arguments[index];
    if (argument == "-srcfolder") {
      if (++index >= arguments.size()) return usage();
      source = arguments[index];
    } else if (argument == "-volname" || argument == "-format" || argument == "-fs") {
      // squashfs has no volume name, and there is only one format.
      if (++index >= arguments.size()) return usage();
    } else if (argument == "-ov") {
      overwrite = true;
    } else if (argument == "-quiet") {
    } else if (!argument.empty() && argument[0] != '-' && !image) {
      image = argument;
    } else {
      return usage();
    }
  }
  if (!source || !image) return usage();
  std::error_code error;
  if (!fs::is_directory(*source, error)) {
    complain(kTool, source->string() + ": no such folder");
    return 1;
  }
  if (fs::exists(fs::symlink_status(*image, error))) {
    if (!overwrite) {
      complain(kTool, image->string() + ": file exists");
      return 1;
    }
    fs::remove(*image, error);
  }
  if (runQuietly("mksquashfs", {source->string(), image->string(), "-noappend", "-no-progress",
                                "-quiet", "-no-xattrs", "-comp", "gzip"}) != 0) {
    complain(kTool, "create failed");
    fs::remove(*image, error);
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const std::string verb = argv[1];
  const std::vector<std::string> arguments(argv + 2, argv + argc);
  try {
    if (verb == "attach") return attach(arguments);
    if (verb == "detach" || verb == "eject") return detach(arguments);
    if (verb == "create") return create(arguments);
  } catch (const std::exception& error) {
    complain(kTool, error.what());
    return 1;
  }
  return usage();
}
