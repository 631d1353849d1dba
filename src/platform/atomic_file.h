#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string_view>

namespace vexa::platform {

// Replaces (or creates) `target` with exactly `content`, so that any reader sees either the old
// file or the complete new one, never a part: the bytes go to a fresh temporary file in the same
// folder (exclusive create, close-on-exec, no-follow, mode `mode`), which is flushed to disk and
// then renamed over `target`. The folder is flushed too, so the new name survives a power loss.
//
// Any thread. Throws std::system_error (errno and the system's text) on the first failing step;
// the temporary file is then removed and `target` is left as it was. `target` being a folder
// fails (rename refuses to replace a folder by a file).
void writeFileAtomically(const std::filesystem::path& target, std::string_view content,
                         mode_t mode = 0600);

}  // namespace vexa::platform
