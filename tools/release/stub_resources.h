// The stub's resources as pack writes them: the version resource (the
// "Arguments" value, the version strings and numbers), an icon and an
// application manifest, in a resource section rebuilt from scratch. The
// stub's resource section must be its own and its last, in the section
// table and in the file, with nothing after it; it then grows or shrinks
// freely and the image's sizes follow.
#pragma once

#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

#include "tools/release/icons.h"
#include "tools/release/manifest.h"
#include "tools/release/version_info.h"

struct StubResourceOptions {
  bool any = false;  // anything to change at all
  std::vector<std::pair<std::string, std::string>> strings;  // version strings to set (key, UTF-8 value)
  bool filenumbers = false, productnumbers = false;
  uint32_t fileversion[2] = {0, 0};     // VS_FIXEDFILEINFO words
  uint32_t productversion[2] = {0, 0};
  std::vector<uint8_t> icon;  // a .ico file's bytes, or empty
  int executionlevel = ExecutionLevelUnchanged;
};

// Rewrites the stub's resource section. "" or why the stub cannot take it.
// The stub's tree is read once (see ReadResources), so time and memory are
// a small multiple of the stub's and the icon's sizes.
std::string ApplyStubResources(const StubResourceOptions& options, std::vector<uint8_t>* stub);

// What a stub (or the stub part of a loader file) carries: read from its
// first bytes, through its image. The resource tree is walked once, in the
// first section that begins at the resource directory, whatever the number
// of section headers that name it; time and memory are linear in the bytes.
struct StubFacts {
  std::string pefault;       // "" when its PE headers read
  bool pxqstub = false;      // it holds the loader's code
  bool hasversion = false;
  VersionInfo version;
  std::string manifestlevel; // "" without a manifest; "(none named)" for one without a level
  bool hasmanifest = false;
  size_t icons = 0;          // RT_ICON images
  bool resourcelast = false; // its resource section is its own and its last
  uint64_t imageend = 0;     // where its last section's data ends
};
StubFacts ReadStubFacts(const std::vector<uint8_t>& bytes);
