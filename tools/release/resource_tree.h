// The resource section of a PE file as a flat list of resources (type,
// name, language, data), read from and laid out into the three-level tree
// of resource directories that Windows reads.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#define RT_ICON_TYPE 3u
#define RT_VERSION_TYPE 16u
#define RT_GROUP_ICON_TYPE 14u
#define RT_MANIFEST_TYPE 24u

// A type or a name: a number, or a UTF-16 string. The string is shared:
// every resource under one named type or name holds the same one, so that
// their number does not multiply its size.
struct ResourceKey {
  bool named = false;
  uint16_t id = 0;
  std::shared_ptr<const std::vector<uint16_t>> name;  // set when named
};

// The key's UTF-16 name; empty for a number.
const std::vector<uint16_t>& ResourceKeyName(const ResourceKey& key);

struct Resource {
  ResourceKey type;
  ResourceKey name;
  uint16_t language = 0;
  uint32_t codepage = 0;
  std::vector<uint8_t> data;
};

inline ResourceKey ResourceId(uint16_t id) {
  ResourceKey key;
  key.id = id;
  return key;
}

// Reads the tree at the start of `section` (the section's bytes as mapped,
// at `rva`). "" or what is wrong; every offset is checked.
//
// Bounded by the section's size S, whatever the tree: each directory is
// read at most once (a tree whose directories share one is refused), so at
// most S / 8 entries are walked; the data copied out adds up to at most S,
// and so do the names read (entries that share a data entry or a name past
// that are refused; a sound tree names each entry and holds each resource's
// data for itself). Memory is therefore those copies, S / 8 bytes of marks
// and about 100 bytes per resource found (at most S / 8 of them): under
// 16 S in all; time is linear in S.
std::string ReadResources(const uint8_t* section, size_t size, uint32_t rva, std::vector<Resource>* resources);

// Lays out a section at `rva` holding `resources`: directories (named
// entries first, sorted, then ids ascending), data entries, names, then the
// data, each piece on an 8-byte boundary.
std::vector<uint8_t> BuildResources(const std::vector<Resource>& resources, uint32_t rva);

// Finds the first resource of a type (any name, any language), or null.
const Resource* FindResource(const std::vector<Resource>& resources, uint16_t type);
