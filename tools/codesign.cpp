// codesign stand-in.
//   codesign --verify [--deep] [--strict] [-R REQUIREMENT] BUNDLE
//   codesign --sign CERTIFICATE.pem --key KEY.pem [--chain CHAIN.pem] [--identifier ID] [--deep]
//   BUNDLE
// A requirement beginning with "=" is the requirement text itself; otherwise it names a file
// holding it. Verification trusts only the anchor next to this tool (../Resources). Exit status:
// 0 valid, 1 invalid or failed, 2 usage, 3 valid signature that does not satisfy the requirement.
#include <filesystem>
#include <optional>
#include <string>

#include "file_descriptor.h"
#include "requirement_reader.h"
#include "seal.h"
#include "tool_support.h"

namespace {

using namespace vexa::tools;
constexpr const char* kTool = "codesign";

int usage() {
  complain(kTool,
           "usage: codesign --verify [--deep] [--strict] [-R requirement] bundle | "
           "codesign --sign cert.pem --key key.pem [--chain chain.pem] [--identifier id] [--deep] "
           "bundle");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  bool verifyMode = false;
  bool deep = false;
  std::optional<std::string> requirement;
  std::optional<std::string> certificate, key, chain, identifier;
  std::optional<std::filesystem::path> bundle;
  for (int index = 1; index < argc; ++index) {
    const std::string argument = argv[index];
    auto value = [&]() -> std::optional<std::string> {
      if (index + 1 >= argc) return std::nullopt;
      return std::string(argv[++index]);
    };
    if (argument == "--verify" || argument == "-v") {
      verifyMode = true;
    } else if (argument == "--deep") {
      deep = true;
    } else if (argument == "--strict" || argument == "--force" || argument == "-f") {
      // Verification is always strict and signing always replaces an existing signature.
    } else if (argument == "-R") {
      if (!(requirement = value())) return usage();
    } else if (argument == "--sign" || argument == "-s") {
      if (!(certificate = value())) return usage();
    } else if (argument == "--key") {
      if (!(key = value())) return usage();
    } else if (argument == "--chain") {
      if (!(chain = value())) return usage();
    } else if (argument == "--identifier" || argument == "-i") {
      if (!(identifier = value())) return usage();
    } else if (!argument.empty() && argument[0] != '-' && !bundle) {
      bundle = argument;
    } else {
      return usage();
    }
  }
  if (!bundle || verifyMode == certificate.has_value()) return usage();

  try {
    if (certificate) {
      if (!key) return usage();
      const SigningIdentity identity{
          *certificate, *key, chain ? std::optional<std::filesystem::path>(*chain) : std::nullopt};
      if (deep) {
        for (const std::filesystem::path& nested : nestedBundles(*bundle)) {
          signBundle(nested,
                     infoString(nested, "CFBundleIdentifier").value_or(nested.stem().string()),
                     identity);
        }
      }
      const std::string id =
          identifier ? *identifier
                     : infoString(*bundle, "CFBundleIdentifier").value_or(bundle->stem().string());
      signBundle(*bundle, id, identity);
      return 0;
    }

    if (!std::filesystem::is_directory(*bundle)) {
      complain(kTool, bundle->string() + ": not a bundle");
      return 1;
    }
    const SignatureCheck signature = checkSignature(*bundle, anchorPath(), deep);
    if (requirement) {
      std::string text = *requirement;
      if (!text.empty() && text[0] == '=') {
        text.erase(0, 1);
      } else {
        text = readFileBytes(text);
      }
      if (!satisfiesRequirement(text, signature)) {
        complain(kTool,
                 bundle->string() +
                     ": test-requirement: code failed to satisfy specified code requirement(s)");
        return 3;
      }
    }
    return 0;
  } catch (const std::exception& error) {
    complain(kTool, bundle->string() + ": " + error.what());
    return 1;
  }
}
