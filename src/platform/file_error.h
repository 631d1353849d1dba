#pragma once

#include <string>
#include <system_error>
#include <type_traits>

namespace vexa::platform {

// The platform's own file error codes, for failures that are decisions of the installer rather
// than of a system call (a refused path, a held lock file, a file whose content is unacceptable).
// They travel as std::system_error in fileErrorCategory(), next to errno-based errors in
// std::generic_category(), and keep the numbers the platform's file errors use.
enum class FileError {
  fileLocking = 255,
  fileReadNoPermission = 257,
  fileReadCorruptFile = 259,
};

[[nodiscard]] const std::error_category& fileErrorCategory();
[[nodiscard]] std::error_code make_error_code(FileError error);

}  // namespace vexa::platform

template <>
struct std::is_error_code_enum<vexa::platform::FileError> : std::true_type {};
