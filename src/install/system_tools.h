#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "config/installer_failure.h"

namespace vexa {

// Where the system tools the installer runs live. On macOS they are the system's own
// (/usr/bin/hdiutil and friends, /usr/sbin/spctl); on Linux they are the stand-ins shipped in the
// installer bundle's Contents/Helpers. Tests build their own set. Immutable value.
struct SystemTools {
  std::filesystem::path hdiutil;
  std::filesystem::path ditto;
  std::filesystem::path codesign;
  std::filesystem::path spctl;
  std::filesystem::path lipo;

  // The tools of this platform: the running bundle's helpers on Linux, the system's on macOS.
  [[nodiscard]] static SystemTools standard();
  // The five tools, by their usual names, inside one folder.
  [[nodiscard]] static SystemTools inDirectory(const std::filesystem::path& directory);
};

namespace NativeInstaller {

// A hung tool must never freeze the installer, yet copying or hashing a large application on a
// slow or busy disk legitimately takes minutes. Twenty minutes is far beyond any honest run of
// any tool on any product size we ship; a tool still running then is killed.
inline constexpr std::chrono::milliseconds toolTimeLimit = std::chrono::minutes(20);

// The one failure every tool failure becomes: "the installer file check failed".
[[nodiscard]] InstallerFailure toolFailure();

// Runs `tool` (an absolute path) with `arguments`, verbatim and without a shell, and returns its
// whole standard output. Blocks the calling thread (never the main thread) until the child ends.
// Standard error is discarded; the child inherits only descriptors 0 to 2.
//
// Failures: a tool that cannot be launched gives the launch error (std::system_error) unchanged;
// a non-zero exit, death by a signal, or running past `timeLimit` (the child is then killed)
// gives toolFailure(). Thread-safe.
[[nodiscard]] std::string run(const std::filesystem::path& tool,
                              const std::vector<std::string>& arguments,
                              std::chrono::milliseconds timeLimit = toolTimeLimit);

}  // namespace NativeInstaller
}  // namespace vexa
