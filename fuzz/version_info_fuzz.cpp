// The version resource that pack rewrites: the input is a version block
// (VS_VERSIONINFO). When it reads, building it and reading it again gives
// the same fixed information and the same strings, keys and values alike
// (text outside UTF-16 as it was read: U+FFFD for an unpaired surrogate),
// and building that again gives the same bytes. A build that fails must say
// why, and only for what the builder refuses: an "Arguments" value beyond
// its room or a block beyond 65,535 bytes.
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "fuzz_support.h"
#include "tools/release/tag_text.h"
#include "tools/release/version_info.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> block(data, data + size);
  VersionInfo info;
  if (!ReadVersionInfo(block.data(), block.size(), &info)) return 0;
  for (const auto& entry : info.strings) {
    std::vector<uint16_t> units;
    FuzzCheck(Utf16FromUtf8(entry.first, &units), "a key read is not UTF-8");
    FuzzCheck(Utf16FromUtf8(entry.second, &units), "a value read is not UTF-8");
  }
  std::vector<uint8_t> built;
  std::string fault = BuildVersionInfo(info, &built);
  if (!fault.empty()) {
    FuzzCheck(fault.find("Arguments") != std::string::npos || fault.find("65,535") != std::string::npos,
              "a block that reads is refused for another reason");
    return 0;
  }
  VersionInfo again;
  FuzzCheck(ReadVersionInfo(built.data(), built.size(), &again), "the built block does not read");
  for (int i = 0; i < 11; ++i) FuzzCheck(again.fixed[i] == info.fixed[i], "the fixed information changed");
  FuzzCheck(again.strings.size() == info.strings.size(), "the built block holds another number of strings");
  for (size_t i = 0; i < info.strings.size(); ++i) {
    FuzzCheck(again.strings[i].first == info.strings[i].first, "a key changed");
    FuzzCheck(again.strings[i].second == info.strings[i].second, "a value changed");
  }
  std::vector<uint8_t> rebuilt;
  FuzzCheck(BuildVersionInfo(again, &rebuilt).empty() && rebuilt == built, "a second build differs from the first");
  return 0;
}
