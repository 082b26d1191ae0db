// pack's rewrite of a stub's resources: the input's first byte chooses the
// options (which strings, numbers, icon and execution level to set), the
// rest is the stub. Whatever the stub, reading it and rewriting it stay in
// bounds. A rewritten stub reads back: its resource section is its own and
// last, the loader's own reader finds its version block, and the values
// set are there; a second rewrite with the same options gives the same
// bytes.
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "fuzz_support.h"
#include "tools/release/stub_resources.h"

namespace {

// Two images of 40 and 24 bytes behind the directory.
std::vector<uint8_t> Icon() {
  std::vector<uint8_t> ico = {0, 0, 1, 0, 2, 0};
  uint32_t offset = 6 + 32;
  for (uint32_t size : {40u, 24u}) {
    ico.insert(ico.end(), {16, 16, 0, 0, 1, 0, 32, 0});
    for (uint32_t word : {size, offset})
      for (int i = 0; i < 4; ++i) ico.push_back(static_cast<uint8_t>(word >> (8 * i)));
    offset += size;
  }
  for (uint32_t i = 0; i < 64; ++i) ico.push_back(static_cast<uint8_t>(i * 7));
  return ico;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  uint8_t choice = data[0];
  std::vector<uint8_t> stub(data + 1, data + size);
  StubFacts before = ReadStubFacts(stub);

  StubResourceOptions options;
  options.any = true;
  if (choice & 1) options.strings.push_back({"Arguments", "/S \xC3\xA9t\xC3\xA9"});
  if (choice & 2) options.strings.push_back({"ProductName", "Acme \xE2\x82\xAC Suite"});
  if (choice & 4) options.strings.push_back({"Cl\xC3\xA9 \xF0\x9F\x98\x80", "non-ASCII key"});
  if (choice & 8) {
    options.filenumbers = options.productnumbers = true;
    options.fileversion[0] = 0x00020001;
    options.fileversion[1] = 0x00000007;
    options.productversion[0] = 0x00020001;
  }
  if (choice & 16) options.icon = Icon();
  options.executionlevel = (choice >> 5) % 5 - 1;  // unchanged, none, and the three levels

  std::vector<uint8_t> once = stub;
  if (!ApplyStubResources(options, &once).empty()) {
    FuzzCheck(once == stub, "a refused stub was changed");
    return 0;
  }
  StubFacts facts = ReadStubFacts(once);
  FuzzCheck(facts.pefault.empty(), "the rewritten stub's headers do not read");
  FuzzCheck(facts.resourcelast, "the rewritten stub's resources are not its own last section");
  FuzzCheck(facts.hasversion, "the rewritten stub's version block is not found");
  // The loader's text may lie in the old section's unused bytes, which the
  // rewrite drops; it can never appear from nowhere.
  FuzzCheck(!facts.pxqstub || before.pxqstub, "the rewrite made a foreign stub a pxq stub");
  for (const auto& entry : options.strings) {
    bool found = false;
    std::string value = VersionString(facts.version, entry.first, &found);
    FuzzCheck(found && value == entry.second, "a version string set does not read back");
  }
  bool found = false;
  VersionString(facts.version, "Arguments", &found);
  FuzzCheck(found, "the rewritten stub has no Arguments value");
  if (options.filenumbers)
    FuzzCheck(facts.version.fixed[0] == 0x00020001 && facts.version.fixed[1] == 7 &&
                  facts.version.fixed[2] == 0x00020001 && facts.version.fixed[3] == 0,
              "the version numbers set do not read back");
  if (choice & 16) FuzzCheck(facts.icons == 2, "the icon's two images are not there");
  if (options.executionlevel == ExecutionLevelNone) FuzzCheck(!facts.hasmanifest, "level none kept a manifest");
  if (options.executionlevel > ExecutionLevelNone)
    FuzzCheck(facts.manifestlevel == ExecutionLevelName(options.executionlevel), "the level set does not read back");

  std::vector<uint8_t> twice = once;
  std::string fault = ApplyStubResources(options, &twice);
  if (!fault.empty()) FuzzFail("a rewritten stub cannot be rewritten again: " + fault);
  FuzzCheck(twice == once, "a second rewrite gives other bytes");
  return 0;
}
