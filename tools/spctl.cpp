// spctl stand-in: spctl --assess --type execute BUNDLE
// Accepts a bundle whose signature is valid up to the anchor next to this tool (nested code
// included) and whose main executable (Info.plist CFBundleExecutable in Contents/MacOS) is an
// executable regular file. Exit status 0 accepted, 3 rejected, 2 usage.
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "seal.h"
#include "tool_support.h"

namespace {
using namespace vexa::tools;
constexpr const char* kTool = "spctl";
}  // namespace

int main(int argc, char** argv) {
  if (argc != 5 || std::string(argv[1]) != "--assess" || std::string(argv[2]) != "--type") {
    complain(kTool, "usage: spctl --assess --type execute bundle");
    return 2;
  }
  if (std::string(argv[3]) != "execute") {
    complain(kTool, std::string("unsupported assessment type ") + argv[3]);
    return 2;
  }
  const std::filesystem::path bundle = argv[4];
  try {
    (void)checkSignature(bundle, anchorPath(), true);
    const std::optional<std::string> executable = infoString(bundle, "CFBundleExecutable");
    if (!executable || executable->empty() || executable->find('/') != std::string::npos) {
      complain(kTool, bundle.string() + ": rejected (no main executable)");
      return 3;
    }
    struct stat status {};
    const std::filesystem::path path = bundle / "Contents" / "MacOS" / *executable;
    if (::lstat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode) ||
        (status.st_mode & 0111) == 0) {
      complain(kTool, bundle.string() + ": rejected (main executable missing or not executable)");
      return 3;
    }
    return 0;
  } catch (const std::exception& error) {
    complain(kTool, bundle.string() + ": rejected (" + error.what() + ")");
    return 3;
  }
}
