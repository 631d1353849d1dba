#include "platform/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "platform/random_uuid.h"
#include "platform/system_error.h"
#include "platform/unique_fd.h"

namespace vexa::platform {
namespace {

void writeAll(int fd, std::string_view content, const std::string& what) {
  while (!content.empty()) {
    ssize_t written = ::write(fd, content.data(), content.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      throwErrno(what);
    }
    content.remove_prefix(static_cast<std::size_t>(written));
  }
}

// Removes the temporary file unless the rename took it over.
class TemporaryName {
 public:
  explicit TemporaryName(std::filesystem::path path) : path_(std::move(path)) {}
  ~TemporaryName() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  TemporaryName(const TemporaryName&) = delete;
  TemporaryName& operator=(const TemporaryName&) = delete;
  void keep() { path_.clear(); }

 private:
  std::filesystem::path path_;
};

}  // namespace

void writeFileAtomically(const std::filesystem::path& target, std::string_view content,
                         mode_t mode) {
  const std::filesystem::path folder = target.has_parent_path() ? target.parent_path() : ".";
  // Hidden, and ending in neither the target's extension nor anything a folder scan counts.
  const std::filesystem::path temporary =
      folder / ("." + target.filename().string() + "." + randomUuid() + ".tmp");

  UniqueFd fd(
      ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
  if (!fd) throwErrno("cannot create " + temporary.string());
  TemporaryName cleanup(temporary);

  writeAll(fd.get(), content, "cannot write " + temporary.string());
  // The creation mode went through the umask; set the exact mode before the name is visible.
  if (::fchmod(fd.get(), mode) != 0)
    throwErrno("cannot set the permissions of " + temporary.string());
  if (::fsync(fd.get()) != 0) throwErrno("cannot flush " + temporary.string());
  if (::close(fd.release()) != 0) throwErrno("cannot close " + temporary.string());
  if (::rename(temporary.c_str(), target.c_str()) != 0)
    throwErrno("cannot rename to " + target.string());
  cleanup.keep();

  // Make the rename itself durable; a failure here no longer affects what readers see.
  UniqueFd directory(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (directory) ::fsync(directory.get());
}

}  // namespace vexa::platform
