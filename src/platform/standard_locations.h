#pragma once

#include <filesystem>

// Where the macOS folders the installer uses live on this system. Each call reads the environment
// afresh (tests point HOME and the XDG variables at temporary folders). Nothing is created here.
namespace vexa::platform {

// $HOME, else the password database's home folder of the current user.
[[nodiscard]] std::filesystem::path homeDirectory();
// ~/Library/Caches: $XDG_CACHE_HOME when absolute, else ~/.cache.
[[nodiscard]] std::filesystem::path cachesDirectory();
// ~/Library/Application Support: $XDG_DATA_HOME when absolute, else ~/.local/share.
[[nodiscard]] std::filesystem::path applicationSupportDirectory();
// /Applications, the default install parent: ~/Applications (per user; nothing runs elevated), the
// home folder taken with its symbolic links resolved.
[[nodiscard]] std::filesystem::path applicationsDirectory();
// The user's temporary folder with symbolic links resolved: $TMPDIR when absolute, else /tmp.
[[nodiscard]] std::filesystem::path temporaryDirectory();

}  // namespace vexa::platform
