#pragma once

#include <filesystem>

namespace vexa::NativeInstaller {

// Opens the application bundle at `bundle` as the desktop would: its main executable, named by
// CFBundleExecutable in Contents/Info.plist, starts as an independent program in its own session
// (platform::startDetachedProcess). Returns once it runs.
//
// Failures, shown to the user as they are: the Info.plist's own errors (missing, unreadable, not a
// property list); InstallerFailure "The application information is invalid." when the executable
// is not named, or named with a path instead of a plain name; the system's error (with the path)
// when the executable cannot be run. Blocking only for the start; any thread.
void openApplication(const std::filesystem::path& bundle);

}  // namespace vexa::NativeInstaller
