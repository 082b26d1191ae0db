// The loader's own ReadVersionArguments over real files: the input is the
// file. What must hold: nothing is left open; the text is present exactly
// when the version block that the host gives for the file has a non-empty
// Arguments value under its first translation, and it is that value's text
// (up to its first zero byte, at most its length less the terminator).
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "fuzz_support.h"
#include "launcher/version_arguments.h"
#include "platform/posix.h"
#include "platform/testing.h"

namespace {

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
  static const std::string path = FuzzScratchFile("setup.exe");
  FuzzWriteFile(path, data, size);

  std::string expected;
  const bool present = Expected(path.c_str(), &expected);
  TestingScope scope;
  char* text = ReadVersionArguments(path.c_str());
  FuzzCheck((text != nullptr) == present, "present exactly when the value is");
  if (text != nullptr) {
    FuzzCheck(expected == text, "the value's text");
    Sys().GlobalFree(text);
  }
  FuzzCheck(TestingNothingOpen(), "nothing left open");
  return 0;
}
