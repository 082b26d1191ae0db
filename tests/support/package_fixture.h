// Packages for tests of the package reader. Valid archives come
// from the package writer; the helpers here add what a writer never makes:
// streams whose entry headers lie (magic, must-be-zero word, sizes).
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "package/records.h"
#include "tools/writer/writer.h"

// `count` bytes of a deterministic pattern that compresses poorly.
std::vector<uint8_t> PatternBytes(size_t count, uint32_t seed);

PackageEntry MakeEntry(uint64_t id, std::vector<uint8_t> data, uint64_t lastwritetime = 0,
                       uint32_t attributes = 0x80u);

// Small, fast encoder options (64 KiB dictionary).
PackageOptions SmallOptions();

// A valid archive of `entries`; fails the test if the writer fails.
std::vector<uint8_t> BuildArchive(const std::vector<PackageEntry>& entries,
                                  const PackageOptions& options = SmallOptions());

// CRC-32 (IEEE 802.3, reflected, as zlib and liblzma compute it), bit by
// bit: a reference that shares no code with the loader's.
uint32_t ReferenceCrc32(const std::vector<uint8_t>& bytes);

// One entry of a decompressed stream, with its header as it will be
// encoded: any field may be falsified.
struct StreamEntry {
  EntryHeader header;
  std::vector<uint8_t> data;
};

// Its header holds the data's CRC32 at +44.
StreamEntry MakeStreamEntry(uint64_t id, std::vector<uint8_t> data);

// The decompressed stream: each header followed by its data.
std::vector<uint8_t> PlainStream(const std::vector<StreamEntry>& entries);

// `plain` as a raw LZMA1 stream with the end marker.
std::vector<uint8_t> CompressRaw(const std::vector<uint8_t>& plain, const PackageOptions& options = SmallOptions());

// An archive (framed by the writer: header, check pair, properties, trailer)
// whose stream is `plain` compressed as it stands, with the end marker.
std::vector<uint8_t> ArchiveFromPlain(const std::vector<uint8_t>& plain,
                                      const PackageOptions& options = SmallOptions());
