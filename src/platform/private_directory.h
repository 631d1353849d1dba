#pragma once

#include <filesystem>

// Folders the installer keeps for itself are private to the user (0700).
namespace vexa::platform {

// Creates `path` and any missing parent folders, each new one with permissions 0700 (whatever the
// umask). An existing folder is left as it is. Never follows a symbolic link: a link anywhere on
// the path, or a file where a folder belongs, throws std::system_error (ELOOP or ENOTDIR) naming
// the component, and nothing is created behind it. Callers still judge the finished path with
// resolvesToItself where the path-safety rule applies.
void createPrivateDirectories(const std::filesystem::path& path);

// Sets the permissions of the folder at `path` to exactly 0700, narrowing a wider existing folder.
// A symbolic link in the folder's place is refused, not followed. Throws std::system_error.
void restrictToOwner(const std::filesystem::path& path);

}  // namespace vexa::platform
