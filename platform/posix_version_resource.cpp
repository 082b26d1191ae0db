// The PE version-resource reader over a byte buffer.
//
// Path to the block: DOS header (e_lfanew) -> "PE\0\0" -> COFF header ->
// optional header (PE32 or PE32+) -> data directory 2 (resources) -> its RVA
// mapped to a file offset through the section table -> resource directory:
// type 16 -> first name -> first language -> data entry (RVA, size).
//
// The block is a tree of nodes: wLength, wValueLength, wType, a UTF-16 key
// with its terminator, padding to 4 bytes, the value (wValueLength counts
// UTF-16 units for text, wType 1, and bytes otherwise), padding to 4 bytes,
// then the children, each padded to 4 bytes, up to wLength.
#include <string.h>

#include "platform/version_resource.h"

static const uint32_t resourceTypeVersion = 16;
static const uint32_t subdirectoryBit = 0x80000000u;

static bool Read16(const uint8_t* data, size_t size, uint64_t offset, uint32_t* value) {
  if (offset > size || size - offset < 2) return false;
  *value = static_cast<uint32_t>(data[offset]) | static_cast<uint32_t>(data[offset + 1]) << 8;
  return true;
}

static bool Read32(const uint8_t* data, size_t size, uint64_t offset, uint32_t* value) {
  if (offset > size || size - offset < 4) return false;
  *value = static_cast<uint32_t>(data[offset]) | static_cast<uint32_t>(data[offset + 1]) << 8 |
           static_cast<uint32_t>(data[offset + 2]) << 16 | static_cast<uint32_t>(data[offset + 3]) << 24;
  return true;
}

struct SectionTable {
  uint64_t offset;  // of the first 40-byte section header
  uint32_t count;
};

// Maps an RVA to a file offset through the section that holds it in its raw
// data. `available` receives the bytes from there to the end of that raw data
// (and of the file).
static bool MapRva(const uint8_t* file, size_t size, const SectionTable& sections, uint32_t rva, uint64_t* offset,
                   uint64_t* available) {
  for (uint32_t i = 0; i < sections.count; i++) {
    uint64_t header = sections.offset + 40ull * i;
    uint32_t virtualsize, virtualaddress, rawsize, rawpointer;
    if (!Read32(file, size, header + 8, &virtualsize) || !Read32(file, size, header + 12, &virtualaddress) ||
        !Read32(file, size, header + 16, &rawsize) || !Read32(file, size, header + 20, &rawpointer)) {
      return false;
    }
    // Only the raw data that the loader maps counts: a virtual size below the
    // raw size cuts it (linkers round the raw size up).
    uint64_t extent = rawsize;
    if (virtualsize != 0 && virtualsize < extent) extent = virtualsize;
    if (rva < virtualaddress || rva - virtualaddress >= extent) continue;
    uint64_t start = static_cast<uint64_t>(rawpointer) + (rva - virtualaddress);
    if (start >= size) return false;
    uint64_t end = static_cast<uint64_t>(rawpointer) + extent;
    if (end > size) end = size;
    *offset = start;
    *available = end - start;
    return true;
  }
  return false;
}

// One resource directory, inside the resource view (`view` bytes from the
// resource root on): its first entry and its number of entries.
struct ResourceDirectory {
  uint64_t entries;  // offset of the first 8-byte entry, from the view's start
  uint32_t named;
  uint32_t count;
};

static bool ReadDirectory(const uint8_t* root, uint64_t view, uint32_t offset, ResourceDirectory* directory) {
  uint32_t named, ids;
  if (!Read16(root, view, offset + 12ull, &named) || !Read16(root, view, offset + 14ull, &ids)) return false;
  directory->entries = offset + 16ull;
  directory->named = named;
  directory->count = named + ids;
  return directory->entries + 8ull * directory->count <= view;
}

