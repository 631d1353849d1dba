#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

// The code signature of the stand-ins for codesign and spctl: a seal (Contents/_CodeSignature/
// CodeResources, a property list of every item's digest or link target) and a detached CMS
// signature over it (CodeSignature). Called from one thread; sealing a bundle hashes its files on
// a pool of threads of its own (one per processor), each file read once by one of them.
namespace vexa::tools {

// The bundle's Contents/Info.plist value for `key` when it is a string.
[[nodiscard]] std::optional<std::string> infoString(const std::filesystem::path& bundle,
                                                    const std::string& key);

// One signed item of a bundle: a regular file's SHA-256 and executable flag, or a link's target.
struct SealedItem {
  bool isLink = false;
  std::string digest;  // raw 32 bytes for files
  bool executable = false;
  std::string linkTarget;
  bool operator==(const SealedItem&) const = default;
};

// What a signature seals: the signing identifier and every file and link below the bundle root
// (relative paths), except the seal itself (Contents/_CodeSignature/CodeResources and
// CodeSignature).
struct Seal {
  std::string identifier;
  std::map<std::string, SealedItem> items;
};

// Reads the bundle as it is now, hashing each file once (files in parallel). Throws
// std::runtime_error for anything that cannot be sealed: a device, socket or pipe, an absolute
// link, or a link that leads out of the bundle once every link on its way is followed (or meets too
// many links: a loop).
[[nodiscard]] Seal sealBundle(const std::filesystem::path& bundle, const std::string& identifier);

// Folders below `bundle` (not the bundle itself) that are bundles of their own (named *.app,
// *.framework, *.appex, *.xpc, *.bundle, *.plugin and holding a Contents folder), deepest first.
[[nodiscard]] std::vector<std::filesystem::path> nestedBundles(const std::filesystem::path& bundle);

struct SigningIdentity {
  std::filesystem::path certificate;           // leaf first, then any intermediates (PEM)
  std::filesystem::path privateKey;            // PEM
  std::optional<std::filesystem::path> chain;  // more intermediates (PEM)
};

// Writes Contents/_CodeSignature/CodeResources and CodeSignature (a detached CMS signature over
// CodeResources). Throws std::runtime_error.
void signBundle(const std::filesystem::path& bundle, const std::string& identifier,
                const SigningIdentity& identity);

// The outcome of checking a bundle's signature.
struct SignatureCheck {
  std::string identifier;  // the sealed identifier
  std::string leafTeam;    // the first OU of the signer's subject
};

// Checks the signature chain up to the anchor (only the anchor is trusted), the code-signing
// usage of the leaf, and that the bundle's content is exactly what was sealed (nothing added,
// missing or changed). With `deep`, nested bundles are checked the same way. Throws
// std::runtime_error with the reason.
[[nodiscard]] SignatureCheck checkSignature(const std::filesystem::path& bundle,
                                            const std::filesystem::path& anchor, bool deep);

}  // namespace vexa::tools
