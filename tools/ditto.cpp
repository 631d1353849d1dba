// ditto stand-in: ditto SOURCE DESTINATION
// Copies the tree at SOURCE to DESTINATION (created with any missing parents; an existing folder is
// merged into), keeping symbolic links as links, permission bits and modification times. From a
// volume attached by hdiutil the permission bits are those the image holds (see hdiutil). Folders
// get their final modes and times after their content is written, so read-only sources copy.
// Exit status 0 on success, 1 on the first failure (a partial copy is left for the caller).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

#include "aligned_buffer.h"
#include "attached_volume.h"
#include "file_descriptor.h"
#include "tool_support.h"

namespace {

namespace fs = std::filesystem;
using namespace vexa::tools;

[[noreturn]] void fail(const fs::path& path) {
  throw std::system_error(errno, std::generic_category(), path.string());
}

void copyTimes(const fs::path& source, const struct stat& status, const fs::path& destination) {
  (void)source;
  const timespec times[2] = {status.st_atim, status.st_mtim};
  if (::utimensat(AT_FDCWD, destination.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
    fail(destination);
}

void copyFile(const fs::path& source, const struct stat& status, const fs::path& destination) {
  const FileDescriptor in = openRegularFile(source, O_NOFOLLOW);
  FileDescriptor out(
      ::open(destination.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (out.get() < 0) fail(destination);
  ::posix_fadvise(in.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  AlignedBuffer& buffer = readBuffer();
  while (const std::size_t count = readSome(in, buffer.data(), buffer.size(), source)) {
    for (std::size_t written = 0; written < count;) {
      const ssize_t step = ::write(out.get(), buffer.data() + written, count - written);
      if (step < 0 && errno == EINTR) continue;
      if (step < 0) fail(destination);
      written += static_cast<std::size_t>(step);
    }
  }
  // A write error may only show when the file is closed (on a network volume, for example).
  if (::fchmod(out.get(), status.st_mode & 07777) != 0 || ::close(out.release()) != 0)
    fail(destination);
  copyTimes(source, status, destination);
}

// The modes of the attached volume the copy comes from, when it comes from one: its items carry
// their image's modes, not the read-only ones the extraction shows.
std::optional<AttachedVolume> sourceVolume;

void copyTree(const fs::path& source, const fs::path& destination) {
  struct stat status {};
  if (::lstat(source.c_str(), &status) != 0) fail(source);
  if (sourceVolume && !S_ISLNK(status.st_mode)) {
    fs::path relative = source.lexically_normal().lexically_relative(sourceVolume->mountPoint);
    const std::string key = relative == "." ? std::string() : relative.generic_string();
    if (auto own = sourceVolume->modes.find(key); own != sourceVolume->modes.end()) {
      status.st_mode = (status.st_mode & ~static_cast<mode_t>(07777)) | own->second;
    }
  }
  if (S_ISLNK(status.st_mode)) {
    std::error_code error;
    const fs::path target = fs::read_symlink(source, error);
    if (error) throw std::system_error(error, source.string());
    if (::symlink(target.c_str(), destination.c_str()) != 0) fail(destination);
    copyTimes(source, status, destination);
  } else if (S_ISREG(status.st_mode)) {
    copyFile(source, status, destination);
  } else if (S_ISDIR(status.st_mode)) {
    if (::mkdir(destination.c_str(), 0700) != 0 && errno != EEXIST) fail(destination);
    std::error_code error;
    for (fs::directory_iterator it(source, error), end; it != end; it.increment(error)) {
      if (error) break;
      copyTree(it->path(), destination / it->path().filename());
    }
    if (error) throw std::system_error(error, source.string());
    if (::chmod(destination.c_str(), status.st_mode & 07777) != 0) fail(destination);
    copyTimes(source, status, destination);
  } else {
    errno = ENOTSUP;
    fail(source);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    complain("ditto", "usage: ditto source destination");
    return 2;
  }
  const fs::path source = argv[1];
  const fs::path destination = argv[2];
  try {
    std::error_code ignored;
    if (destination.has_parent_path()) fs::create_directories(destination.parent_path());
    sourceVolume = attachedVolumeContaining(source);
    if (sourceVolume) {
      // Paths compare lexically against the mount point from here on.
      sourceVolume->mountPoint = sourceVolume->mountPoint.lexically_normal();
    }
    copyTree(fs::absolute(source).lexically_normal(), destination);
    return 0;
  } catch (const std::exception& error) {
    complain("ditto", error.what());
    return 1;
  }
}