static void EntryAt(const uint8_t* root, uint64_t view, const ResourceDirectory& directory, uint32_t index,
                    uint32_t* name, uint32_t* data) {
  *name = *data = 0;
  // In range: ReadDirectory checked that all entries lie inside the view.
  Read32(root, view, directory.entries + 8ull * index, name);
  Read32(root, view, directory.entries + 8ull * index + 4, data);
}

DWORD FindVersionBlock(const uint8_t* file, size_t size, size_t* offset, size_t* length) {
  uint32_t lfanew, signature, sectioncount, optionalsize, magic;
  if (size < 64 || file[0] != 'M' || file[1] != 'Z') return ERROR_BAD_EXE_FORMAT;
  Read32(file, size, 0x3C, &lfanew);
  if (!Read32(file, size, lfanew, &signature) || signature != 0x00004550u) return ERROR_BAD_EXE_FORMAT;
  uint64_t coff = lfanew + 4ull;
  if (!Read16(file, size, coff + 2, &sectioncount) || !Read16(file, size, coff + 16, &optionalsize)) {
    return ERROR_BAD_EXE_FORMAT;
  }
  uint64_t optional = coff + 20;
  if (optional + optionalsize > size || !Read16(file, size, optional, &magic) || optionalsize < 2) {
    return ERROR_BAD_EXE_FORMAT;
  }
  uint64_t countfield, directories;
  if (magic == 0x10B) {  // PE32
    countfield = 92;
    directories = 96;
  } else if (magic == 0x20B) {  // PE32+
    countfield = 108;
    directories = 112;
  } else {
    return ERROR_BAD_EXE_FORMAT;
  }
  uint32_t directorycount, resourcerva;
  if (optionalsize < countfield + 4) return ERROR_BAD_EXE_FORMAT;
  Read32(file, size, optional + countfield, &directorycount);
  uint64_t resourceentry = directories + 2 * 8;
  if (directorycount < 3 || optionalsize < resourceentry + 8) return ERROR_RESOURCE_DATA_NOT_FOUND;
  Read32(file, size, optional + resourceentry, &resourcerva);
  if (resourcerva == 0) return ERROR_RESOURCE_DATA_NOT_FOUND;

  SectionTable sections = {optional + optionalsize, sectioncount};
  if (sections.offset + 40ull * sections.count > size) return ERROR_BAD_EXE_FORMAT;
  uint64_t rootoffset, view;
  if (!MapRva(file, size, sections, resourcerva, &rootoffset, &view)) return ERROR_BAD_EXE_FORMAT;
  const uint8_t* root = file + rootoffset;

  // Type level: the entry with the number 16 among the numbered entries.
  ResourceDirectory directory;
  if (!ReadDirectory(root, view, 0, &directory)) return ERROR_BAD_EXE_FORMAT;
  uint32_t name = 0, data = 0;
  bool found = false;
  for (uint32_t i = directory.named; i < directory.count && !found; i++) {
    EntryAt(root, view, directory, i, &name, &data);
    found = name == resourceTypeVersion;
  }
  if (!found) return ERROR_RESOURCE_TYPE_NOT_FOUND;

  // Name level, then language level: the first entry of each. Each level is
  // visited once, so a directory that points back at itself cannot loop.
  const DWORD emptylevel[2] = {ERROR_RESOURCE_NAME_NOT_FOUND, ERROR_RESOURCE_LANG_NOT_FOUND};
  for (int level = 0; level < 2; level++) {
    if ((data & subdirectoryBit) == 0) return ERROR_BAD_EXE_FORMAT;
    if (!ReadDirectory(root, view, data & ~subdirectoryBit, &directory)) return ERROR_BAD_EXE_FORMAT;
    if (directory.count == 0) return emptylevel[level];
    EntryAt(root, view, directory, 0, &name, &data);
  }
  if ((data & subdirectoryBit) != 0) return ERROR_BAD_EXE_FORMAT;

  uint32_t datarva, datasize, blocklength;
  if (!Read32(root, view, data, &datarva) || !Read32(root, view, data + 4ull, &datasize)) {
    return ERROR_BAD_EXE_FORMAT;
  }
  uint64_t blockoffset, blockavailable;
  if (!MapRva(file, size, sections, datarva, &blockoffset, &blockavailable) || datasize > blockavailable ||
      !Read16(file, size, blockoffset, &blocklength) || blocklength < 6 || blocklength > datasize) {
    return ERROR_BAD_EXE_FORMAT;
  }
  *offset = static_cast<size_t>(blockoffset);
  *length = blocklength;
  return 0;
}

