#pragma once

#include <filesystem>

// The one path-safety rule of the installer: a path is accepted only when its form with every
// symbolic link resolved equals its standardized form (dot segments removed, links kept). A path
// that is, or passes through, a symbolic link therefore fails. Every caller that protects a
// folder or file against link tricks uses resolvesToItself; nobody re-implements it.
namespace vexa::platform {

// Lexical only: "." and ".." removed, repeated and trailing separators dropped; links untouched.
[[nodiscard]] std::filesystem::path standardizedPath(const std::filesystem::path& path);

// Every symbolic link along the existing part of the path resolved (realpath of the longest
// existing prefix, the rest appended and standardized). A missing tail is fine; a path whose
// existing part cannot be resolved (a dangling link, a link loop, a file used as a folder, a
// folder without search permission) throws std::system_error.
[[nodiscard]] std::filesystem::path resolvedPath(const std::filesystem::path& path);

// True when resolvedPath(path) and standardizedPath(path) are the same text. A path that cannot be
// resolved is never safe.
[[nodiscard]] bool resolvesToItself(const std::filesystem::path& path);

}  // namespace vexa::platform
