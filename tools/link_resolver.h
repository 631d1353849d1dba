#pragma once

#include <filesystem>

// Resolving links inside a bundle, for the seal of the code-signing stand-ins. Reads the file
// system only; any error reading a link counts as leaving.
namespace vexa::tools {

// Whether the link at `relative` below `root` resolves without ever leaving `root`: its target is
// followed from the link's folder component by component, and every link met on the way is
// followed in turn, as the system would. A text check is not enough: with "here -> .", the link
// "up -> here/../.." looks harmless but names the folder above the root. A component that does
// not exist is taken as written (the system would stop there). Too many links mean a loop.
[[nodiscard]] bool linkStaysInside(const std::filesystem::path& root,
                                   const std::filesystem::path& relative);

}  // namespace vexa::tools
