// The loader's own ReadVersionArguments over real files: the input is the
// file. What must hold: nothing is left open; the text is present exactly
// when the version block that the host gives for the file has a non-empty
// Arguments value under its first translation, and it is that value's text
// (up to its first zero byte, at most its length less the terminator).
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "launcher/version_arguments.h"
#include "platform/posix.h"
#include "platform/testing.h"

namespace {

std::string& FilePath() {
  static std::string path;
  return path;
}

void RemoveFile() {
  std::error_code error;
  std::filesystem::remove_all(std::filesystem::path(FilePath()).parent_path(), error);
}

void Check(bool condition, const char* what) {
  if (condition) return;
  fprintf(stderr, "broken: %s\n", what);
  abort();
}

// The Arguments value as the host's version calls give it, or absent.
bool Expected(const char* path, std::string* text) {
  const Platform& host = *PosixPlatform();
  DWORD handle = 0;
  DWORD size = host.GetFileVersionInfoSizeA(path, &handle);
  if (size == 0) return false;
  std::vector<uint8_t> block(size);
  if (!host.GetFileVersionInfoA(path, handle, size, block.data())) return false;
  LPVOID value = nullptr;
  UINT length = 0;
  if (!host.VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", &value, &length) || length < 4) return false;
  const uint8_t* entry = static_cast<const uint8_t*>(value);
  char query[64];
  snprintf(query, sizeof query, "\\StringFileInfo\\%04x%04x\\Arguments", entry[0] | entry[1] << 8,
           entry[2] | entry[3] << 8);
  if (!host.VerQueryValueA(block.data(), query, &value, &length) || value == nullptr || length == 0 || length > size)
    return false;
  const char* chars = static_cast<const char*>(value);
  *text = std::string(chars, strnlen(chars, length - 1));
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (FilePath().empty()) {
    std::string pattern = (std::filesystem::temp_directory_path() / "pxq-loader-version-fuzz-XXXXXX").string();
    Check(mkdtemp(&pattern[0]) != nullptr, "no temporary directory");
    FilePath() = pattern + "/setup.exe";
    atexit(RemoveFile);
  }
  FILE* out = fopen(FilePath().c_str(), "wb");
  Check(out != nullptr && (size == 0 || fwrite(data, 1, size, out) == size) && fclose(out) == 0, "write");

  std::string expected;
  const bool present = Expected(FilePath().c_str(), &expected);
  TestingScope scope;
  char* text = ReadVersionArguments(FilePath().c_str());
  Check((text != nullptr) == present, "present exactly when the value is");
  if (text != nullptr) {
    Check(expected == text, "the value's text");
    Sys().GlobalFree(text);
  }
  Check(TestingNothingOpen(), "nothing left open");
  return 0;
}
