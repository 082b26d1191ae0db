#include "package/crc32.h"

// tables[k][b]: the CRC register's change for byte b followed by k zero
// bytes. Zero until built; tables[0][1] is then 0x77073096.
static uint32_t tables[8][256];

static void BuildTables() {
  for (uint32_t b = 0; b < 256; ++b) {
    uint32_t r = b;
    for (int bit = 0; bit < 8; ++bit) r = (r >> 1) ^ (0xEDB88320u & (0u - (r & 1u)));
    tables[0][b] = r;
  }
  for (uint32_t b = 0; b < 256; ++b) {
    for (int k = 1; k < 8; ++k) tables[k][b] = (tables[k - 1][b] >> 8) ^ tables[0][tables[k - 1][b] & 0xFFu];
  }
}

// Four bytes in file order as a little-endian word, whatever the host's order
// (one load where the host is little-endian).
static inline uint32_t Word(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
         (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

uint32_t ContinueCrc32(const uint8_t* bytes, uint32_t count, uint32_t crc) {
  if (tables[0][1] == 0) BuildTables();
  crc = ~crc;
  // Eight bytes per step (the loader's pieces start at heap blocks, aligned),
  // then the rest byte by byte.
  while (count >= 8) {
    uint32_t low = crc ^ Word(bytes);
    uint32_t high = Word(bytes + 4);
    crc = tables[7][low & 0xFFu] ^ tables[6][(low >> 8) & 0xFFu] ^ tables[5][(low >> 16) & 0xFFu] ^
          tables[4][low >> 24] ^ tables[3][high & 0xFFu] ^ tables[2][(high >> 8) & 0xFFu] ^
          tables[1][(high >> 16) & 0xFFu] ^ tables[0][high >> 24];
    bytes += 8;
    count -= 8;
  }
  while (count-- != 0) crc = tables[0][(crc ^ *bytes++) & 0xFFu] ^ (crc >> 8);
  return ~crc;
}
