// ditto stand-in: ditto SOURCE DESTINATION
// Copies the tree at SOURCE to DESTINATION (created with any missing parents; an existing folder is
// merged into), keeping symbolic links as links, permission bits and modification times. From a
// volume attached by hdiutil the permission bits are those the image holds (see hdiutil). Folders
// get their final modes and times after their content is written, so read-only sources copy.
// Files are copied in the kernel (copy_file_range), several at a time, data regions only: a sparse
// file stays sparse.
// Exit status 0 on success, 1 on the first failure (a partial copy is left for the caller).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "aligned_buffer.h"
#include "attached_volume.h"
#include "file_descriptor.h"
#include "tool_support.h"
#include "work_pool.h"

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

// Copies the bytes of [from, to) at the same offsets, in the kernel where it can (no trip through
// this process's memory); a file system that cannot copy that way gets reads and writes.
void copyRange(int in, int out, off_t from, off_t to, const fs::path& source,
               const fs::path& destination) {
  bool inKernel = true;
  while (from < to) {
    if (inKernel) {
      loff_t inOffset = from, outOffset = from;
      const ssize_t copied =
          ::copy_file_range(in, &inOffset, out, &outOffset, static_cast<std::size_t>(to - from), 0);
      if (copied > 0) {
        from += copied;
        continue;
      }
      if (copied < 0 && errno == EINTR) continue;
      // Nothing copied (some file systems answer so) or not supported here: plain reads decide.
      if (copied < 0 && errno != EXDEV && errno != EINVAL && errno != ENOSYS &&
          errno != EOPNOTSUPP && errno != ETXTBSY) {
        fail(destination);
      }
      inKernel = false;
    }
    AlignedBuffer& buffer = readBuffer();
    const ssize_t count =
        ::pread(in, buffer.data(), std::min<std::size_t>(buffer.size(), to - from), from);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) fail(source);
    if (count == 0) {
      errno = EIO;  // the source ended early: it changed while being copied
      fail(source);
    }
    for (ssize_t written = 0; written < count;) {
      const ssize_t step = ::pwrite(out, buffer.data() + written, count - written, from + written);
      if (step < 0 && errno == EINTR) continue;
      if (step < 0) fail(destination);
      written += step;
    }
    from += count;
  }
}

// Copies the file's data regions only: holes stay holes (a sparse file stays sparse), and the
// length is set at the end so a trailing hole is kept too.
void copyFile(const fs::path& source, const struct stat& status, const fs::path& destination) {
  const FileDescriptor in = openRegularFile(source, O_NOFOLLOW);
  FileDescriptor out(
      ::open(destination.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (out.get() < 0) fail(destination);
  struct stat opened {};
  if (::fstat(in.get(), &opened) != 0) fail(source);
  const off_t size = opened.st_size;
  for (off_t position = 0; position < size;) {
    off_t data = ::lseek(in.get(), position, SEEK_DATA);
    if (data < 0 && errno == ENXIO) break;  // only a hole from here to the end
    off_t hole = data < 0 ? size : ::lseek(in.get(), data, SEEK_HOLE);
    if (data < 0) data = position;  // no hole support here: everything is data
    if (hole < 0 || hole > size) hole = size;
    copyRange(in.get(), out.get(), data, hole, source, destination);
    position = hole;
  }
  if (::ftruncate(out.get(), size) != 0) fail(destination);
  // A write error may only show when the file is closed (on a network volume, for example).
  if (::fchmod(out.get(), status.st_mode & 07777) != 0 || ::close(out.release()) != 0)
    fail(destination);
  copyTimes(source, status, destination);
}

// The modes of the attached volume the copy comes from, when it comes from one: its items carry
// their image's modes, not the read-only ones the extraction shows.
std::optional<AttachedVolume> sourceVolume;

// A folder or file still to be finished once everything is in place.
struct PendingItem {
  fs::path source, destination;
  struct stat status;
};

// Creates folders and links as it walks, and lists the files (copied afterwards, in parallel) and
// the folders (finished last, so that a read-only folder is only made so once it is full).
void copyStructure(const fs::path& source, const fs::path& destination,
                   std::vector<PendingItem>& files, std::vector<PendingItem>& folders) {
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
    files.push_back({source, destination, status});
  } else if (S_ISDIR(status.st_mode)) {
    if (::mkdir(destination.c_str(), 0700) != 0 && errno != EEXIST) fail(destination);
    std::error_code error;
    for (fs::directory_iterator it(source, error), end; it != end; it.increment(error)) {
      if (error) break;
      copyStructure(it->path(), destination / it->path().filename(), files, folders);
    }
    if (error) throw std::system_error(error, source.string());
    folders.push_back({source, destination, status});  // after its content: deepest first
  } else {
    errno = ENOTSUP;
    fail(source);
  }
}

void copyTree(const fs::path& source, const fs::path& destination) {
  std::vector<PendingItem> files, folders;
  copyStructure(source, destination, files, folders);
  // Several files at a time, so that the system calls of many small files, or the waits of a slow
  // disk, overlap; largest first, so that one big file is not left to a single thread at the end.
  std::stable_sort(files.begin(), files.end(), [](const PendingItem& a, const PendingItem& b) {
    return a.status.st_size > b.status.st_size;
  });
  runInParallel(files.size(), [&](std::size_t index) {
    copyFile(files[index].source, files[index].status, files[index].destination);
  });
  for (const PendingItem& folder : folders) {
    if (::chmod(folder.destination.c_str(), folder.status.st_mode & 07777) != 0)
      fail(folder.destination);
    copyTimes(folder.source, folder.status, folder.destination);
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
