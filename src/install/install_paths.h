#pragma once

#include <filesystem>
#include <functional>
#include <string_view>

// Where the application goes and how a prepared copy takes the place of the installed one.
//
// Every operation is synchronous and keeps no state; call target and replace from a background
// thread (they touch the disk). Failures are InstallerFailure values with reason general, except
// that replace passes its verification callback's error through unchanged after rolling back.
namespace vexa::InstallPaths {

// The only product names a target is ever formed for.
inline constexpr std::string_view acceptedProductNames[] = {"Vexa", "Vexa Staging"};

// The default install parent, /Applications on macOS and ~/Applications here. A missing last
// component is created (0700) on first use, so a fresh account can install; an existing folder is
// kept as it is, and a symbolic link there is neither followed nor replaced (target refuses it).
// Never throws: a folder that cannot be created is refused by target.
[[nodiscard]] std::filesystem::path defaultParent();

// The application path <parent>/<productName>.app, after checking that `parent` is a safe, real
// folder to install into: absolute, not the root, not inside a bundle, an existing folder,
// writable by this user when `requireWritable`, reached through no symbolic link, and
// `productName` one of the accepted names. Any of those refused gives "Cannot write to
// Applications"; a target that is itself a symbolic link gives the symbolic-link failure. The
// target need not exist.
[[nodiscard]] std::filesystem::path target(const std::filesystem::path& parent,
                                           std::string_view productName,
                                           bool requireWritable = true);

// Checks a new copy at the target path and undoes the move when the check fails.
using Verification = std::function<void(const std::filesystem::path& target)>;

// Puts the complete copy at `staged` (a sibling of `target`) in the place of whatever is at
// `target` with one atomic exchange (or, when the target is empty, one rename that never
// replaces), flushing the volume around the move, then calls `verify` with the target path.
// When `verify` throws, the move is undone with one more atomic rename and verify's error is
// rethrown; the previous application is back at the target.
//
// At no moment is the target path empty while an application was there. What is left at `staged`
// goes (discard) whenever it is of no use: the new copy after a refused move or a successful
// rollback, the previous application after success. It stays only after a failed swap back, where
// it holds the previous application (which the message asks the user to keep), and whenever its
// removal fails.
void replace(const std::filesystem::path& staged, const std::filesystem::path& target,
             const Verification& verify);

// Removes a copy of the application made by the installer. It is first renamed to its name with
// the extension .incomplete, so that a removal cut short (the process killed) leaves an item any
// later install recognises as unfinished, never what looks like a damaged application. Failures
// (nothing there included) are ignored.
void discard(const std::filesystem::path& copy) noexcept;

}  // namespace vexa::InstallPaths
