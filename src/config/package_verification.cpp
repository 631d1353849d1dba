#include "config/package_verification.h"

#include <optional>

#include "config/installer_copy.h"
#include "config/installer_failure.h"
#include "platform/sha256.h"

namespace vexa {

void verifyDownload(const InstallConfiguration& configuration,
                    const std::filesystem::path& package) {
  // One descriptor, opened without following a final link, gives both the size and the bytes, so
  // nothing can pass with one item's size and another's content. A link, folder or FIFO is not a
  // package of any size and fails as one of the wrong size would.
  std::optional<platform::HashableFile> file = platform::HashableFile::open(package);
  // The length decides first, so a file of the wrong size is never read.
  if (!file || file->size() != configuration.sizeBytes) {
    throw InstallerFailure(InstallerCopy::text(
        "安装包大小不符，请重新下载。", "The installer size does not match. Download it again."));
  }
  if (file->sha256Hex() != configuration.sha256) {
    throw InstallerFailure(InstallerCopy::text(
        "安装包校验失败，请重新下载。", "Installer verification failed. Download it again."));
  }
}

}  // namespace vexa
