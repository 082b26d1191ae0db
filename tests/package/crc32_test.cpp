// The loader's own CRC32 against liblzma's lzma_crc32 (the value pack
// stores): every length around the 8-byte steps, every start alignment,
// continued in pieces of every split, and over all byte values.
#include <gtest/gtest.h>
#include <lzma.h>

#include <vector>

#include "package/crc32.h"

namespace {

std::vector<uint8_t> Bytes(size_t size) {
  std::vector<uint8_t> bytes(size);
  uint32_t state = 0x9E3779B9u;
  for (uint8_t& b : bytes) {
    state = state * 1664525u + 1013904223u;
    b = static_cast<uint8_t>(state >> 24);
  }
  return bytes;
}

TEST(Crc32, MatchesLiblzmaForEveryLengthAndAlignment) {
  std::vector<uint8_t> bytes = Bytes(4096 + 16);
  for (uint32_t start = 0; start < 8; ++start) {
    for (uint32_t length = 0; length <= 80; ++length) {
      ASSERT_EQ(lzma_crc32(bytes.data() + start, length, 0), ContinueCrc32(bytes.data() + start, length, 0))
          << "start " << start << " length " << length;
    }
    for (uint32_t length : {255u, 256u, 257u, 1000u, 4095u, 4096u}) {
      ASSERT_EQ(lzma_crc32(bytes.data() + start, length, 0), ContinueCrc32(bytes.data() + start, length, 0))
          << "start " << start << " length " << length;
    }
  }
}

TEST(Crc32, ContinuesAcrossPiecesAndFromAnyValue) {
  std::vector<uint8_t> bytes = Bytes(300);
  uint32_t whole = lzma_crc32(bytes.data(), bytes.size(), 0);
  for (uint32_t split = 0; split <= bytes.size(); ++split) {
    uint32_t crc = ContinueCrc32(bytes.data(), split, 0);
    ASSERT_EQ(whole, ContinueCrc32(bytes.data() + split, static_cast<uint32_t>(bytes.size() - split), crc))
        << "split at " << split;
  }
  for (uint32_t from : {1u, 0x12345678u, 0xFFFFFFFFu}) {
    EXPECT_EQ(lzma_crc32(bytes.data() + 3, 97, from), ContinueCrc32(bytes.data() + 3, 97, from));
  }
}

TEST(Crc32, KnownValuesAndEveryByteValue) {
  const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(0xCBF43926u, ContinueCrc32(check, sizeof check, 0));
  EXPECT_EQ(0u, ContinueCrc32(check, 0, 0));
  std::vector<uint8_t> all(256 * 9);
  for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<uint8_t>(i * 7);
  EXPECT_EQ(lzma_crc32(all.data(), all.size(), 0), ContinueCrc32(all.data(), static_cast<uint32_t>(all.size()), 0));
}

}  // namespace
