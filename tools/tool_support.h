#pragma once

#include <filesystem>
#include <string>
#include <vector>

// Shared pieces of the Linux stand-ins for the macOS system tools. The tools print diagnostics on
// standard error only and report their outcome by exit status; nothing here writes to stdout.
namespace vexa::tools {

// Prints "<tool>: <message>" on standard error.
void complain(const std::string& tool, const std::string& message);

// This tool's own folder (from /proc/self/exe, so copies of the tools work where they are put).
[[nodiscard]] std::filesystem::path ownDirectory();

// The trusted signing anchor: <own folder>/../Resources/code-signing-anchor.pem.
[[nodiscard]] std::filesystem::path anchorPath();

// Runs a program found on PATH with its standard output sent to our standard error (our stdout
// stays clean), inheriting only descriptors 0 to 2, and killed if this tool dies first. Returns its
// exit status (127 when it cannot be executed), or -1 when it could not be started or died of a
// signal.
[[nodiscard]] int runQuietly(const std::string& program, const std::vector<std::string>& arguments);

}  // namespace vexa::tools
