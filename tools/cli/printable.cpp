#include "tools/cli/printable.h"

#include <stdint.h>
#include <stdio.h>

std::string Printable(const std::string& text) {
  std::string shown;
  shown.reserve(text.size());
  for (unsigned char c : text) {
    if (c >= 0x20 && c != 0x7F) {
      shown += static_cast<char>(c);
    } else {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02X", c);
      shown += hex;
    }
  }
  return shown;
}

namespace {

bool InRanges(uint32_t c, const uint32_t (*ranges)[2], size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (c >= ranges[i][0] && c <= ranges[i][1]) return true;
  }
  return false;
}

int CodePointWidth(uint32_t c) {
  static const uint32_t kZero[][2] = {
      {0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD}, {0x05BF, 0x05BF}, {0x05C1, 0x05C2},
      {0x05C4, 0x05C5}, {0x05C7, 0x05C7}, {0x0610, 0x061A}, {0x064B, 0x065F}, {0x0670, 0x0670},
      {0x06D6, 0x06DC}, {0x06DF, 0x06E4}, {0x06E7, 0x06E8}, {0x06EA, 0x06ED}, {0x0900, 0x0902},
      {0x093A, 0x093A}, {0x093C, 0x093C}, {0x0941, 0x0948}, {0x094D, 0x094D}, {0x0951, 0x0957},
      {0x0E31, 0x0E31}, {0x0E34, 0x0E3A}, {0x0E47, 0x0E4E}, {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF},
      {0x200B, 0x200F}, {0x202A, 0x202E}, {0x2060, 0x2064}, {0x20D0, 0x20FF}, {0x302A, 0x302D},
      {0x3099, 0x309A}, {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F}, {0xFEFF, 0xFEFF}, {0xE0100, 0xE01EF}};
  static const uint32_t kWide[][2] = {
      {0x1100, 0x115F}, {0x231A, 0x231B}, {0x2329, 0x232A}, {0x23E9, 0x23EC}, {0x2E80, 0x303E},
      {0x3041, 0x33FF}, {0x3400, 0x4DBF}, {0x4E00, 0x9FFF}, {0xA000, 0xA4CF}, {0xA960, 0xA97F},
      {0xAC00, 0xD7A3}, {0xF900, 0xFAFF}, {0xFE10, 0xFE19}, {0xFE30, 0xFE6F}, {0xFF00, 0xFF60},
      {0xFFE0, 0xFFE6}, {0x1F300, 0x1F64F}, {0x1F900, 0x1F9FF}, {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD}};
  if (InRanges(c, kZero, sizeof kZero / sizeof kZero[0])) return 0;
  if (InRanges(c, kWide, sizeof kWide / sizeof kWide[0])) return 2;
  return 1;
}

}  // namespace

int DisplayWidth(const std::string& text) {
  int width = 0;
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text.data());
  size_t size = text.size();
  for (size_t i = 0; i < size;) {
    uint32_t lead = bytes[i];
    size_t length = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : (lead & 0xF8) == 0xF0 ? 4 : 0;
    uint32_t value = length == 1 ? lead : length == 2 ? lead & 0x1F : length == 3 ? lead & 0x0F : lead & 0x07;
    bool valid = length != 0 && size - i >= length;
    for (size_t k = 1; valid && k < length; ++k) {
      if ((bytes[i + k] & 0xC0) != 0x80) valid = false;
      value = (value << 6) | (bytes[i + k] & 0x3F);
    }
    if (!valid) {
      width += 1;
      i += 1;
      continue;
    }
    width += CodePointWidth(value);
    i += length;
  }
  return width;
}
