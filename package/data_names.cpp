#include "package/data_names.h"

#include "platform/heap.h"

uint32_t FoldDataCodePoint(uint32_t c) {
  if (c < 0x80) return (c >= 'a' && c <= 'z') ? c - 0x20 : c;
  // Latin-1: à-þ but ÷; ÿ pairs with Ÿ in Latin Extended-A.
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return c - 0x20;
  if (c == 0xFF) return 0x178;
  // Latin Extended-A: pairs, the upper-case letter first, save two runs
  // that begin on an odd code point.
  if ((c >= 0x100 && c <= 0x12F) || (c >= 0x132 && c <= 0x137) || (c >= 0x14A && c <= 0x177))
    return c & ~1u;
  if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) return (c & 1u) == 0 ? c - 1 : c;
  // Latin Extended-B, its regular runs of pairs.
  if ((c >= 0x1CD && c <= 0x1DC)) return (c & 1u) == 0 ? c - 1 : c;
  if ((c >= 0x1DE && c <= 0x1EF) || (c >= 0x1F8 && c <= 0x21F) || (c >= 0x222 && c <= 0x233)) return c & ~1u;
  // Greek: the letters, final sigma with sigma, and the accented vowels.
  if ((c >= 0x3B1 && c <= 0x3C1) || (c >= 0x3C3 && c <= 0x3CB)) return c - 0x20;
  if (c == 0x3C2) return 0x3A3;
  if (c == 0x3AC) return 0x386;
  if (c >= 0x3AD && c <= 0x3AF) return c - 0x25;
  if (c == 0x3CC) return 0x38C;
  if (c == 0x3CD || c == 0x3CE) return c - 0x3F;
  // Cyrillic.
  if (c >= 0x430 && c <= 0x44F) return c - 0x20;
  if (c >= 0x450 && c <= 0x45F) return c - 0x50;
  if ((c >= 0x460 && c <= 0x481) || (c >= 0x48A && c <= 0x4BF) || (c >= 0x4D0 && c <= 0x52F)) return c & ~1u;
  if (c >= 0x4C1 && c <= 0x4CE) return (c & 1u) == 0 ? c - 1 : c;
  // Armenian.
  if (c >= 0x561 && c <= 0x586) return c - 0x30;
  // Latin Extended Additional.
  if ((c >= 0x1E00 && c <= 0x1E95) || (c >= 0x1EA0 && c <= 0x1EFF)) return c & ~1u;
  // Roman numerals, circled letters, fullwidth Latin.
  if (c >= 0x2170 && c <= 0x217F) return c - 0x10;
  if (c >= 0x24D0 && c <= 0x24E9) return c - 0x1A;
  if (c >= 0xFF41 && c <= 0xFF5A) return c - 0x20;
  return c;
}

