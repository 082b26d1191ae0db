// The rewrite of a loader file's tag, planned over its bytes: where the
// tag goes (after an unsigned file's content, or into the one signature's
// unauthenticated attributes), what is kept of the file, the new tail and
// the header fields to patch. The file is read through a reader; writing
// the result is the caller's (see PatchField).
#pragma once

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "tools/release/pe_image.h"

// A file made from a prefix of the input (its header fields patched) and
// new tail bytes, with the PE checksum recomputed when the file had one.
struct TagRewrite {
  uint64_t keep = 0;                  // input bytes copied
  std::vector<uint8_t> tail;          // bytes written after them
  uint32_t securitysizeoffset = 0;    // 0: the security directory's size stays
  uint32_t securitysize = 0;
  uint32_t checksumoffset = 0;        // 0: the checksum stays
};

// Reads `count` bytes at `offset` into *bytes: 0, or a Windows error
// (ERROR_HANDLE_EOF when the file ends first).
using ByteReader = std::function<uint32_t(uint64_t offset, size_t count, std::vector<uint8_t>* bytes)>;

struct TagPlan {
  TagRewrite rewrite;
  bool hadtag = false;
  std::string summary;  // where the tag went, and whether there was one: "it had none"
  uint64_t newsize = 0;
  uint32_t readfailure = 0;  // the reader's error when the plan fails for it
};

// Plans writing `tag` (null: removing the tag) into the file of `size`
// bytes whose headers are `image` (empty for a file that has none). `pad`:
// pad an unsigned file to the 64 KiB the loader needs. "" or why not
// (plan->readfailure set when a read failed). Removing from a file without
// a tag plans to keep it whole.
std::string PlanTagRewrite(const PeImage& image, uint64_t size, const ByteReader& readat,
                           const std::vector<uint8_t>* tag, bool pad, TagPlan* plan);

// Patches the bytes of [position, position + count) that fall on a field.
void PatchField(uint8_t* bytes, uint64_t position, size_t count, uint32_t fieldoffset, uint32_t value);
