#include "fuzz_support.h"

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>

namespace {

std::string& ScratchDir() {
  static std::string dir;
  return dir;
}

void RemoveScratchDir() {
  std::error_code error;
  std::filesystem::remove_all(ScratchDir(), error);
}

}  // namespace

std::string FuzzScratchFile(const char* name) {
  if (ScratchDir().empty()) {
    std::string pattern = (std::filesystem::temp_directory_path() / "pxq-fuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) FuzzFail("no scratch directory");
    ScratchDir() = pattern;
    atexit(RemoveScratchDir);
  }
  return ScratchDir() + "/" + name;
}

void FuzzWriteFile(const std::string& path, const uint8_t* data, size_t size) {
  FILE* file = fopen(path.c_str(), "wb");
  if (file == nullptr) FuzzFail("cannot write " + path);
  const bool written = size == 0 || fwrite(data, 1, size, file) == size;
  if (fclose(file) != 0 || !written) FuzzFail("cannot write " + path);
}

void FuzzFail(const std::string& what) {
  fprintf(stderr, "%s\n", what.c_str());
  abort();
}