// One node of the block, with every part inside [start, end).
struct VersionNode {
  size_t start, end;
  size_t key;   // offset of the key's first unit
  size_t keylength;  // units, without the terminator
  size_t value, valuelength;  // bytes
  size_t children;
  bool text;
};

static size_t Align4(size_t offset) { return (offset + 3) & ~static_cast<size_t>(3); }

static bool ReadNode(const uint8_t* block, size_t limit, size_t start, VersionNode* node) {
  uint32_t length, storedlength, type;
  if (!Read16(block, limit, start, &length) || !Read16(block, limit, start + 2, &storedlength) ||
      !Read16(block, limit, start + 4, &type)) {
    return false;
  }
  if (length < 6 || length > limit - start) return false;
  node->start = start;
  node->end = start + length;
  node->key = start + 6;
  size_t position = node->key;
  uint32_t unit = 1;
  while (Read16(block, node->end, position, &unit) && unit != 0) position += 2;
  if (unit != 0) return false;  // the key runs past the node
  node->keylength = (position - node->key) / 2;
  node->text = type == 1;
  size_t value = Align4(position + 2);
  size_t valuelength = node->text ? storedlength * 2u : storedlength;
  if (value > node->end) value = node->end;
  // A value that claims more than its node holds is cut to the node.
  if (valuelength > node->end - value) valuelength = (node->end - value) & ~static_cast<size_t>(node->text ? 1 : 0);
  node->value = value;
  node->valuelength = valuelength;
  size_t children = Align4(value + valuelength);
  node->children = children < node->end ? children : node->end;
  return true;
}

static uint32_t FoldCase(uint32_t unit) {
  if (unit >= 'a' && unit <= 'z') return unit - 0x20;
  if (unit >= 0xE0 && unit <= 0xFE && unit != 0xF7) return unit - 0x20;  // Latin-1 letters
  return unit;
}

static bool KeyEquals(const uint8_t* block, const VersionNode& node, const WCHAR* name, size_t count) {
  if (node.keylength != count) return false;
  for (size_t i = 0; i < count; i++) {
    uint32_t unit = 0;
    Read16(block, node.end, node.key + 2 * i, &unit);
    if (FoldCase(unit) != FoldCase(name[i])) return false;
  }
  return true;
}

bool FindVersionValue(const uint8_t* block, size_t size, const WCHAR* path, size_t count, VersionValue* value) {
  VersionNode node;
  if (!ReadNode(block, size, 0, &node)) return false;
  size_t position = 0;
  while (position < count) {
    if (path[position] == '\\') {
      position++;
      continue;
    }
    size_t nameend = position;
    while (nameend < count && path[nameend] != '\\') nameend++;
    // Children follow one another, each at least 8 bytes on (6 bytes of
    // header, padded), so the walk ends within the parent.
    bool found = false;
    VersionNode child;
    for (size_t at = node.children; at < node.end && !found; at = Align4(child.end)) {
      if (!ReadNode(block, node.end, at, &child)) break;
      found = KeyEquals(block, child, path + position, nameend - position);
    }
    if (!found) return false;
    node = child;
    position = nameend;
  }
  value->offset = node.value;
  value->length = node.valuelength;
  value->text = node.text;
  return true;
}
