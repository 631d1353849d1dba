#pragma once

#include <filesystem>

// Folders the installer keeps for itself are private to the user (0700).
namespace vexa::platform {

// Creates `path` and any missing parent folders, each new one with permissions 0700 (whatever the
// umask). An existing folder is left as it is. Throws std::system_error naming the folder.
void createPrivateDirectories(const std::filesystem::path& path);

// Sets the permissions of the folder at `path` to exactly 0700, narrowing a wider existing folder.
// Throws std::system_error.
void restrictToOwner(const std::filesystem::path& path);

}  // namespace vexa::platform
