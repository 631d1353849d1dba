#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace vexa::platform {

// Starts `executable` as an independent program, the way the desktop opens an application: in a
// session of its own (so neither the installer's terminal nor its process group reaches it), with
// standard input, output and error on /dev/null, default signal dispositions, nothing blocked, and
// no descriptor but 0 to 2. It outlives the installer.
//
// Returns once the program runs. A program that cannot be executed (missing, not executable, not a
// program) is reported as std::system_error with the system's errno and the path; the caller shows
// its what(). The started process is reaped by a background thread when it ends, so it never stays
// a zombie of the installer. Thread-safe.
void startDetachedProcess(const std::filesystem::path& executable,
                          const std::vector<std::string>& arguments = {});

}  // namespace vexa::platform
