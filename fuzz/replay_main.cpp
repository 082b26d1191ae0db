// Runs a fuzz target's LLVMFuzzerTestOneInput over every file of the
// directories (or files) named on the command line, in name order, so that
// its corpus is replayed as an ordinary test with any compiler.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  std::vector<std::filesystem::path> inputs;
  for (int i = 1; i < argc; ++i) {
    std::error_code error;
    if (std::filesystem::is_directory(argv[i], error)) {
      for (const auto& item : std::filesystem::directory_iterator(argv[i], error))
        if (item.is_regular_file()) inputs.push_back(item.path());
    } else if (std::filesystem::is_regular_file(argv[i], error)) {
      inputs.push_back(argv[i]);
    } else {
      fprintf(stderr, "no such input: %s\n", argv[i]);
      return 2;
    }
  }
  if (inputs.empty()) {
    fprintf(stderr, "usage: %s CORPUS-DIRECTORY|FILE... (and at least one input)\n", argv[0]);
    return 2;
  }
  std::sort(inputs.begin(), inputs.end());
  for (const auto& path : inputs) {
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) {
      fprintf(stderr, "cannot read %s\n", path.c_str());
      return 2;
    }
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  }
  printf("%zu inputs replayed\n", inputs.size());
  return 0;
}
