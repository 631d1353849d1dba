#pragma once

#include <filesystem>
#include <optional>
#include <string>

// What a bundle's signature says about who signed it, read without judging it: whether the
// signature is valid, chains to the anchor and covers the bundle is codesign's question, not this.
namespace vexa::platform {

// The team of the bundle's signer: the organisational unit (OU) in the subject of the one
// certificate in Contents/_CodeSignature/CodeSignature (a DER CMS signature) that is not an
// authority. Nothing when the bundle carries no signature file. Throws std::runtime_error when the
// file is not a readable signature or names no such team, std::system_error when it cannot be
// read. Changes nothing; any thread.
[[nodiscard]] std::optional<std::string> signingTeam(const std::filesystem::path& bundle);

}  // namespace vexa::platform
