// lipo stand-in: reads the architectures of an ELF or Mach-O (thin or fat) file.
//   lipo FILE -verify_arch ARCH...   exit 0 when the file holds every ARCH, 1 otherwise
//   lipo -archs FILE                 prints the architectures on standard output
#include <fcntl.h>

#include <cstdint>
#include <cstdio>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "file_descriptor.h"
#include "tool_support.h"

namespace {

using namespace vexa::tools;
constexpr const char* kTool = "lipo";

std::uint32_t bigEndian32(const unsigned char* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         p[3];
}
std::uint32_t littleEndian32(const unsigned char* p) {
  return (std::uint32_t{p[3]} << 24) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[1]} << 8) |
         p[0];
}

std::string machOArchitecture(std::uint32_t cpuType) {
  switch (cpuType) {
    case 0x01000007:
      return "x86_64";
    case 0x0100000C:
      return "arm64";
    case 7:
      return "i386";
    case 12:
      return "arm";
    default:
      return "unknown";
  }
}

std::string elfArchitecture(unsigned machine) {
  switch (machine) {
    case 62:
      return "x86_64";
    case 183:
      return "arm64";
    case 3:
      return "i386";
    case 40:
      return "arm";
    default:
      return "unknown";
  }
}

// The architectures in the file's header; throws a description when it is no executable format.
std::set<std::string> architectures(const std::string& path) {
  // Only a regular file, never through a final link: a FIFO or device put in the executable's
  // place must be refused, not block the check forever.
  std::vector<unsigned char> header(4096);
  std::size_t count = 0;
  try {
    const FileDescriptor file = openRegularFile(path, O_NOFOLLOW);
    count = readSome(file, reinterpret_cast<char*>(header.data()), header.size(), path);
  } catch (const std::system_error& error) {
    throw std::string(error.what());
  }
  if (count < 8) throw path + ": not an executable file";
  header.resize(count);
  const unsigned char* p = header.data();
  std::set<std::string> found;
  if (p[0] == 0x7F && p[1] == 'E' && p[2] == 'L' && p[3] == 'F') {
    if (header.size() < 20) throw path + ": truncated ELF header";
    const bool little = p[5] == 1;
    const unsigned machine = little ? (p[18] | (p[19] << 8)) : ((p[18] << 8) | p[19]);
    found.insert(elfArchitecture(machine));
    return found;
  }
  const std::uint32_t magicBig = bigEndian32(p);
  if (magicBig == 0xCAFEBABE || magicBig == 0xCAFEBABF) {
    const bool wide = magicBig == 0xCAFEBABF;
    const std::uint32_t entries = bigEndian32(p + 4);
    const std::size_t entrySize = wide ? 32 : 20;
    // Java class files share the magic; a fat header never lists that many slices.
    if (entries == 0 || entries > 64 || 8 + entries * entrySize > header.size())
      throw path + ": malformed fat header";
    for (std::uint32_t index = 0; index < entries; ++index) {
      found.insert(machOArchitecture(bigEndian32(p + 8 + index * entrySize)));
    }
    return found;
  }
  const std::uint32_t magicLittle = littleEndian32(p);
  if (magicLittle == 0xFEEDFACF || magicLittle == 0xFEEDFACE) {
    found.insert(machOArchitecture(littleEndian32(p + 4)));
    return found;
  }
  if (magicBig == 0xFEEDFACF || magicBig == 0xFEEDFACE) {
    found.insert(machOArchitecture(bigEndian32(p + 4)));
    return found;
  }
  throw path + ": not an executable file";
}

int usage() {
  complain(kTool, "usage: lipo file -verify_arch arch... | lipo -archs file");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  try {
    if (arguments.size() == 2 && arguments[0] == "-archs") {
      std::string line;
      for (const std::string& architecture : architectures(arguments[1]))
        line += (line.empty() ? "" : " ") + architecture;
      std::printf("%s\n", line.c_str());
      return 0;
    }
    if (arguments.size() < 3 || arguments[1] != "-verify_arch") return usage();
    const std::set<std::string> present = architectures(arguments[0]);
    for (std::size_t index = 2; index < arguments.size(); ++index) {
      if (!present.count(arguments[index])) return 1;
    }
    return 0;
  } catch (const std::string& message) {
    complain(kTool, message);
    return 1;
  }
}
