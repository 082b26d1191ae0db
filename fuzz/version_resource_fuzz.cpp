// The version-resource reader over arbitrary bytes, taken both as a file
// (through GetFileVersionInfoSizeA, GetFileVersionInfoA and VerQueryValueA,
// into a buffer of exactly the size asked for) and as a bare version block.
// Whatever the bytes, nothing may read outside its buffer, every answer must
// lie inside the caller's buffer, and every text must end inside it.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "fuzz_support.h"
#include "platform/posix.h"
#include "platform/version_resource.h"

// Asks `path` of the block and checks where the answer lies.
static bool Query(const std::vector<uint8_t>& block, const char* path, std::string* text,
                  const char** start = NULL) {
  LPVOID value = NULL;
  UINT length = 0;
  if (!PosixPlatform()->VerQueryValueA(block.data(), path, &value, &length)) return false;
  const uint8_t* at = static_cast<const uint8_t*>(value);
  const uint8_t* end = block.data() + block.size();
  FuzzCheck(at >= block.data() && at <= end && length <= static_cast<size_t>(end - at), "answer outside the block");
  if (text != NULL) text->assign(static_cast<const char*>(value), length);
  if (start != NULL) *start = static_cast<const char*>(value);
  return true;
}

// Whether the node that `path` names in the filled block holds text.
static bool IsText(const std::vector<uint8_t>& block, const char* path) {
  std::vector<WCHAR> wide(path, path + std::string(path).size());
  size_t length = static_cast<size_t>(block[0]) | static_cast<size_t>(block[1]) << 8;
  VersionValue value;
  return FindVersionValue(block.data(), length, wide.data(), wide.size(), &value) && value.text;
}

static void AsFile(const uint8_t* data, size_t size) {
  static const std::string file = FuzzScratchFile("input.exe");
  FuzzWriteFile(file, data, size);
  const Platform& host = *PosixPlatform();
  DWORD handle = 0;
  DWORD room = host.GetFileVersionInfoSizeA(file.c_str(), &handle);
  if (room == 0) return;
  std::vector<uint8_t> block(room);
  if (!host.GetFileVersionInfoA(file.c_str(), handle, room, block.data())) return;

  std::string translation, text;
  const char* paths[] = {"\\", "\\StringFileInfo", "\\StringFileInfo\\000004b0\\Arguments", "\\\\x\\\\", ""};
  for (const char* path : paths) Query(block, path, &text);
  if (Query(block, "\\VarFileInfo\\Translation", &translation) && translation.size() >= 4) {
    char path[64];
    const uint8_t* entry = reinterpret_cast<const uint8_t*>(translation.data());
    snprintf(path, sizeof path, "\\StringFileInfo\\%04x%04x\\Arguments", entry[0] | entry[1] << 8,
             entry[2] | entry[3] << 8);
    const char* start = NULL;
    if (Query(block, path, &text, &start) && IsText(block, path)) {
      // Text ends inside the block: the byte after the answer is its
      // terminator. A binary value (wType 0) is handed out as its bytes.
      const char* end = reinterpret_cast<const char*>(block.data() + block.size());
      FuzzCheck(start + text.size() < end && start[text.size()] == '\0', "text not terminated inside the block");
    }
  }
}

static void AsBlock(const uint8_t* data, size_t size) {
  static const char* const paths[] = {"\\StringFileInfo\\000004b0\\Arguments", "\\VarFileInfo\\Translation", "\\",
                                      "a\\b\\c\\d\\e\\f\\g\\h"};
  for (const char* ascii : paths) {
    std::vector<WCHAR> path(ascii, ascii + std::string(ascii).size());
    VersionValue value;
    if (FindVersionValue(data, size, path.data(), path.size(), &value)) {
      FuzzCheck(value.offset <= size && value.length <= size - value.offset, "value outside the block");
    }
  }
  size_t offset, length;
  if (FindVersionBlock(data, size, &offset, &length) == 0) {
    FuzzCheck(offset <= size && length <= size - offset && length >= 6, "block outside the file");
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The bytes go to the readers in a buffer of exactly their size.
  std::vector<uint8_t> copy(data, data + size);
  AsBlock(copy.data(), copy.size());
  AsFile(data, size);
  return 0;
}
