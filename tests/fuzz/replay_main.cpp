// Replays saved inputs through a fuzz target without libFuzzer, so that the seeds and the inputs
// that once failed are checked by every ordinary (g++) build as a regression test.
//
// Usage: <target> PATH...   A file is one input; so is every regular file of a folder, in name
// order. A missing folder counts as empty (a target has no crashers until one is found); running no
// input at all is a failure, since it means the seeds were not found. A faulty input ends the
// program the way it would end the fuzzer: by an abort, a sanitizer report or an uncaught
// exception.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/temporary_directory.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  std::vector<fs::path> inputs;
  for (int index = 1; index < argc; ++index) {
    const fs::path folder = argv[index];
    const std::size_t first = inputs.size();
    if (fs::is_directory(folder)) {
      for (const auto& entry : fs::directory_iterator(folder))
        if (entry.is_regular_file()) inputs.push_back(entry.path());
    } else if (fs::exists(folder)) {
      inputs.push_back(folder);
    }
    std::sort(inputs.begin() + static_cast<std::ptrdiff_t>(first), inputs.end());
  }
  for (const fs::path& input : inputs) {
    std::fprintf(stderr, "replaying %s\n", input.c_str());
    const std::string bytes = vexa::testing::readFile(input);  // throws when unreadable
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  }
  std::printf("replayed %zu inputs\n", inputs.size());
  return inputs.empty() ? 1 : 0;
}
