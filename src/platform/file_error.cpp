#include "platform/file_error.h"

namespace vexa::platform {
namespace {

class FileErrorCategory final : public std::error_category {
 public:
  const char* name() const noexcept override { return "file"; }
  std::string message(int code) const override {
    switch (static_cast<FileError>(code)) {
      case FileError::fileLocking:
        return "The file couldn't be locked.";
      case FileError::fileReadNoPermission:
        return "The file couldn't be opened because you don't have permission to view it.";
      case FileError::fileReadCorruptFile:
        return "The file couldn't be opened because it isn't in the correct format.";
    }
    return "Unknown file error " + std::to_string(code) + ".";
  }
};

}  // namespace

const std::error_category& fileErrorCategory() {
  static const FileErrorCategory category;
  return category;
}

std::error_code make_error_code(FileError error) {
  return {static_cast<int>(error), fileErrorCategory()};
}

}  // namespace vexa::platform