namespace {

// The key of the character at `*at` of `name`, and moves past it: 0 for
// '/', the folded code point + 1 for UTF-8, 0x110001 + the byte for a byte
// that begins no UTF-8 sequence.
uint32_t NextKey(const char* name, uint32_t length, uint32_t* at) {
  const uint8_t* text = reinterpret_cast<const uint8_t*>(name) + *at;
  uint32_t left = length - *at;
  uint32_t lead = text[0];
  if (lead == '/') {
    *at += 1;
    return 0;
  }
  if (lead < 0x80) {
    *at += 1;
    return FoldDataCodePoint(lead) + 1;
  }
  uint32_t size = (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : (lead & 0xF8) == 0xF0 ? 4 : 0;
  uint32_t value = size == 2 ? lead & 0x1F : size == 3 ? lead & 0x0F : lead & 0x07;
  bool valid = size != 0 && left >= size;
  for (uint32_t i = 1; valid && i < size; ++i) {
    if ((text[i] & 0xC0) != 0x80) valid = false;
    value = (value << 6) | (text[i] & 0x3F);
  }
  if (!valid) {
    *at += 1;
    return 0x110001u + lead;
  }
  *at += size;
  return FoldDataCodePoint(value) + 1;
}

// Compares the two names as CompareDataNames does; `*below` tells whether
// `a` ended where `b` has a '/' (b lies below a).
int Compare(const char* a, uint32_t alength, const char* b, uint32_t blength, bool* below) {
  uint32_t i = 0;
  uint32_t j = 0;
  *below = false;
  while (i < alength && j < blength) {
    uint32_t x = NextKey(a, alength, &i);
    uint32_t y = NextKey(b, blength, &j);
    if (x != y) return x < y ? -1 : 1;
  }
  if (i == alength && j == blength) return 0;
  if (i == alength) {
    *below = b[j] == '/';
    return -1;
  }
  return 1;
}

// Sorts the item numbers in `order` by name (a stable merge sort, with
// `scratch` of the same size).
void SortByName(const DataItem* items, uint32_t count, uint32_t* order, uint32_t* scratch) {
  for (uint32_t width = 1; width < count; width *= 2) {
    for (uint32_t start = 0; start < count; start += 2 * width) {
      uint32_t middle = start + width < count ? start + width : count;
      uint32_t end = start + 2 * width < count ? start + 2 * width : count;
      uint32_t i = start;
      uint32_t j = middle;
      uint32_t k = start;
      bool below = false;
      while (i < middle && j < end) {
        const DataItem& a = items[order[i]];
        const DataItem& b = items[order[j]];
        scratch[k++] = Compare(b.name, b.namelength, a.name, a.namelength, &below) < 0 ? order[j++] : order[i++];
      }
      while (i < middle) scratch[k++] = order[i++];
      while (j < end) scratch[k++] = order[j++];
    }
    for (uint32_t i = 0; i < count; ++i) order[i] = scratch[i];
  }
}

void Mark(uint32_t* other, uint32_t a, uint32_t b) {
  if (other[a] == 0) other[a] = b + 1;
  if (other[b] == 0) other[b] = a + 1;
}

}  // namespace

int CompareDataNames(const char* a, uint32_t alength, const char* b, uint32_t blength) {
  bool below = false;
  return Compare(a, alength, b, blength, &below);
}

uint32_t FindDataNameClashes(const DataItem* items, uint32_t count, uint32_t* other) {
  for (uint32_t i = 0; i < count; ++i) other[i] = 0;
  if (count < 2) return 0;
  uint32_t* order = static_cast<uint32_t*>(AllocZeroed(2 * count * static_cast<uint32_t>(sizeof(uint32_t))));
  if (order == nullptr) return 8;  // ERROR_NOT_ENOUGH_MEMORY
  for (uint32_t i = 0; i < count; ++i) order[i] = i;
  SortByName(items, count, order, order + count);
  // Equal names are neighbours, and what lies below a name follows it and
  // its equals directly: one pass finds both kinds of clash.
  for (uint32_t p = 0; p + 1 < count; ++p) {
    uint32_t i = order[p];
    const DataItem& a = items[i];
    bool below = false;
    uint32_t q = p + 1;
    for (; q < count; ++q) {
      const DataItem& b = items[order[q]];
      if (Compare(a.name, a.namelength, b.name, b.namelength, &below) != 0) break;
      Mark(other, i, order[q]);
    }
    if (q < count && below && (a.attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) Mark(other, i, order[q]);
    p = q - 1;  // past the run of equal names
  }
  FreeBlock(order);
  return 0;
}

DataNameClash DataClashKind(const DataItem* a, const DataItem* b) {
  bool below = false;
  int order = Compare(a->name, a->namelength, b->name, b->namelength, &below);
  if (order != 0) return DataClashUnderFile;
  if (a->namelength != b->namelength) return DataClashCase;
  for (uint32_t i = 0; i < a->namelength; ++i) {
    if (a->name[i] != b->name[i]) return DataClashCase;
  }
  return DataClashSame;
}

const char* DataClashText(DataNameClash clash) {
  switch (clash) {
    case DataClashNone:
      return "clashes with no other name";
    case DataClashSame:
      return "is given twice; it is also the name of";
    case DataClashCase:
      return "differs only in letter case, which Windows does not tell apart, from";
    case DataClashUnderFile:
      return "is both a file and a folder (a name lies below a file's name); it clashes with";
  }
  return "clashes with";
}
