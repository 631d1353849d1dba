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
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  std::size_t replayed = 0;
  for (int index = 1; index < argc; ++index) {
    const std::filesystem::path folder = argv[index];
    if (!std::filesystem::exists(folder)) continue;
    std::vector<std::filesystem::path> inputs;
    if (std::filesystem::is_directory(folder)) {
      for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (entry.is_regular_file()) inputs.push_back(entry.path());
      }
    } else {
      inputs.push_back(folder);
    }
    std::sort(inputs.begin(), inputs.end());
    for (const auto& input : inputs) {
      std::ifstream stream(input, std::ios::binary);
      const std::string bytes((std::istreambuf_iterator<char>(stream)),
                              std::istreambuf_iterator<char>());
      if (!stream.good() && !stream.eof()) {
        std::fprintf(stderr, "cannot read %s\n", input.c_str());
        return 2;
      }
      std::fprintf(stderr, "replaying %s\n", input.c_str());
      LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
      ++replayed;
    }
  }
  std::printf("replayed %zu inputs\n", replayed);
  return replayed == 0 ? 1 : 0;
}
