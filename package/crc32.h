// CRC32 (the polynomial of zip, xz and Ethernet, reflected, 0xEDB88320) by
// slicing eight bytes at a time. Its 8 KiB of tables are computed on the
// first call into zero-filled static memory, so that they cost the stub no
// file bytes; liblzma's size-optimised build, which the stub links, has
// only a byte-at-a-time CRC32, about five times slower.
#pragma once

#include <stdint.h>

// The CRC32 of `count` bytes, continued from `crc` (0 to begin); the same
// value as liblzma's lzma_crc32. Not for calling from several threads
// before the first call has returned.
uint32_t ContinueCrc32(const uint8_t* bytes, uint32_t count, uint32_t crc);
